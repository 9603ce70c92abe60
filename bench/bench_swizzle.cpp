// Swizzle bandwidth against memcpy over the same memory traffic.
//
// Two buffers of 256 MiB (or the MiB given as the first argument) are swizzled
// as one pair run; memcpy copies as many bytes as the two buffers hold
// together, so both read and write every cache line of 512 MiB. Each is run
// several times and the best time is kept. Prints both bandwidths and their
// ratio.
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "swizzler/swizzle.h"

namespace {

std::uint8_t* map_buffer(std::size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        std::perror("mmap");
        std::exit(1);
    }
    std::memset(p, 0x5a, bytes); // fault every page in before timing
    return static_cast<std::uint8_t*>(p);
}

template <typename F> double best_seconds(int rounds, F&& run) {
    double best = 1e30;
    for (int i = 0; i < rounds; ++i) {
        auto start = std::chrono::steady_clock::now();
        run();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    std::size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    std::size_t bytes = mib << 20;
    std::uint64_t scoops = bytes / scoop_size;
    constexpr int rounds = 7;

    std::uint8_t* low = map_buffer(bytes);
    std::uint8_t* high = map_buffer(bytes);
    std::uint8_t* copy_from = map_buffer(2 * bytes);
    std::uint8_t* copy_to = map_buffer(2 * bytes);

    double swizzle = best_seconds(rounds, [&] { swizzle_pair(low, high, scoops); });
    double copy = best_seconds(rounds, [&] { std::memcpy(copy_to, copy_from, 2 * bytes); });
    volatile std::uint8_t keep = low[32] ^ copy_to[17];
    (void)keep;

    double traffic = 2.0 * static_cast<double>(bytes) / 1e9; // GB moved by each
    std::printf("buffers: 2 x %zu MiB, best of %d\n", mib, rounds);
    std::printf("swizzle_pair: %.3f s, %.2f GB/s\n", swizzle, traffic / swizzle);
    std::printf("memcpy:       %.3f s, %.2f GB/s\n", copy, traffic / copy);
    std::printf("ratio (swizzle / memcpy bandwidth): %.2f\n", copy / swizzle);
    return 0;
}
