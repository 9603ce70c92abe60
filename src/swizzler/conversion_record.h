// The conversion record: the job list and its totals, the progress counters,
// the settings of a run and the work thread. One record serves the whole
// program (the_swizzler()); tests make their own.
//
// Threading: planning writes jobs, bytes_total and largest_job_bytes on the
// interface thread before a run and never during one. The four counters are
// 64-bit atomics changed by atomic add or exchange only and read with atomic
// loads by the screens: the work thread adds to bytes_read and bytes_buffered,
// the write-back adds to bytes_written and subtracts from bytes_in_flight, the
// hand-over exchanges bytes_buffered and bytes_in_flight. Each job's state and
// failure are written by the work thread and read on the interface thread
// only after the end-of-run hand-over.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

enum class job_state {
    planned,   // not converted (yet): the run has not reached it, or stopped before it
    completed, // the target has its final name and its data and folder are on the device
    failed,    // the run gave up on it; `failure` says why, the sources must be kept
    existing,  // its output was already there when the run came to it: not converted, kept
};

struct conversion_job_s {
    std::uint64_t account_id = 0;
    std::uint64_t start_nonce = 0;
    std::uint64_t nonces = 0;              // sum of the sources' nonce counts
    std::vector<std::string> source_paths; // ascending start nonce, each following the last
    std::string output_path;               // final PoC2 path, no extension
    std::future<void> pending_write;       // the job's running write-back, or empty
    job_state state = job_state::planned;
    std::string failure; // why a failed job did not complete, for the user
};

struct swizzler_s {
    std::atomic<std::uint64_t> bytes_read{0};
    std::atomic<std::uint64_t> bytes_written{0};
    std::uint64_t bytes_total = 0;
    bool finished = false; // the end-of-run hand-over has run (interface thread)
    std::function<void()> on_complete;
    std::vector<conversion_job_s> jobs;          // the work of the run
    std::vector<conversion_job_s> existing_jobs; // planned jobs whose output was already there
    std::uint64_t buffer_bytes = 0;              // each of the six working buffers, K * 64
    std::atomic<std::uint64_t> bytes_buffered{0};
    std::atomic<std::uint64_t> bytes_in_flight{0};
    std::atomic<std::uint64_t> bytes_verified{0}; // target bytes read back and found right
    bool verify_outputs = false; // read each output back against its sources before its name
    std::uint64_t largest_job_bytes = 0;
    std::uint64_t ram_limit = 0; // memory budget in bytes, 0 = automatic
    std::atomic<bool> stop{false};
    std::thread thread; // the work thread; never joined by the program
};

// The program's one record. Created on first use with every field zero, never destroyed, so a
// work thread still running when the process ends is simply ended with it.
swizzler_s& the_swizzler();
