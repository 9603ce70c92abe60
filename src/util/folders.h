// Folder listing and free space.
//
// enumerate_folder offers the names of the regular files of one folder (not
// its subfolders, nor devices, pipes or sockets, which cannot be plots) in the
// order the file system returns them. free_space_bytes asks statvfs for the
// bytes available to this user on the folder's volume.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Called with each file's bare name; returns false to stop the listing.
using folder_visitor_fn = std::function<bool(const std::string& name)>;

// Lists `folder` (with or without a trailing '/'); logs "Failed to enumerate folder: %s\n" with
// the folder text and calls nothing when it cannot be opened.
void enumerate_folder(const std::string& folder, const folder_visitor_fn& visitor);

// Bytes available to this user on the volume of `path`; false with *error = errno on failure.
bool free_space_bytes(const std::string& path, std::uint64_t* bytes, int* error);
