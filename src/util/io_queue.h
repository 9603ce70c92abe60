// A queue of positioned reads and writes with many transfers in flight.
//
// The conversion keeps its drives busy by submitting reads and writes ahead of
// need and taking their completions as they come, on one thread, without a
// hand-off per transfer from that thread. Two back-ends do the transfers:
// io_uring (through liburing) where the kernel allows it, and a small pool of
// I/O threads where it does not (an old kernel, or io_uring switched off by
// sysctl or a seccomp filter, as container runtimes do).
//
// Every transfer is all-or-nothing: short transfers are continued and EINTR and
// EAGAIN retried inside the queue, so a completion says either "all bytes moved"
// or the error that stopped it. A transfer goes through the file's O_DIRECT
// descriptor when its offset, length and buffer meet the file's direct-I/O
// alignment, else through the ordinary descriptor; a direct transfer that the
// kernel refuses with EINVAL is redone through the ordinary one. The test hook
// of positioned_io (set_io_fault_hook) is asked before each transfer starts.
//
// Limits: one thread submits and waits (the owner). At most `depth` transfers
// are in flight; the owner keeps count. Buffers and file handles must stay
// valid until their transfer has completed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "util/file_handle.h"
#include "util/positioned_io.h"

enum class io_backend {
    automatic, // io_uring when it can be set up, else threads
    uring,     // io_uring only: opening fails without it
    threads,   // the pool of I/O threads
};

struct io_request_s {
    const file_handle_s* file = nullptr;
    io_direction direction = io_direction::read;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint8_t* buffer = nullptr;
    std::uint64_t tag = 0; // the owner's, handed back with the completion
};

struct io_completion_s {
    std::uint64_t tag = 0;
    int error = 0; // 0 when every byte moved; else errno (ENODATA: a read met the end of the file)
};

struct io_queue_state_s; // the back-end's own state

// Destroying a queue's state closes the queue as close_io_queue does. Defined beside the state,
// so that a queue record can be destroyed where the state's layout is not known.
template <> struct std::default_delete<io_queue_state_s> {
    void operator()(io_queue_state_s* state) const;
};

struct io_queue_s {
    std::unique_ptr<io_queue_state_s> state;
    io_backend backend = io_backend::automatic; // the one in use once opened
    unsigned depth = 0;                         // transfers in flight at most
};

// Opens a queue for `depth` transfers in flight with the back-end asked for; false with *why
// set when it cannot be opened (io_backend::uring without io_uring, no thread could start).
// When io_backend::automatic ends up with the threads, *why says why io_uring is not in use.
bool open_io_queue(io_queue_s& queue, unsigned depth, io_backend backend, std::string* why);

// Starts a transfer. Fewer than `depth` may be in flight. The request may wait for the next
// wait_for_io to be handed to the kernel, so that transfers started together go in one call:
// after starting a batch, a wait_for_io that does not block hands it over before other work.
void submit_io(io_queue_s& queue, const io_request_s& request);

// Takes one completion: waits for one when `block`, returns false at once otherwise when none
// is ready. False also when nothing is in flight.
bool wait_for_io(io_queue_s& queue, io_completion_s* completion, bool block);

// Transfers submitted and not yet taken by wait_for_io.
unsigned io_in_flight(const io_queue_s& queue);

// Waits for every transfer still in flight (their completions are dropped) and closes the
// queue; harmless on a queue that was never opened or is closed already. `backend` keeps
// naming the back-end that was in use.
void close_io_queue(io_queue_s& queue);

// The back-end's name for the log: "io_uring" or "I/O threads".
const char* io_backend_name(io_backend backend);
