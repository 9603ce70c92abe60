#include "swizzler/crash_points.h"

namespace {

// Threading: installed while no run converts, read by work threads. Never destroyed, so that a
// work thread still running when the process ends never sees it go.
crash_point_fn* hook = new crash_point_fn;

} // namespace

void set_crash_point_hook(crash_point_fn installed) {
    *hook = std::move(installed);
}

void crash_point(const char* point, const std::string& path) {
    if (*hook) {
        (*hook)(point, path);
    }
}
