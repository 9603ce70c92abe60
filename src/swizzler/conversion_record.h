// The conversion record: the job list and its totals, the progress counters,
// the settings of a run and the work thread. One record serves the whole
// program (the_swizzler()); tests make their own.
//
// Threading: the front end fills the plan and the settings on the interface
// thread before the run starts; they do not change during it. The counters are
// 64-bit atomics changed by atomic add or subtract only (the work thread drives
// every transfer and counts them as they finish) and read with atomic loads by
// the screens. Each job's state and failure are written by the work thread and
// read on the interface thread only after the end-of-run hand-over; the job
// reports (on_job_start, on_job_end) are how a front end hears of a job
// earlier, from the work thread itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/conversion_plan.h"
#include "util/transfer_backend.h"

// How often the pipeline checkpoints: at the first pair boundary after either has passed.
struct checkpoint_interval_s {
    double seconds = 10;
    std::uint64_t bytes = 0; // written bytes; 0: by time only
};

struct swizzler_s {
    std::atomic<std::uint64_t> bytes_read{0};
    std::atomic<std::uint64_t> bytes_written{0};
    bool finished = false; // the end-of-run hand-over has run (interface thread)
    std::function<void()> on_complete;
    conversion_plan_s plan; // the run's jobs and totals: a copy of the plan it was started with
    std::uint64_t buffer_bytes = 0; // each of the six working buffers, K * 64
    std::atomic<std::uint64_t> bytes_buffered{0};
    std::atomic<std::uint64_t> bytes_in_flight{0};
    std::atomic<std::uint64_t> bytes_verified{0}; // target bytes read back and found right
    // Target bytes that earlier runs had converted and this one took over without redoing.
    std::atomic<std::uint64_t> bytes_resumed{0};
    checkpoint_interval_s checkpoints; // how often a job's progress is made durable
    bool verify_outputs = false;       // read each output back against its sources before its name
    std::uint64_t ram_limit = 0;       // memory budget in bytes, 0 = automatic
    // How transfers are done: the back-end the run opens for itself (tests hand their own, or
    // wrap this one to fail transfers or crash at named instants).
    transfer_backend_s transfers = automatic_transfers();
    std::atomic<bool> stop{false};
    // Called on the work thread as it takes up each job, and once that job's result is final
    // (completed, failed, stopped or found already there); empty: not called. They see the job
    // only during the call: what they keep or hand to another thread, they copy. Set before the
    // run starts.
    std::function<void(const conversion_job_s&)> on_job_start;
    std::function<void(const conversion_job_s&)> on_job_end;
    std::thread thread; // the work thread; never joined by the program
};

// The program's one record. Created on first use with every field zero, never destroyed, so a
// work thread still running when the process ends is simply ended with it.
swizzler_s& the_swizzler();
