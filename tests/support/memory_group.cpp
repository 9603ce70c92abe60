#include "support/memory_group.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

bool write_text(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && written;
}

// The root of a hierarchy that has the memory controller: cgroup v2 where "memory" is among its
// controllers, else the v1 memory mount.
bool find_memory_root(std::string* root, bool* v2) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line, v1_root;
    while (std::getline(mounts, line)) {
        std::size_t dash = line.find(" - ");
        if (dash == std::string::npos) {
            continue;
        }
        std::stringstream head(line.substr(0, dash)), tail(line.substr(dash + 3));
        std::string id, parent, device, mount_root, mount_point, type, source, options;
        head >> id >> parent >> device >> mount_root >> mount_point;
        tail >> type >> source >> options;
        if (type == "cgroup2") {
            std::ifstream controllers(mount_point + "/cgroup.subtree_control");
            std::string word;
            while (controllers >> word) {
                if (word == "memory") {
                    *root = mount_point;
                    *v2 = true;
                    return true;
                }
            }
        } else if (type == "cgroup" &&
                   ("," + options + ",").find(",memory,") != std::string::npos) {
            v1_root = mount_point;
        }
    }
    if (!v1_root.empty()) {
        *root = v1_root;
        *v2 = false;
        return true;
    }
    return false;
}

} // namespace

memory_group_s::memory_group_s(std::uint64_t limit_bytes) {
    if (geteuid() != 0) {
        why_not = "making a control group needs root";
        return;
    }
    std::string root;
    bool v2 = false;
    if (!find_memory_root(&root, &v2)) {
        why_not = "no memory controller is mounted";
        return;
    }
    char name[64];
    std::snprintf(name, sizeof name, "/scoopshift-test-%d", static_cast<int>(getpid()));
    std::string folder = root + name;
    if (mkdir(folder.c_str(), 0755) != 0) {
        why_not = "cannot make a group under " + root;
        return;
    }
    std::string limit = std::to_string(limit_bytes);
    if (!write_text(folder + (v2 ? "/memory.max" : "/memory.limit_in_bytes"), limit)) {
        rmdir(folder.c_str());
        why_not = "the kernel refused the group's memory limit";
        return;
    }
    path = folder;
}

memory_group_s::~memory_group_s() {
    if (!path.empty()) {
        rmdir(path.c_str());
    }
}

bool join_memory_group(const std::string& path) {
    char pid[32];
    int length = std::snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
    return write_text(path + "/cgroup.procs", std::string(pid, static_cast<std::size_t>(length)));
}
