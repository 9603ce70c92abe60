// A FUSE mirror of a folder (tests/support/fault_fs.py) mounted for one test: a drive that is
// slow, fails reads, writes or flushes, flips a bit or loses unflushed data on cue, unmounted and
// its server reaped at scope end.
//
// The cues are fault_fs.py's options, given at mount time ("--read-delay-ms", "5") and changed
// while mounted with set_fault_cues ("read_delay_ms=0"). Mounting needs /dev/fuse, Debian's
// python3 with python3-fusepy, and root (or fusermount's permission); `why_not` says what was
// missing, for GTEST_SKIP.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct fault_volume_s {
    std::string path;              // the mount point while mounted; empty when the mount failed
    std::string why_not;           // empty while mounted
    std::string mount_point;       // as asked for
    bool made_mount_point = false; // this helper made it, and removes it
    pid_t server = -1;             // the file system's process
    int server_log = -1;           // memory file holding the server's standard error

    // Mirrors the folder `backing` at `mount_point` (made when missing, removed at scope end),
    // with fault_fs.py's `options`; waits until the mount answers.
    fault_volume_s(const std::string& backing, const std::string& mount_point,
                   const std::vector<std::string>& options = {});
    ~fault_volume_s();
    fault_volume_s(const fault_volume_s&) = delete;
    fault_volume_s& operator=(const fault_volume_s&) = delete;
};

// Changes cues while mounted: NAME=VALUE lines ("power_cut=1" loses every unflushed change);
// false when the file system refused any of them (then none changed).
bool set_fault_cues(const fault_volume_s& volume, const std::string& lines);

// A figure the control file shows (a counter such as "reads" or "flushes_failed", or a cue's
// name), when it can be read.
std::optional<std::string> fault_figure(const fault_volume_s& volume, const std::string& name);
