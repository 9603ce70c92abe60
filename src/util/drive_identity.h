// The physical drives under a folder: the whole disks, not their partitions,
// so that two folders on two partitions of one disk are known to share it.
//
// The folder's file system is found in /proc/self/mountinfo and its source
// device followed through sysfs: a partition to its disk, a device-mapper or
// md device (LVM, RAID, encryption) to the disks under it. A file system with
// no block device (tmpfs, FUSE, NFS) is a drive of its own. A folder that
// cannot be examined is a drive named after itself, so it shares with nothing.
// Whether a disk spins is what its queue says (queue/rotational); a drive that
// is not a block device does not.
#pragma once

#include <string>
#include <vector>

struct drive_identity_s {
    std::vector<std::string> disks; // stable ids of the whole disks ("block:8:0", "fs:0:51")
    std::string name;               // for people: "sdb", "loop3", "tmpfs", "sdb+sdc"
    bool rotational = false;        // one of the disks says it spins
};

// The drives under `folder`.
drive_identity_s drive_of_folder(const std::string& folder);
