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
#include <vector>

// One file of a folder as a listing finds it. Its identity is that of the file it names (a
// symbolic link's target); `symlink` says whether the name itself is a link.
struct folder_entry_s {
    std::string name;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t links = 0; // names the file has (hard links)
    std::uint64_t bytes = 0;
    bool symlink = false;
};

// The regular files of `folder` (links to them included), with what stat says of each, in the
// order the file system returns them; logs "Failed to enumerate folder: %s\n" and returns none
// when it cannot be opened.
std::vector<folder_entry_s> list_folder(const std::string& folder);

// The device and inode of the file or folder at path (symbolic links followed); false when it
// cannot be read.
bool identify_path(const std::string& path, std::uint64_t* device, std::uint64_t* inode);

// Called with each file's bare name; returns false to stop the listing.
using folder_visitor_fn = std::function<bool(const std::string& name)>;

// Lists `folder` (with or without a trailing '/'); logs "Failed to enumerate folder: %s\n" with
// the folder text and calls nothing when it cannot be opened.
void enumerate_folder(const std::string& folder, const folder_visitor_fn& visitor);

// Bytes available to this user on the volume of `path`; false with *error = errno on failure.
bool free_space_bytes(const std::string& path, std::uint64_t* bytes, int* error);
