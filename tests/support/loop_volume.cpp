#include "support/loop_volume.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Runs a shell command; its first line of output, and whether it succeeded.
bool run(const std::string& command, std::string* output = nullptr) {
    std::FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        return false;
    }
    char line[256] = "";
    bool got = std::fgets(line, sizeof line, pipe) != nullptr;
    int status = pclose(pipe);
    if (output != nullptr) {
        *output = got ? std::string(line) : std::string();
        while (!output->empty() && (output->back() == '\n' || output->back() == '\r')) {
            output->pop_back();
        }
    }
    return status == 0;
}

} // namespace

loop_volume_s::loop_volume_s(const std::string& backing_folder, const std::string& mount_point,
                             std::uint64_t bytes, unsigned sector_size,
                             const std::string& file_system) {
    if (geteuid() != 0) {
        why_not = "a loop device needs root";
        return;
    }
    backing = backing_folder + "/loop-" + std::to_string(getpid()) + "-" +
              std::to_string(reinterpret_cast<std::uintptr_t>(this) % 100000) + ".img";
    if (!run("truncate -s " + std::to_string(bytes) + " '" + backing + "'")) {
        why_not = "cannot make the backing file " + backing;
        return;
    }
    if (!run("losetup --find --show --sector-size " + std::to_string(sector_size) + " '" + backing +
                 "'",
             &device) ||
        device.empty()) {
        why_not = "losetup cannot attach a loop device with " + std::to_string(sector_size) +
                  "-byte sectors";
        unlink(backing.c_str());
        device.clear();
        return;
    }
    std::string make = file_system == "xfs" ? "mkfs.xfs -q -f '" : "mkfs.ext4 -q -F '";
    if (!run(make + device + "'")) {
        why_not = "mkfs." + file_system + " failed on " + device;
        run("losetup -d " + device);
        unlink(backing.c_str());
        device.clear();
        return;
    }
    mkdir(mount_point.c_str(), 0755);
    if (mount(device.c_str(), mount_point.c_str(), file_system.c_str(), 0, nullptr) != 0) {
        why_not = "cannot mount " + device;
        run("losetup -d " + device);
        unlink(backing.c_str());
        device.clear();
        return;
    }
    path = mount_point;
}

loop_volume_s::~loop_volume_s() {
    if (!path.empty()) {
        umount2(path.c_str(), MNT_DETACH);
        rmdir(path.c_str());
    }
    if (!device.empty()) {
        run("losetup -d " + device);
    }
    if (!backing.empty()) {
        unlink(backing.c_str());
    }
}
