#include "util/page_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

page_buffer_s allocate_pages(std::uint64_t bytes) {
    if (bytes == 0) {
        return {};
    }
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return {};
    }
    if (madvise(memory, bytes, MADV_POPULATE_WRITE) != 0) {
        if (errno != EINVAL) {
            munmap(memory, bytes);
            return {};
        }
        // A kernel without MADV_POPULATE_WRITE: commit by touching every page.
        auto* bytes_of = static_cast<volatile std::uint8_t*>(memory);
        std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
        for (std::uint64_t at = 0; at < bytes; at += page) {
            bytes_of[at] = 0;
        }
    }
    return {static_cast<std::uint8_t*>(memory), bytes};
}

void release_pages(page_buffer_s& buffer) {
    if (buffer.data != nullptr) {
        munmap(buffer.data, buffer.bytes);
    }
    buffer = {};
}
