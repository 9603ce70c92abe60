// Files in memory and the back-end that moves data to and from them, for logic
// tests that need no file system: a conversion's pipelines run on them exactly
// as on real files, and what they wrote can be read back from the store.
//
// A file is known by its path; the handle the engine uses for it has no
// descriptor. Reads past the end of a file complete with ENODATA, writes past
// it make it longer, as with a real file. Transfers move their bytes when their
// completion is taken, and completions come back in a scrambled (but for one
// back-end always the same) order, so that nothing may count on the order of
// completions.
//
// Threading: the store is shared by every back-end opened from it and guarded
// by its lock; each opened back-end has one owner thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "util/transfer_backend.h"

struct memory_files_s {
    std::mutex lock;
    std::map<std::string, std::vector<std::uint8_t>> files; // contents, by path
    std::map<std::string, unsigned> flushes;                // flushes asked for, by path
};

// A handle for the file at `path` of the store as the engine would open it, transfers aligned
// to `alignment` (a power of two); the file is made `size` bytes long of zeroes when it is not
// there yet.
file_handle_s memory_file(memory_files_s& store, const std::string& path, std::uint64_t size,
                          std::uint32_t alignment = 4096);

// A copy of the file's bytes (empty when there is no such file).
std::vector<std::uint8_t> memory_file_bytes(memory_files_s& store, const std::string& path);

transfer_backend_s memory_transfers(std::shared_ptr<memory_files_s> store);
