// Page-aligned, zero-filled memory that is committed when it is handed out.
//
// A buffer is populated up front (MADV_POPULATE_WRITE), so a machine that
// cannot back it says so here, as a failed allocation, instead of the kernel
// ending the process later in the middle of a conversion.
//
// Limits: on kernels before 5.14 the pages are touched one by one instead,
// which commits them as well but cannot report a shortage.
#pragma once

#include <cstdint>

struct page_buffer_s {
    std::uint8_t* data = nullptr; // page-aligned; null when none
    std::uint64_t bytes = 0;
};

// Maps and commits `bytes` (rounded up to whole pages); an empty buffer when bytes is 0 or the
// memory cannot be had.
page_buffer_s allocate_pages(std::uint64_t bytes);

// Returns the memory; harmless on an empty buffer, which it stays.
void release_pages(page_buffer_s& buffer);
