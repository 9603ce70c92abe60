// The closing summary of the terminal front end: what the run converted,
// skipped and failed (each output with its reason), the bytes written, the
// time the conversion took and its average speed.
//
// A job is converted when its output got its final name, failed when the run
// gave up on it, and skipped when the run ended before reaching it. Limits:
// reads the record after the run, on the main thread.
#pragma once

#include <string>

struct swizzler_s;

// The summary of `record`'s run, which took `seconds`, as lines of text ending in "\n".
std::string run_summary(const swizzler_s& record, double seconds);

// "12.3 seconds" below a minute, else "4 min 05 s" or "2 h 05 min 03 s".
std::string elapsed_text(double seconds);
