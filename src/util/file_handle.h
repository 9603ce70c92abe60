// An open plot file as the conversion moves data through it.
//
// Plot data bypasses the page cache wherever the file system allows it: a
// transfer whose offset, length and buffer address meet the direct-I/O
// alignment goes through an O_DIRECT descriptor, everything else through an
// ordinary descriptor of the same file. Both are opened together by
// open_file_handle; a file system that refuses O_DIRECT gets the ordinary one
// only, and every transfer then goes through the page cache.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

struct file_handle_s {
    int fd = -1;                        // ordinary descriptor; -1 means no file
    int direct_fd = -1;                 // O_DIRECT descriptor of the same file, or -1
    std::uint32_t alignment = 0;        // direct transfers: offset and length multiple
    std::uint32_t memory_alignment = 0; // direct transfers: buffer address multiple
    // Where transfers should start and end for speed: the largest of the direct-I/O alignment,
    // the file system's block and the device's physical block (a power of two, 512 to 128 KiB).
    // A direct write that starts or ends inside a file-system block is serialised by ext4, and
    // a drive with 4 KiB physical sectors reads, changes and writes back a partial one.
    std::uint32_t io_alignment = 4096;
    std::string path; // as opened, for messages
};

// Opens path with `flags` (O_RDONLY or O_RDWR, optionally O_CREAT with `mode`) for both kinds
// of transfer; 0 on success, else the errno of the open that failed and *file left empty.
int open_file_handle(const std::string& path, int flags, mode_t mode, file_handle_s* file);

// Closes both descriptors and empties the record; harmless on an empty one.
void close_file_handle(file_handle_s& file);
