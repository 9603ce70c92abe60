#include "util/open_files.h"

#include <sys/resource.h>

#include <algorithm>

namespace {

// Descriptors kept for everything but sources: targets, records, journals, the log, the
// terminal, the I/O queue, the desktop libraries.
constexpr std::uint64_t kept_for_the_rest = 64;
constexpr std::uint64_t descriptors_per_source = 2;

} // namespace

std::uint64_t raise_open_file_limit() {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    if (limit.rlim_cur != limit.rlim_max) {
        struct rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
}

std::uint64_t open_file_limit() {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1024;
    }
    return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
}

std::size_t sources_per_job_within(std::uint64_t limit, std::size_t streams) {
    std::uint64_t usable = limit > kept_for_the_rest ? limit - kept_for_the_rest : 0;
    std::uint64_t each = usable / descriptors_per_source / std::max<std::size_t>(streams, 1);
    return static_cast<std::size_t>(std::max<std::uint64_t>(each, 1));
}
