// Transfers of plot data: one interface, back-ends as values.
//
// A back-end is a record of function objects (its operations) and its state.
// A run is handed one before it starts, unopened: it opens its own copy for as
// many transfers in flight as its buffers allow, submits positioned reads and
// writes, takes their completions as they come, flushes files through it and
// announces the named instants of a conversion to it. The back-ends, one file
// each: io_uring, a pool of I/O threads, synchronous (the same interface at
// depth one: read_at and write_at), files in memory, and a model of a disk that
// keeps simulated time. Fault injection and crash points are wrapper back-ends
// around any of them.
//
// Every transfer is all-or-nothing: a completion says either "every byte
// moved" or the error that stopped it (ENODATA: a read met the end of the
// file). The back-ends that reach real files share one set of rules for that
// (transfer_rules.h).
//
// Limits: an opened back-end has one owner thread, which submits and waits; at
// most `depth` transfers are in flight (the owner keeps count); buffers and
// files must stay valid until their transfer has completed. Copy a back-end
// only before it is opened: copies of an opened one share its state.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "util/file_handle.h"

enum class io_direction { read, write };

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
    int error = 0;           // 0 when every byte moved; else errno (ENODATA: the file ended first)
    std::uint64_t moved = 0; // bytes moved from the start before the transfer ended
};

struct transfer_backend_s;

// The operations of a back-end. Each receives the record it belongs to, whose `state` it
// keeps; an empty `flush` or `announce` does nothing.
struct transfer_ops_s {
    // Sets the back-end up for `depth` transfers in flight; false with *why when it cannot.
    // On success *why may say what it settled for ("" otherwise).
    std::function<bool(transfer_backend_s&, unsigned depth, std::string* why)> open;
    // Starts a transfer; it may wait for the next `wait` to be handed to the device.
    std::function<void(transfer_backend_s&, const io_request_s&)> submit;
    // Takes one completion, waiting for one when `block`; false when none could be taken.
    std::function<bool(transfer_backend_s&, io_completion_s*, bool block)> wait;
    // Makes what was written to the file durable: 0, or errno.
    std::function<int(transfer_backend_s&, const file_handle_s&)> flush;
    // A named instant of a conversion (after a flush, before a rename, ...) concerning `path`.
    std::function<void(transfer_backend_s&, const char* instant, const std::string& path)> announce;
    // Waits for every transfer in flight (their completions are dropped) and frees the state.
    std::function<void(transfer_backend_s&)> close;
};

struct transfer_backend_s {
    std::string name; // for the log: "io_uring", "I/O threads", ...
    transfer_ops_s ops;
    // False for a back-end that only keeps time (the disk model): reads deliver no bytes and
    // writes are dropped, so a conversion need not exchange anything.
    bool moves_data = true;
    unsigned depth = 0;          // once open
    unsigned in_flight = 0;      // submitted and not yet taken; kept by submit_io, wait_for_io
    std::shared_ptr<void> state; // the back-end's own, from open to close
};

// The program's back-end: io_uring where the kernel allows it, else the pool of I/O threads;
// opened at depth one, the synchronous back-end.
transfer_backend_s automatic_transfers();

// Opens `backend` for `depth` transfers in flight (closing it first if it is open); false with
// *why set when it cannot be opened. When it opens but settled for less than asked (the I/O
// threads where io_uring was wanted), *why says why. `why` may be null.
bool open_transfers(transfer_backend_s& backend, unsigned depth, std::string* why);

// Starts a transfer; fewer than `depth` may be in flight.
void submit_io(transfer_backend_s& backend, const io_request_s& request);

// Takes one completion (waits for one when `block`); false when nothing is in flight, or when
// nothing is ready and `block` is false. A call that does not block also hands what was
// submitted before it to the device.
bool wait_for_io(transfer_backend_s& backend, io_completion_s* completion, bool block);

// Transfers submitted and not yet taken by wait_for_io.
unsigned io_in_flight(const transfer_backend_s& backend);

// One transfer from start to completion: the back-end must have nothing else in flight.
io_completion_s transfer_now(transfer_backend_s& backend, const io_request_s& request);

// Makes the file's written data durable through the back-end: 0, or errno.
int flush_through(transfer_backend_s& backend, const file_handle_s& file);

// Announces a named instant of a conversion to the back-end (a crash-point wrapper acts on it).
void announce(transfer_backend_s& backend, const char* instant, const std::string& path);

// Waits for every transfer in flight and closes the back-end; harmless when it is not open.
// It can be opened again.
void close_transfers(transfer_backend_s& backend);
