// Target files: created at their full size, made durable, given their final name.
//
// create_target_file reserves every block of the target up front (fallocate),
// so that no write of the conversion extends the file or makes the file system
// fill a gap with zeroes. Where the file system cannot reserve blocks (exFAT,
// FUSE NTFS) the file is only extended, the user is warned that writing will
// be slow, and the free space decides whether the target fits.
//
// A target belongs to the run that holds its lock (flock) from its creation to its final
// name; a second run that finds the lock taken leaves the file alone.
//
// Limits: the free-space question blocks the calling thread until answered;
// call it from the work thread, never from the interface thread.
#pragma once

#include <cstdint>
#include <string>

#include "util/file_handle.h"

enum class target_failure {
    none,
    not_created, // it could not be opened or created
    in_use,      // another run holds it: it is left exactly as it is
    no_room,     // the user gave up on making room; the file is deleted
};

// Opens or creates path (a leftover keeps its blocks), takes it for this run alone and sets its
// length to exactly `size`, asking "Out of space" for as long as the user wants to retry. The
// handle holds an exclusive lock on the file until it is closed, so two runs never write one
// target. An empty handle (fd -1) on failure, with the reason in *failure when given.
file_handle_s create_target_file(const std::string& path, std::uint64_t size,
                                 target_failure* failure = nullptr);

// True when this process can reserve file blocks without writing zeroes (fallocate exists).
// Start-up calls it once; the answer is kept once it is yes.
bool enable_volume_privilege();

// Puts the target's data on the device (fdatasync); false with *error = errno otherwise.
bool flush_target(const file_handle_s& target, int* error);

// Renames `from` to `to` (same folder) without ever replacing a file named `to`; false with
// *error = errno otherwise, EEXIST when `to` exists.
bool rename_without_replacing(const std::string& from, const std::string& to, int* error);

// Syncs the folder that holds path, so that a name given in it survives a power cut; false
// with *error = errno otherwise.
bool sync_folder_of(const std::string& path, int* error);
