#include "util/size_text.h"

#include <climits>
#include <cmath>
#include <cstdio>

namespace {

constexpr int size_ring_length = 3;
constexpr int duration_ring_length = 2;
constexpr int text_capacity = 64;

const char* const decimal_units[4] = {"KB", "MB", "GB", "TB"};
const char* const binary_units[4] = {"KiB", "MiB", "GiB", "TiB"};

// Per thread: see the header.
thread_local char size_ring[size_ring_length][text_capacity];
thread_local int size_index = 0;
thread_local char duration_ring[duration_ring_length][text_capacity];
thread_local int duration_index = 0;

const char* plural(int count) {
    return count == 1 ? "" : "s";
}

} // namespace

void format_size(int capacity, char* buffer, std::uint64_t bytes, bool base_1024,
                 const char* suffix) {
    if (capacity <= 0) {
        return;
    }
    const std::uint64_t base = base_1024 ? 1024 : 1000;
    int unit = 0;
    std::uint64_t divisor = base;
    for (;;) {
        std::uint64_t next = divisor * base;
        if (bytes < next * 3 / 4 || unit == 3) {
            break;
        }
        ++unit;
        divisor = next;
    }
    double value = static_cast<double>(bytes) / static_cast<double>(divisor);
    const char* name = base_1024 ? binary_units[unit] : decimal_units[unit];
    std::snprintf(buffer, static_cast<std::size_t>(capacity), "%0.1f %s%s", value, name, suffix);
}

char* next_size_buffer() {
    size_index = (size_index + 1) % size_ring_length;
    return size_ring[size_index];
}

const char* size_text(std::uint64_t bytes, bool base_1024) {
    char* buffer = next_size_buffer();
    format_size(text_capacity, buffer, bytes, base_1024, "");
    return buffer;
}

const char* duration_text(double seconds) {
    duration_index = (duration_index + 1) % duration_ring_length;
    char* buffer = duration_ring[duration_index];

    double minutes_total = std::trunc(seconds / 60.0);
    if (!std::isfinite(minutes_total) || minutes_total > INT_MAX || minutes_total < INT_MIN) {
        std::snprintf(buffer, text_capacity, "unknown");
        return buffer;
    }
    int total = static_cast<int>(minutes_total);
    int hours = total / 60;
    int minutes = total - hours * 60;
    if (hours != 0) {
        std::snprintf(buffer, text_capacity, "%d hour%s, %d minute%s", hours, plural(hours),
                      minutes, plural(minutes));
    } else {
        std::snprintf(buffer, text_capacity, "%d minute%s", minutes, plural(minutes));
    }
    return buffer;
}
