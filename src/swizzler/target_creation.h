// Creating a target at its full size, with the user's help when its drive is full.
//
// The file is taken for this run (locked), set to exactly its size with every
// block reserved, and, when the volume lacks room, the user is asked "Out of
// space" to free some and retry for as long as they want. A file system that
// cannot reserve blocks gets the slow-extension warning.
//
// Limits: the question blocks the calling thread until answered; call it from
// the work thread, never from the interface thread.
#pragma once

#include <cstdint>
#include <string>

#include "util/file_handle.h"
#include "util/target_file.h"

// The locked target at path, exactly `size` bytes long; an empty handle (fd -1) with the reason
// in *failure when it cannot be created, is in use by another run, or the user gave up on
// making room (the file is then deleted).
file_handle_s create_target_file(const std::string& path, std::uint64_t size,
                                 target_failure* failure = nullptr);
