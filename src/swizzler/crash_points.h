// Named instants of a conversion at which a crash or a power cut would leave a
// particular state on the disk: after a journal or progress record is written,
// after data is flushed, between the two runs of a pair, before and after a
// rename. The engine announces each; a test installs a hook that ends the
// process there (as kill -9 would) or throws away what was not flushed yet (as
// a power cut would), and then checks that the next run repairs everything.
//
// Threading: the hook is installed before a run starts and called on the work
// thread. Without a hook an announcement costs one test of an empty function.
#pragma once

#include <functional>
#include <string>

// (instant, file it concerns)
using crash_point_fn = std::function<void(const char* point, const std::string& path)>;

// Installs the hook (empty removes it). Only while no run is converting.
void set_crash_point_hook(crash_point_fn hook);

// Announces an instant to the hook, if one is installed.
void crash_point(const char* point, const std::string& path);
