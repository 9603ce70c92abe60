// Write-back of converted scoops: the two write sets, the hand-over and the writer.
//
// The worker fills one write set while the writer thread writes the other to
// the target. flush_scoops waits for the previous write, exchanges the sets and
// hands the full one to the writer, which starts it at once; so at most one
// write is in flight and the worker's next reads overlap it. The writer is one
// thread per run with a one-slot hand-over, started by the first hand-over and
// ended by stop_writer.
//
// Limits: one worker per write_back_s. A failed write ends the process
// (write_at), whatever the worker is doing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "swizzler/conversion_record.h"
#include "util/file_handle.h"

// Converted scoops of `count` target nonces: PoC2 scoop s in `low`, scoop 4095 - s in `high`.
struct write_set_s {
    std::uint64_t count = 0;
    std::uint8_t* low = nullptr;
    std::uint8_t* high = nullptr;
};

// One write, fixed when it is handed over.
struct write_task_s {
    swizzler_s* record = nullptr;
    const file_handle_s* target = nullptr;
    write_set_s* set = nullptr; // the writing set; read when the write runs
    std::uint64_t nonces = 0;   // N of the target
    std::uint64_t scoop = 0;    // s; its partner is 4095 - s
    std::uint64_t base = 0;     // first target nonce of the set
    std::promise<void> done;
};

struct write_back_s {
    write_set_s filling;             // the worker's
    write_set_s writing;             // the writer's between hand-overs
    std::uint64_t target_offset = 0; // nonces of the current pair already handed over

    // Threading: `slot` and `closing` are guarded by `lock`; the writer waits on `wake`.
    std::thread writer;
    std::mutex lock;
    std::condition_variable wake;
    std::optional<write_task_s> slot;
    bool closing = false;
    bool write_inline = false; // no thread could be started: the worker writes itself
};

// Hands the filling set over: waits for the job's previous write, and unless the record's stop
// is set, exchanges the sets and starts writing the full one (none when it is empty) for pair s.
// Work thread only.
void flush_scoops(swizzler_s& record, conversion_job_s& job, const file_handle_s& target,
                  write_back_s& back, std::uint64_t scoop);

// Waits for the job's running write, if any, and leaves pending_write empty.
void wait_for_pending_write(conversion_job_s& job);

// The body of one write: both runs of the set into the target, the counters, the set emptied.
void write_scoops(swizzler_s& record, std::uint64_t nonces, const file_handle_s& target,
                  write_set_s& set, std::uint64_t scoop, std::uint64_t base);

// Ends the writer thread of `back`, if it runs; call after the last wait of the run.
void stop_writer(write_back_s& back);
