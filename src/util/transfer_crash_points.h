// Crash points as a wrapper back-end: the named instants a conversion announces
// (after a journal or progress record is written, after data is flushed,
// between the two runs of a pair, before and after a rename) go to a function
// that may end the process there, as kill -9 would, or throw away what was not
// flushed yet, as a power cut would; a test then checks that the next run
// repairs everything. Transfers pass through unchanged.
//
// Threading: the function runs on the thread that announces (a run's work
// thread).
#pragma once

#include <functional>
#include <string>

#include "util/transfer_backend.h"

// (instant, file it concerns)
using crash_point_fn = std::function<void(const char* instant, const std::string& path)>;

// `inner` with every announced instant first handed to `at_instant`.
transfer_backend_s with_crash_points(transfer_backend_s inner, crash_point_fn at_instant);
