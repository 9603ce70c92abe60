// The conversion worker: the one work thread of a run, which turns the job list
// of a conversion record into PoC2 plot files.
//
// For each job it checks and opens the sources, creates the target under its
// temporary name (output path + ".swizzling") at full size, converts the 2048
// scoop pairs chunk by chunk within the memory budget, hands each full write
// set to the write-back, and gives the target its final name only once every
// byte is on the device. Each job ends completed or failed with its reason; a
// failed job never leaves a final-named file behind.
//
// Limits: one run per record and per program. The thread is never joined by
// the program; closing the program mid-run leaves the current target under its
// temporary name.
#pragma once

#include <cstdint>
#include <functional>

#include "swizzler/conversion_record.h"

// Starts the run on a new thread with the budget max_ram_bytes (0: nine tenths of the available
// memory); on_complete runs on the interface thread when the run has ended normally. Does
// nothing when record.thread already holds a thread. Interface thread.
void start_work_thread(swizzler_s& record, std::uint64_t max_ram_bytes,
                       std::function<void()> on_complete);

// The body of the work thread.
void work_thread(swizzler_s& record);
