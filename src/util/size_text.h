// Short texts for byte counts and durations.
//
// Sizes get one decimal and a unit from KB (or KiB) up to TB (or TiB); a unit is
// chosen once the value reaches three quarters of it. Durations read as hours
// and minutes, truncated, never seconds.
//
// size_text and duration_text return buffers from small rings: a size text
// survives the next two calls, a duration text the next one. The rings belong
// to the calling thread, so the interface thread and the work thread never
// overwrite each other's texts.
#pragma once

#include <cstdint>

// Writes "%0.1f <unit><suffix>" into buffer (capacity bytes, always terminated when capacity > 0).
void format_size(int capacity, char* buffer, std::uint64_t bytes, bool base_1024,
                 const char* suffix);

// The size text in the next of three rotating buffers of this thread.
const char* size_text(std::uint64_t bytes, bool base_1024);

// Advances this thread's size ring and returns its new buffer (64 bytes), for callers that
// format into it themselves with format_size.
char* next_size_buffer();

// "H hours, M minutes" or "M minutes" in the next of two rotating buffers of this thread;
// "unknown" for a value that is not finite or whose minute count does not fit 32 bits.
const char* duration_text(double seconds);
