#include "util/transfer_uring.h"

#include <liburing.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <vector>

#include "util/transfer_rules.h"

namespace {

// A transfer has at most three pieces, each with at most one system call under way.
constexpr unsigned pieces_per_transfer = 3;
constexpr unsigned largest_ring = 4096;

// A short pause where the kernel lacks something for a moment and nothing else can be waited
// for; the owner never spins.
void pause_briefly() {
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
}

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
    bool ring_open = false;
    std::vector<uring_transfer_s> transfers; // by slot
    std::vector<std::uint32_t> free_slots;
    std::vector<std::uint64_t> pending;  // pieces to hand to the kernel at the next wait
    std::vector<std::uint64_t> prepared; // in the ring, not yet taken by the kernel; in order
    std::deque<io_completion_s> ready;
    unsigned in_kernel = 0;
    unsigned unfinished = 0; // transfers submitted whose completion is not in `ready` yet
    int broken = 0;          // errno once the ring refused submissions for good
    ~uring_state_s();
};

uring_state_s& uring_of(transfer_backend_s& backend) {
    return *static_cast<uring_state_s*>(backend.state.get());
}

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
        std::uint64_t moved = 0;
        for (const piece_progress_s& piece : transfer.piece) {
            moved += piece.moved;
        }
        uring.ready.push_back({transfer.request.tag, transfer.error, moved});
        uring.free_slots.push_back(slot);
        --uring.unfinished;
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

void flush_pending(uring_state_s& uring) {
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

// False when nothing more will complete without a further submission.
bool take_one(uring_state_s& uring, io_completion_s* completion, bool block) {
    for (;;) {
        flush_pending(uring);
        if (!uring.ready.empty()) {
            *completion = uring.ready.front();
            uring.ready.pop_front();
            return true;
        }
        // After a flush every unfinished piece is in the kernel, so a blocking reap returns.
        if (uring.unfinished == 0 || uring.in_kernel == 0) {
            return false;
        }
        if (reap(uring, block) == 0 && !block) {
            return false;
        }
    }
}

uring_state_s::~uring_state_s() {
    if (!ring_open) {
        return;
    }
    // The kernel may still be moving bytes into the owner's buffers: wait for all of it.
    io_completion_s dropped;
    while (take_one(*this, &dropped, true)) {
    }
    io_uring_queue_exit(&ring);
}

bool open_uring(uring_state_s& uring, unsigned depth, std::string* why) {
    int result = io_uring_queue_init(ring_entries(depth), &uring.ring, 0);
    if (result < 0) {
        *why = "io_uring could not be set up (error " + std::to_string(-result) + ")";
        return false;
    }
    uring.ring_open = true;
    // Positioned reads and writes without vectors came with Linux 5.6, as did the probe.
    io_uring_probe* probe = io_uring_get_probe_ring(&uring.ring);
    bool usable = probe != nullptr && io_uring_opcode_supported(probe, IORING_OP_READ) &&
                  io_uring_opcode_supported(probe, IORING_OP_WRITE);
    if (probe != nullptr) {
        io_uring_free_probe(probe);
    }
    if (!usable) {
        *why = "this kernel's io_uring has no positioned reads and writes";
        return false;
    }
    uring.transfers.resize(depth);
    for (unsigned slot = depth; slot > 0; --slot) {
        uring.free_slots.push_back(slot - 1);
    }
    return true;
}

void submit_to_ring(uring_state_s& uring, const io_request_s& request) {
    int decided = decided_before_start(request);
    if (decided < 0 && uring.broken != 0) {
        decided = uring.broken;
    }
    if (decided >= 0) {
        uring.ready.push_back({request.tag, decided, 0});
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
    transfer = uring_transfer_s{};
    transfer.request = request;
    transfer.pieces_left = pieces_of(request, transfer.piece);
    ++uring.unfinished;
    for (int i = 0; i < transfer.pieces_left; ++i) {
        uring.pending.push_back(piece_key(slot, i));
    }
}

} // namespace

transfer_backend_s uring_transfers() {
    transfer_backend_s backend;
    backend.name = "io_uring";
    backend.ops.open = [](transfer_backend_s& self, unsigned depth, std::string* why) {
        auto uring = std::make_shared<uring_state_s>();
        if (!open_uring(*uring, depth, why)) {
            return false;
        }
        self.state = uring;
        return true;
    };
    backend.ops.submit = [](transfer_backend_s& self, const io_request_s& request) {
        submit_to_ring(uring_of(self), request);
    };
    backend.ops.wait = [](transfer_backend_s& self, io_completion_s* completion, bool block) {
        return take_one(uring_of(self), completion, block);
    };
    backend.ops.flush = flush_real_file;
    backend.ops.close = [](transfer_backend_s& self) { self.state.reset(); };
    return backend;
}
