// The io_uring and I/O-thread back-ends against one read at a time, on direct reads of a file.
//
//   bench_transfers [MiB] [folder] [depth] [rounds]   (default 512 MiB, /var/tmp/scoopshift-bench,
//                                                     16, 3)
//
// Writes a file of the given size in the folder, then reads it with O_DIRECT in 64 KiB reads
// (every block once) and in 4 KiB reads (a quarter of the file's blocks), both at random
// offsets: one read at a time (read_at, the synchronous back-end), then with io_uring and with
// the I/O threads, `depth` reads in flight. Direct reads skip the page cache, so every round reads
// the disk. The steps run in turn, round after round, and the best time of each is kept. Prints
// MiB/s and reads per second, and removes the file. The folder must be on a disk that takes
// O_DIRECT.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "util/page_buffer.h"
#include "util/positioned_io.h"
#include "util/transfer_threads.h"
#include "util/transfer_uring.h"

namespace {

template <typename F> double timed(F&& step) {
    auto start = std::chrono::steady_clock::now();
    step();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return took.count();
}

bool write_file(const std::string& path, std::uint64_t bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        return false;
    }
    std::vector<std::uint8_t> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(i * 131);
    }
    bool written = true;
    for (std::uint64_t at = 0; written && at < bytes; at += block.size()) {
        written = pwrite(fd, block.data(), block.size(), static_cast<off_t>(at)) ==
                  static_cast<ssize_t>(block.size());
    }
    written = written && fsync(fd) == 0;
    close(fd);
    return written;
}

// Reads at every offset through the back-end, `depth` at a time, each into its own buffer slot.
bool read_through(transfer_backend_s& queue, const file_handle_s& file,
                  const std::vector<std::uint64_t>& offsets, std::uint64_t size,
                  std::uint8_t* memory) {
    std::vector<unsigned> free_slots;
    for (unsigned i = 0; i < queue.depth; ++i) {
        free_slots.push_back(i);
    }
    std::size_t next = 0;
    while (next < offsets.size() || io_in_flight(queue) > 0) {
        while (next < offsets.size() && io_in_flight(queue) < queue.depth) {
            unsigned slot = free_slots.back();
            free_slots.pop_back();
            submit_io(queue,
                      {&file, io_direction::read, offsets[next], size, memory + slot * size, slot});
            ++next;
        }
        io_completion_s done;
        if (!wait_for_io(queue, &done, true) || done.error != 0) {
            return false;
        }
        free_slots.push_back(static_cast<unsigned>(done.tag));
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 512;
    std::string folder = argc > 2 ? argv[2] : "/var/tmp/scoopshift-bench";
    unsigned depth = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 16;
    int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
    mkdir(folder.c_str(), 0755);
    std::string path = folder + "/transfers_bench";
    std::uint64_t bytes = mib << 20;
    if (bytes == 0 || depth == 0 || !write_file(path, bytes)) {
        std::fprintf(stderr, "could not write %llu MiB to %s\n",
                     static_cast<unsigned long long>(mib), path.c_str());
        return 1;
    }
    int error = 0;
    file_handle_s file = open_source_file(path, &error);
    if (error != 0 || file.direct_fd < 0) {
        std::fprintf(stderr, "%s: no direct reads here (error %d)\n", path.c_str(), error);
        unlink(path.c_str());
        return 1;
    }
    transfer_backend_s uring = uring_transfers(), threads = thread_transfers();
    std::string why;
    bool have_uring = open_transfers(uring, depth, &why);
    if (!have_uring) {
        std::printf("io_uring: %s\n", why.c_str());
    }
    if (!open_transfers(threads, depth, &why)) {
        std::fprintf(stderr, "I/O threads: %s\n", why.c_str());
        return 1;
    }
    page_buffer_s memory = allocate_pages(std::uint64_t{depth} * 65536);
    std::printf("%llu MiB in %s, %u reads in flight, best of %d rounds\n",
                static_cast<unsigned long long>(mib), folder.c_str(), depth, rounds);

    std::mt19937_64 random(7);
    bool ok = true;
    for (std::uint64_t size : {std::uint64_t{65536}, std::uint64_t{4096}}) {
        std::vector<std::uint64_t> offsets;
        for (std::uint64_t at = 0; at + size <= bytes; at += size) {
            offsets.push_back(at);
        }
        std::shuffle(offsets.begin(), offsets.end(), random);
        if (size == 4096) {
            offsets.resize(offsets.size() / 4);
        }
        double one = 1e30, ring = 1e30, pool = 1e30;
        for (int round = 0; ok && round < rounds; ++round) {
            one = std::min(one, timed([&] {
                               for (std::uint64_t at : offsets) {
                                   ok = ok && read_at(file, at, size, memory.data);
                               }
                           }));
            if (have_uring) {
                ring = std::min(ring, timed([&] {
                                    ok =
                                        ok && read_through(uring, file, offsets, size, memory.data);
                                }));
            }
            pool = std::min(pool, timed([&] {
                                ok = ok && read_through(threads, file, offsets, size, memory.data);
                            }));
        }
        double total_mib = static_cast<double>(offsets.size() * size) / (1 << 20);
        double count = static_cast<double>(offsets.size());
        std::printf("%llu KiB reads (%zu):\n", static_cast<unsigned long long>(size >> 10),
                    offsets.size());
        std::printf("  one at a time  %8.1f MiB/s %9.0f reads/s\n", total_mib / one, count / one);
        if (have_uring) {
            std::printf("  io_uring       %8.1f MiB/s %9.0f reads/s\n", total_mib / ring,
                        count / ring);
        }
        std::printf("  I/O threads    %8.1f MiB/s %9.0f reads/s\n", total_mib / pool, count / pool);
    }
    close_transfers(uring);
    close_transfers(threads);
    release_pages(memory);
    close_file_handle(file);
    unlink(path.c_str());
    if (!ok) {
        std::fprintf(stderr, "a read failed\n");
        return 1;
    }
    return 0;
}
