// The I/O queue's two back-ends: an io_uring ring driven by the owner alone, and a pool of
// threads that do each transfer with pread and pwrite.
//
// Both follow one rule for a piece of a transfer (see piece_after_call): EINTR and EAGAIN are
// retried, a short transfer is continued where it stopped, a direct piece refused with EINVAL
// goes on through the ordinary descriptor, a read that gets no byte has met the end of the file
// (ENODATA), and a write that moves no byte fails with EIO.
//
// With io_uring, the pieces of one transfer run at once and the transfer completes when the
// last of them is done; nothing reaches the kernel before wait_for_io, which hands every piece
// started or continued since the last call over in one submission. The pool does a transfer's
// pieces in turn on one thread and stops at the first failure.
//
// Limits: a ring whose submissions fail for good (never seen on a ring this queue owns, but
// possible in principle) is marked broken: the transfers it could not take and every later one
// complete with that error, while those already in the kernel are still waited for.
#include "util/io_queue.h"

#include <liburing.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// As in positioned_io: Linux moves at most 0x7ffff000 bytes per call, and 1 GiB keeps every
// continuation of a direct piece aligned. It also fits io_uring's 32-bit lengths.
constexpr std::uint64_t max_call_bytes = std::uint64_t{1} << 30;
constexpr std::uint64_t largest_offset = std::numeric_limits<off_t>::max();
constexpr unsigned most_threads = 8;
// A transfer has at most three pieces, each with at most one system call under way.
constexpr unsigned pieces_per_transfer = 3;
constexpr unsigned largest_ring = 4096;

struct piece_progress_s {
    std::uint64_t offset = 0; // in the file
    std::uint64_t length = 0;
    std::uint64_t moved = 0;
    bool direct = false;
};

// What becomes of a request before any byte moves: -1 lets it run; else the errno it completes
// with, 0 for an empty transfer, which has nothing to move.
int decided_before_start(const io_request_s& request) {
    if (request.file == nullptr || request.file->fd < 0) {
        return EBADF;
    }
    if (request.offset > largest_offset || request.length > largest_offset - request.offset) {
        return EINVAL;
    }
    if (int error =
            io_fault_for(*request.file, request.direction, request.offset, request.length)) {
        return error;
    }
    return request.length == 0 ? 0 : -1;
}

int piece_count(const io_request_s& request, piece_progress_s* pieces) {
    transfer_pieces_s plan = plan_transfer_pieces(*request.file, request.offset, request.length,
                                                  reinterpret_cast<std::uintptr_t>(request.buffer));
    for (int i = 0; i < plan.count; ++i) {
        pieces[i] = {plan.piece[i].offset, plan.piece[i].length, 0, plan.piece[i].direct};
    }
    return plan.count;
}

std::uint8_t* piece_memory(const io_request_s& request, const piece_progress_s& piece) {
    return request.buffer + (piece.offset - request.offset) + piece.moved;
}

std::uint64_t next_call_bytes(const piece_progress_s& piece) {
    return std::min(piece.length - piece.moved, max_call_bytes);
}

int piece_descriptor(const io_request_s& request, const piece_progress_s& piece) {
    return piece.direct ? request.file->direct_fd : request.file->fd;
}

// Takes one system call's result for a piece (bytes moved, or -errno). True when the piece is
// finished, with *error 0 or the errno that stopped it; false when it needs another call.
bool piece_after_call(const io_request_s& request, piece_progress_s& piece, long long result,
                      int* error) {
    if (result == -EINTR || result == -EAGAIN) {
        return false;
    }
    if (result == -EINVAL && piece.direct) {
        piece.direct = false; // an alignment rule stricter than the one the file reported
        return false;
    }
    if (result < 0) {
        *error = static_cast<int>(-result);
        return true;
    }
    if (result == 0) {
        *error = request.direction == io_direction::read ? ENODATA : EIO;
        return true;
    }
    piece.moved += static_cast<std::uint64_t>(result);
    if (piece.moved >= piece.length) {
        *error = 0;
        return true;
    }
    // A direct piece cut short (the end of the file, a signal) may go on only while its rest
    // still meets the alignment; otherwise the ordinary descriptor takes the rest.
    const file_handle_s& file = *request.file;
    std::uint64_t at = piece.offset + piece.moved;
    if (piece.direct &&
        (at % file.alignment != 0 || (piece.length - piece.moved) % file.alignment != 0 ||
         reinterpret_cast<std::uintptr_t>(piece_memory(request, piece)) % file.memory_alignment !=
             0)) {
        piece.direct = false;
    }
    return false;
}

// A short pause where the kernel lacks something for a moment and nothing else can be waited
// for; the owner never spins.
void pause_briefly() {
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
}

// --- io_uring ---------------------------------------------------------------------------------

struct uring_transfer_s {
    io_request_s request;
    piece_progress_s piece[pieces_per_transfer];
    int pieces_left = 0;
    int error = 0; // the first piece's failure
};

// A piece in the ring's user data: its transfer's slot and its index in that transfer.
std::uint64_t piece_key(std::uint32_t slot, int piece) {
    return (std::uint64_t{slot} << 2) | static_cast<std::uint64_t>(piece);
}

struct uring_state_s {
    io_uring ring{};
    std::vector<uring_transfer_s> transfers; // by slot
    std::vector<std::uint32_t> free_slots;
    std::vector<std::uint64_t> pending;  // pieces to hand to the kernel at the next wait
    std::vector<std::uint64_t> prepared; // in the ring, not yet taken by the kernel; in order
    std::deque<io_completion_s> ready;
    unsigned in_kernel = 0;
    int broken = 0; // errno once the ring refused submissions for good
};

unsigned ring_entries(unsigned depth) {
    unsigned wanted = std::min(depth, largest_ring) * pieces_per_transfer;
    unsigned entries = 8;
    while (entries < wanted && entries < largest_ring) {
        entries *= 2;
    }
    return entries;
}

void finish_piece(uring_state_s& uring, std::uint64_t key, int error) {
    std::uint32_t slot = static_cast<std::uint32_t>(key >> 2);
    uring_transfer_s& transfer = uring.transfers[slot];
    if (transfer.error == 0) {
        transfer.error = error;
    }
    if (--transfer.pieces_left == 0) {
        uring.ready.push_back({transfer.request.tag, transfer.error});
        uring.free_slots.push_back(slot);
    }
}

void piece_returned(uring_state_s& uring, std::uint64_t key, int result) {
    uring_transfer_s& transfer = uring.transfers[key >> 2];
    int error = 0;
    if (piece_after_call(transfer.request, transfer.piece[key & 3], result, &error)) {
        finish_piece(uring, key, error);
    } else if (uring.broken != 0) {
        finish_piece(uring, key, uring.broken);
    } else {
        uring.pending.push_back(key);
    }
}

// Takes what the kernel has completed, first waiting for one completion when `wait`; returns
// how many it took.
unsigned reap(uring_state_s& uring, bool wait) {
    io_uring_cqe* cqe = nullptr;
    if (wait) {
        int result;
        while ((result = io_uring_wait_cqe(&uring.ring, &cqe)) < 0) {
            // Only a signal interrupts the wait on a ring that works; anything else is waited
            // out, since the kernel may still be moving bytes into the owner's buffers.
            if (result != -EINTR) {
                pause_briefly();
            }
        }
    }
    unsigned taken = 0;
    while (io_uring_peek_cqe(&uring.ring, &cqe) == 0) {
        std::uint64_t key = io_uring_cqe_get_data64(cqe);
        int result = cqe->res;
        io_uring_cqe_seen(&uring.ring, cqe);
        --uring.in_kernel;
        ++taken;
        piece_returned(uring, key, result);
    }
    return taken;
}

void prepare(uring_state_s& uring, io_uring_sqe* sqe, std::uint64_t key) {
    const uring_transfer_s& transfer = uring.transfers[key >> 2];
    const piece_progress_s& piece = transfer.piece[key & 3];
    int fd = piece_descriptor(transfer.request, piece);
    std::uint8_t* memory = piece_memory(transfer.request, piece);
    auto bytes = static_cast<unsigned>(next_call_bytes(piece));
    std::uint64_t at = piece.offset + piece.moved;
    if (transfer.request.direction == io_direction::read) {
        io_uring_prep_read(sqe, fd, memory, bytes, at);
    } else {
        io_uring_prep_write(sqe, fd, memory, bytes, at);
    }
    io_uring_sqe_set_data64(sqe, key);
}

// Hands the prepared pieces to the kernel; a refusal for lack of room waits for completions
// (or a moment, when none is due) and tries again.
void submit_prepared(uring_state_s& uring) {
    std::size_t taken = 0;
    unsigned pauses = 0;
    while (taken < uring.prepared.size()) {
        int result = io_uring_submit(&uring.ring);
        if (result > 0) {
            taken += static_cast<std::size_t>(result);
            uring.in_kernel += static_cast<unsigned>(result);
            continue;
        }
        if (result == -EINTR) {
            continue;
        }
        if (result == 0 || result == -EAGAIN || result == -EBUSY) {
            if (uring.in_kernel > 0) {
                reap(uring, true);
                continue;
            }
            if (++pauses <= 1000) {
                pause_briefly();
                continue;
            }
        }
        // What stays in the ring now must never be submitted later, long after its transfer
        // was reported failed: the ring takes no more submissions at all.
        uring.broken = result < 0 ? -result : EAGAIN;
        for (std::size_t i = taken; i < uring.prepared.size(); ++i) {
            finish_piece(uring, uring.prepared[i], uring.broken);
        }
        break;
    }
    uring.prepared.clear();
}

void flush(uring_state_s& uring) {
    while (!uring.pending.empty() && uring.broken == 0) {
        std::size_t count = 0;
        for (; count < uring.pending.size(); ++count) {
            io_uring_sqe* sqe = io_uring_get_sqe(&uring.ring);
            if (sqe == nullptr) {
                break; // the ring is full: submit these, then go on
            }
            prepare(uring, sqe, uring.pending[count]);
            uring.prepared.push_back(uring.pending[count]);
        }
        uring.pending.erase(uring.pending.begin(),
                            uring.pending.begin() + static_cast<std::ptrdiff_t>(count));
        // Completions taken while submitting may add continuations to pending: the loop
        // hands them over as well.
        submit_prepared(uring);
    }
    if (uring.broken != 0) {
        std::vector<std::uint64_t> stranded;
        stranded.swap(uring.pending);
        for (std::uint64_t key : stranded) {
            finish_piece(uring, key, uring.broken);
        }
    }
}

bool open_uring(uring_state_s& uring, unsigned depth, std::string* why) {
    int result = io_uring_queue_init(ring_entries(depth), &uring.ring, 0);
    if (result < 0) {
        *why = "io_uring could not be set up (error " + std::to_string(-result) + ")";
        return false;
    }
    // Positioned reads and writes without vectors came with Linux 5.6, as did the probe.
    io_uring_probe* probe = io_uring_get_probe_ring(&uring.ring);
    bool usable = probe != nullptr && io_uring_opcode_supported(probe, IORING_OP_READ) &&
                  io_uring_opcode_supported(probe, IORING_OP_WRITE);
    if (probe != nullptr) {
        io_uring_free_probe(probe);
    }
    if (!usable) {
        io_uring_queue_exit(&uring.ring);
        *why = "this kernel's io_uring has no positioned reads and writes";
        return false;
    }
    uring.transfers.resize(depth);
    for (unsigned slot = depth; slot > 0; --slot) {
        uring.free_slots.push_back(slot - 1);
    }
    return true;
}

void uring_submit(uring_state_s& uring, const io_request_s& request) {
    int decided = decided_before_start(request);
    if (decided < 0 && uring.broken != 0) {
        decided = uring.broken;
    }
    if (decided >= 0) {
        uring.ready.push_back({request.tag, decided});
        return;
    }
    if (uring.free_slots.empty()) {
        // More than `depth` in flight: the owner miscounted, which costs memory, not data.
        uring.free_slots.push_back(static_cast<std::uint32_t>(uring.transfers.size()));
        uring.transfers.emplace_back();
    }
    std::uint32_t slot = uring.free_slots.back();
    uring.free_slots.pop_back();
    uring_transfer_s& transfer = uring.transfers[slot];
    transfer.request = request;
    transfer.error = 0;
    transfer.pieces_left = piece_count(request, transfer.piece);
    for (int i = 0; i < transfer.pieces_left; ++i) {
        uring.pending.push_back(piece_key(slot, i));
    }
}

// False when nothing more will complete without a further submission (nothing in flight, or
// nothing ready and `block` false).
bool uring_wait(uring_state_s& uring, unsigned in_flight, io_completion_s* completion, bool block) {
    for (;;) {
        flush(uring);
        if (!uring.ready.empty()) {
            *completion = uring.ready.front();
            uring.ready.pop_front();
            return true;
        }
        // After a flush every unfinished piece is in the kernel, so a blocking reap returns.
        if (in_flight == 0 || uring.in_kernel == 0) {
            return false;
        }
        if (reap(uring, block) == 0 && !block) {
            return false;
        }
    }
}

// --- the pool of I/O threads ---------------------------------------------------------------

long long call_once(const io_request_s& request, const piece_progress_s& piece) {
    int fd = piece_descriptor(request, piece);
    std::uint8_t* memory = piece_memory(request, piece);
    std::uint64_t bytes = next_call_bytes(piece);
    auto at = static_cast<off_t>(piece.offset + piece.moved);
    ssize_t result = request.direction == io_direction::read ? pread(fd, memory, bytes, at)
                                                             : pwrite(fd, memory, bytes, at);
    return result < 0 ? -errno : result;
}

int run_transfer(const io_request_s& request) {
    int decided = decided_before_start(request);
    if (decided >= 0) {
        return decided;
    }
    piece_progress_s pieces[pieces_per_transfer];
    int count = piece_count(request, pieces);
    for (int i = 0; i < count; ++i) {
        int error = 0;
        while (!piece_after_call(request, pieces[i], call_once(request, pieces[i]), &error)) {
        }
        if (error != 0) {
            return error;
        }
    }
    return 0;
}

// Threading: every field but `threads` under `lock`; `threads` is the owner's.
struct pool_state_s {
    std::mutex lock;
    std::condition_variable work_arrived; // the I/O threads wait here
    std::condition_variable work_done;    // the owner waits here
    std::deque<io_request_s> waiting;
    std::deque<io_completion_s> finished;
    unsigned idle = 0;          // I/O threads waiting for work
    bool owner_waiting = false; // spares a wake-up per completion nobody waits for
    bool closing = false;       // the threads end once `waiting` is empty
    std::vector<std::thread> threads;
};

void serve(pool_state_s& pool) {
    std::unique_lock<std::mutex> hold(pool.lock);
    for (;;) {
        if (pool.waiting.empty()) {
            if (pool.closing) {
                return;
            }
            ++pool.idle;
            pool.work_arrived.wait(hold);
            --pool.idle;
            continue;
        }
        io_request_s request = pool.waiting.front();
        pool.waiting.pop_front();
        hold.unlock();
        int error = run_transfer(request);
        hold.lock();
        pool.finished.push_back({request.tag, error});
        if (pool.owner_waiting) {
            pool.work_done.notify_one();
        }
    }
}

bool open_pool(pool_state_s& pool, unsigned depth, std::string* why) {
    unsigned count = std::min(depth, most_threads);
    // The I/O threads take no signals: they belong to the threads the program set up for them.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    for (unsigned i = 0; i < count; ++i) {
        try {
            pool.threads.emplace_back(serve, std::ref(pool));
        } catch (const std::system_error&) {
            break; // fewer threads still do every transfer
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pool.threads.empty()) {
        *why = "no I/O thread could be started";
        return false;
    }
    return true;
}

void pool_submit(pool_state_s& pool, const io_request_s& request) {
    std::lock_guard<std::mutex> hold(pool.lock);
    pool.waiting.push_back(request);
    if (pool.idle > 0) {
        pool.work_arrived.notify_one();
    }
}

bool pool_wait(pool_state_s& pool, io_completion_s* completion, bool block) {
    std::unique_lock<std::mutex> hold(pool.lock);
    if (pool.finished.empty()) {
        if (!block) {
            return false;
        }
        pool.owner_waiting = true;
        pool.work_done.wait(hold, [&] { return !pool.finished.empty(); });
        pool.owner_waiting = false;
    }
    *completion = pool.finished.front();
    pool.finished.pop_front();
    return true;
}

void close_pool(pool_state_s& pool) {
    {
        std::lock_guard<std::mutex> hold(pool.lock);
        pool.closing = true;
        pool.work_arrived.notify_all();
    }
    for (std::thread& thread : pool.threads) {
        thread.join();
    }
    pool.threads.clear();
}

} // namespace

// Exactly one of the back-ends is set once the queue is open.
struct io_queue_state_s {
    unsigned in_flight = 0; // submitted and not yet taken by the owner
    std::unique_ptr<uring_state_s> uring;
    std::unique_ptr<pool_state_s> pool;
};

void std::default_delete<io_queue_state_s>::operator()(io_queue_state_s* state) const {
    if (state->uring) {
        io_completion_s dropped;
        while (state->in_flight > 0 &&
               uring_wait(*state->uring, state->in_flight, &dropped, true)) {
            --state->in_flight;
        }
        io_uring_queue_exit(&state->uring->ring);
    }
    if (state->pool) {
        close_pool(*state->pool);
    }
    delete state;
}

bool open_io_queue(io_queue_s& queue, unsigned depth, io_backend backend, std::string* why) {
    close_io_queue(queue);
    std::string reason;
    if (depth == 0) {
        reason = "a queue needs room for at least one transfer";
    } else {
        auto state = std::make_unique<io_queue_state_s>();
        if (backend != io_backend::threads) {
            auto uring = std::make_unique<uring_state_s>();
            if (open_uring(*uring, depth, &reason)) {
                state->uring = std::move(uring);
            }
        }
        if (!state->uring && backend != io_backend::uring) {
            std::string pool_reason;
            auto pool = std::make_unique<pool_state_s>();
            if (open_pool(*pool, depth, &pool_reason)) {
                state->pool = std::move(pool);
            } else {
                reason = reason.empty() ? pool_reason : reason + "; " + pool_reason;
            }
        }
        if (state->uring || state->pool) {
            queue.state.reset(state.release());
            queue.backend = queue.state->uring ? io_backend::uring : io_backend::threads;
            queue.depth = depth;
            if (why != nullptr && !reason.empty()) {
                *why = reason; // why io_uring is not in use
            }
            return true;
        }
    }
    if (why != nullptr) {
        *why = reason;
    }
    return false;
}

void submit_io(io_queue_s& queue, const io_request_s& request) {
    io_queue_state_s* state = queue.state.get();
    if (state == nullptr) {
        return;
    }
    ++state->in_flight;
    if (state->uring) {
        uring_submit(*state->uring, request);
    } else {
        pool_submit(*state->pool, request);
    }
}

bool wait_for_io(io_queue_s& queue, io_completion_s* completion, bool block) {
    io_queue_state_s* state = queue.state.get();
    if (state == nullptr || state->in_flight == 0) {
        return false;
    }
    bool taken = state->uring ? uring_wait(*state->uring, state->in_flight, completion, block)
                              : pool_wait(*state->pool, completion, block);
    if (taken) {
        --state->in_flight;
    }
    return taken;
}

unsigned io_in_flight(const io_queue_s& queue) {
    return queue.state ? queue.state->in_flight : 0;
}

void close_io_queue(io_queue_s& queue) {
    queue.state.reset();
    queue.depth = 0;
}

const char* io_backend_name(io_backend backend) {
    switch (backend) {
    case io_backend::uring:
        return "io_uring";
    case io_backend::threads:
        return "I/O threads";
    case io_backend::automatic:
        break;
    }
    return "automatic";
}
