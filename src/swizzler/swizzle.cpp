#include "swizzler/swizzle.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Above this many bytes in the two runs together the data cannot stay in the cache anyway, so the
// exchanged lines are written with streaming stores: they go to memory without first being
// fetched for ownership again, the way a large memcpy writes. Below it, ordinary stores keep the
// result cached for the copy that usually follows.
constexpr std::uint64_t streaming_threshold = 4u << 20;

void exchange_cached(std::uint8_t* low, std::uint8_t* high, std::uint64_t count) {
    for (std::uint64_t e = 0; e < count; ++e) {
        std::uint8_t* a = low + e * scoop_size + half_size;
        std::uint8_t* b = high + e * scoop_size + half_size;
        std::uint8_t ta[half_size];
        std::uint8_t tb[half_size];
        std::memcpy(ta, a, half_size);
        std::memcpy(tb, b, half_size);
        std::memcpy(a, tb, half_size);
        std::memcpy(b, ta, half_size);
    }
}

#if defined(__SSE2__)
// All four buffers 16-byte aligned: each 64-byte entry is four 16-byte lanes; lanes 2 and 3
// change places between the outputs and whole entries are streamed out. An entry is loaded
// whole before it is stored, so the outputs may be the inputs themselves.
void exchange_streaming(const std::uint8_t* low, const std::uint8_t* high, std::uint8_t* out_low,
                        std::uint8_t* out_high, std::uint64_t count) {
    for (std::uint64_t e = 0; e < count; ++e) {
        auto* a = reinterpret_cast<const __m128i*>(low + e * scoop_size);
        auto* b = reinterpret_cast<const __m128i*>(high + e * scoop_size);
        auto* x = reinterpret_cast<__m128i*>(out_low + e * scoop_size);
        auto* y = reinterpret_cast<__m128i*>(out_high + e * scoop_size);
        __m128i a0 = _mm_load_si128(a), a1 = _mm_load_si128(a + 1);
        __m128i a2 = _mm_load_si128(a + 2), a3 = _mm_load_si128(a + 3);
        __m128i b0 = _mm_load_si128(b), b1 = _mm_load_si128(b + 1);
        __m128i b2 = _mm_load_si128(b + 2), b3 = _mm_load_si128(b + 3);
        _mm_stream_si128(x, a0);
        _mm_stream_si128(x + 1, a1);
        _mm_stream_si128(x + 2, b2);
        _mm_stream_si128(x + 3, b3);
        _mm_stream_si128(y, b0);
        _mm_stream_si128(y + 1, b1);
        _mm_stream_si128(y + 2, a2);
        _mm_stream_si128(y + 3, a3);
    }
    _mm_sfence(); // streamed data must be visible before anyone else reads the outputs
}

bool aligned_16(const void* a, const void* b, const void* c, const void* d) {
    auto bits = reinterpret_cast<std::uintptr_t>(a) | reinterpret_cast<std::uintptr_t>(b) |
                reinterpret_cast<std::uintptr_t>(c) | reinterpret_cast<std::uintptr_t>(d);
    return (bits & 15) == 0;
}
#endif

} // namespace

void swizzle_pair(std::uint8_t* low, std::uint8_t* high, std::uint64_t count) {
#if defined(__SSE2__)
    if (aligned_16(low, high, low, high) && count * scoop_size * 2 >= streaming_threshold) {
        exchange_streaming(low, high, low, high, count);
        return;
    }
#endif
    exchange_cached(low, high, count);
}

void swizzle_pair_into(const std::uint8_t* low, const std::uint8_t* high, std::uint8_t* out_low,
                       std::uint8_t* out_high, std::uint64_t count) {
#if defined(__SSE2__)
    if (aligned_16(low, high, out_low, out_high)) {
        exchange_streaming(low, high, out_low, out_high, count);
        return;
    }
#endif
    std::memmove(out_low, low, count * scoop_size);
    std::memmove(out_high, high, count * scoop_size);
    exchange_cached(out_low, out_high, count);
}
