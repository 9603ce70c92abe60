// Target files: opened for one run, sized, made durable, given their final name.
//
// size_target_file reserves every block of the target up front (fallocate), so
// that no write of the conversion extends the file or makes the file system
// fill a gap with zeroes. Where the file system cannot reserve blocks (exFAT,
// FUSE NTFS) the file is only extended, and the free space decides whether the
// target fits.
//
// A target belongs to the run that holds its lock (flock) from its opening to
// its final name; a second run that finds the lock taken leaves the file alone.
// Everything here reports; what to ask the user is the engine's decision.
#pragma once

#include <cstdint>
#include <string>

#include "util/file_handle.h"

enum class target_failure {
    none,
    not_created, // it could not be opened or created
    in_use,      // another run holds it: it is left exactly as it is
    not_plain,   // a symbolic link, not a regular file, or its data has other names: untouched
    no_room,     // the user gave up on making room; the file is deleted
};

// Opens or creates path (a leftover keeps its blocks; a new file is created exclusively) and
// takes it for this run alone: the handle holds an exclusive lock on the file until it is
// closed. Never through a symbolic link. An empty handle (fd -1) with *failure (not_created,
// with *error = errno, in_use or not_plain) otherwise; logs why.
file_handle_s open_target_file(const std::string& path, target_failure* failure, int* error);

// Opens an existing file for reading and writing and takes it for this run alone, as
// open_target_file does, but never creates one: a plot converted in place. An empty handle with
// *failure in_use, or not_created and *error = errno (ENOENT: there is no such file). Logs
// nothing.
file_handle_s open_existing_locked(const std::string& path, target_failure* failure, int* error);

enum class target_sizing {
    reserved,      // exactly `size` bytes long, every block reserved
    extended_only, // exactly `size` bytes long; the file system reserves nothing ahead
    failed,        // no room, or another refusal (*error)
};

// Sets the length of an open target to exactly `size` and reserves its blocks where the file
// system can. A reservation that fails gives back the blocks it took (the file keeps what it
// held before), so that the free space reads true afterwards.
target_sizing size_target_file(const file_handle_s& target, std::uint64_t size, int* error);

// Bytes available to this user on the volume of path's folder; 0, logged, when unknown.
std::uint64_t target_free_bytes(const std::string& path);

// Whether a target that reserves nothing ahead still fits: the volume must have room for the
// part of `size` that the file does not hold yet.
bool fits_unreserved(const file_handle_s& target, std::uint64_t size, std::uint64_t available);

// Deletes the target while its lock is still held (so no other run can have taken it in
// between) and closes it. A file that cannot be removed is only left behind.
void discard_target_file(file_handle_s& target, const std::string& path);

// True when this process can reserve file blocks without writing zeroes (fallocate exists).
// Start-up calls it once; the answer is kept once it is yes.
bool enable_volume_privilege();

// Puts the target's data on the device (fdatasync); false with *error = errno otherwise. A
// failure means the data written since the last flush may be gone even if a later flush
// succeeds (the kernel reports a lost write-back once): the caller must never trust it again.
[[nodiscard]] bool flush_target(const file_handle_s& target, int* error);

// Renames `from` to `to` (same folder) without ever replacing a file named `to`; false with
// *error = errno otherwise, EEXIST when `to` exists.
[[nodiscard]] bool rename_without_replacing(const std::string& from, const std::string& to,
                                            int* error);

// Syncs the folder that holds path, so that a name given in it survives a power cut; false
// with *error = errno otherwise.
[[nodiscard]] bool sync_folder_of(const std::string& path, int* error);
