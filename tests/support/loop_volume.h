// A file system on a loop device, made for one test and removed after it: a drive of chosen
// sector size (losetup --sector-size) and file system, its backing file wherever the test
// wants it (on tmpfs, a drive in memory). Needs root, losetup and the mkfs of the file system;
// `why_not` says what was missing.
#pragma once

#include <cstdint>
#include <string>

struct loop_volume_s {
    std::string path;    // where it is mounted; empty when it could not be made
    std::string device;  // /dev/loopN
    std::string backing; // the backing file
    std::string why_not;

    // A volume of `bytes` with `sector_size`-byte sectors and `file_system` ("ext4", "xfs"),
    // backed by a file in `backing_folder`, mounted at `mount_point` (made if missing).
    loop_volume_s(const std::string& backing_folder, const std::string& mount_point,
                  std::uint64_t bytes, unsigned sector_size, const std::string& file_system);
    ~loop_volume_s();
    loop_volume_s(const loop_volume_s&) = delete;
    loop_volume_s& operator=(const loop_volume_s&) = delete;
};
