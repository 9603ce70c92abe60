#include "util/memory_status.h"

#include <sys/sysinfo.h>

#include <cstdio>
#include <cstring>

memory_status_s read_memory_status() {
    memory_status_s status;
    if (std::FILE* meminfo = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, meminfo) != nullptr) {
            unsigned long long kib = 0;
            if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
                status.available_bytes = kib * 1024;
            } else if (std::sscanf(line, "MemTotal: %llu kB", &kib) == 1) {
                status.total_bytes = kib * 1024;
            }
        }
        std::fclose(meminfo);
    }
    if (status.available_bytes == 0 || status.total_bytes == 0) {
        struct sysinfo info {};
        if (sysinfo(&info) == 0) {
            status.available_bytes = static_cast<std::uint64_t>(info.freeram) * info.mem_unit;
            status.total_bytes = static_cast<std::uint64_t>(info.totalram) * info.mem_unit;
        }
    }
    return status;
}
