// Write-back of converted scoops: the two write sets, the hand-over and the writer.
//
// The worker fills one write set while the writer thread writes the other to
// the target. flush_scoops waits for the previous write, exchanges the sets and
// hands the full one to the writer, which starts it at once; so at most one
// write task is in flight and the worker's next reads overlap it. Within a
// task, the runs of scoop s and of scoop 4095 - s are written at the same time
// (the second by a partner thread), which keeps two requests in the disk's
// queue. Both threads live as long as the run: started by the first hand-over,
// ended by stop_writer.
//
// Limits: one worker per write_back_s. A failed write ends the process
// (write_at), whatever the worker is doing.
#pragma once

#include <cstdint>
#include <future>

#include "swizzler/conversion_record.h"
#include "util/file_handle.h"
#include "util/helper_thread.h"

// Converted scoops of `count` target nonces: PoC2 scoop s in `low`, scoop 4095 - s in `high`.
struct write_set_s {
    std::uint64_t count = 0;
    std::uint8_t* low = nullptr;
    std::uint8_t* high = nullptr;
};

struct write_back_s {
    write_set_s filling;             // the worker's
    write_set_s writing;             // the writer's between hand-overs
    std::uint64_t target_offset = 0; // nonces of the current pair already handed over
    helper_thread_s writer;          // runs the write tasks
    helper_thread_s partner_writer;  // writes the run of scoop 4095 - s beside the writer
    std::future<void> pending_write; // the running write task, or empty
};

// Hands the filling set over: waits for the job's previous write, and unless the record's stop
// is set, exchanges the sets and starts writing the filled one for pair s. An empty filling set
// returns at once, leaving a running write running. Work thread only.
void flush_scoops(swizzler_s& record, conversion_job_s& job, const file_handle_s& target,
                  write_back_s& back, std::uint64_t scoop);

// Waits for the running write, if any, and leaves pending_write empty.
void wait_for_pending_write(write_back_s& back);

// The body of one write task: both runs of the set into the target (the second on `partner`
// at the same time, when given), the counters, and the set emptied.
void write_scoops(swizzler_s& record, std::uint64_t nonces, const file_handle_s& target,
                  write_set_s& set, std::uint64_t scoop, std::uint64_t base,
                  helper_thread_s* partner = nullptr);

// Ends the writer threads of `back`; call after the last wait of the run.
void stop_writer(write_back_s& back);
