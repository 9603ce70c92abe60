// Memory this program may use, as the memory budget and the screens need it.
//
// The machine's figures (/proc/meminfo) are narrowed by the memory limits of
// the control groups the process runs in (cgroup v2 memory.max, cgroup v1
// memory.limit_in_bytes, each less its current usage, on every level up to
// the root): a program in a container or a systemd slice of 200 MB must not
// plan with the host's 23 GiB.
#pragma once

#include <cstdint>
#include <string>

struct memory_status_s {
    std::uint64_t available_bytes = 0; // usable without pushing other programs out
    std::uint64_t total_bytes = 0;     // the machine's memory, or the tightest group limit
};

// The figures of this process. Any thread.
memory_status_s read_memory_status();

// The same read below `root` ("" is the real system; tests give a folder that mimics /proc
// and the cgroup mounts).
memory_status_s read_memory_status_under(const std::string& root);
