// Physical memory of the machine, as the memory budget and the screens need it.
#pragma once

#include <cstdint>

struct memory_status_s {
    std::uint64_t available_bytes = 0; // what can be used without pushing other programs out
    std::uint64_t total_bytes = 0;
};

// Reads MemAvailable and MemTotal from /proc/meminfo (sysinfo when that cannot be read).
memory_status_s read_memory_status();
