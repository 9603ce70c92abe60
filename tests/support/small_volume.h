// A size-limited tmpfs mounted for one test and unmounted after it; mounting needs root.
#pragma once

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

struct small_volume_s {
    std::string path;
    bool mounted = false;

    small_volume_s(const std::string& at, const char* size) : path(at) {
        if (mkdir(path.c_str(), 0755) == 0) {
            std::string options = std::string("size=") + size;
            mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
        }
    }
    ~small_volume_s() {
        if (mounted) {
            umount2(path.c_str(), MNT_DETACH);
        }
        rmdir(path.c_str());
    }
    small_volume_s(const small_volume_s&) = delete;
    small_volume_s& operator=(const small_volume_s&) = delete;
};
