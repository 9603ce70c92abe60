// A memory control group made for one test (cgroup v2 memory.max, or the cgroup v1 memory
// controller's memory.limit_in_bytes), removed after it. Making one needs root and a mounted
// memory controller; `why_not` says what was missing.
#pragma once

#include <cstdint>
#include <string>

struct memory_group_s {
    std::string path;    // the group's folder; empty when none could be made
    std::string why_not; // empty when the group exists
    explicit memory_group_s(std::uint64_t limit_bytes);
    ~memory_group_s();
    memory_group_s(const memory_group_s&) = delete;
    memory_group_s& operator=(const memory_group_s&) = delete;
};

// Moves the calling process into the group; false when the kernel refused. Async-signal-safe
// enough for a child between fork and exec (open, write, close only).
bool join_memory_group(const std::string& path);
