#include "util/memory_status.h"

#include <sys/sysinfo.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

namespace {

constexpr std::uint64_t no_limit = std::numeric_limits<std::uint64_t>::max();

// A cgroup folder of this process: where its limit files are, which version.
struct group_folder_s {
    std::string mount_point; // the hierarchy's mount, as seen below the root
    std::string path;        // the group below the mount point ("" for the mount itself)
    bool v2 = false;
};

bool read_number_file(const std::string& path, std::uint64_t* value) {
    std::ifstream file(path);
    std::string text;
    if (!(file >> text)) {
        return false;
    }
    if (text == "max") {
        *value = no_limit;
        return true;
    }
    char* end = nullptr;
    unsigned long long number = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str()) {
        return false;
    }
    *value = number;
    return true;
}

// The memory hierarchies of /proc/self/cgroup: the v2 line "0::/path" and a v1 line whose
// controller list holds "memory".
void groups_of_process(const std::string& root, std::string* v2_path, std::string* v1_path) {
    std::ifstream file(root + "/proc/self/cgroup");
    std::string line;
    while (std::getline(file, line)) {
        std::size_t first = line.find(':');
        std::size_t second = first == line.npos ? line.npos : line.find(':', first + 1);
        if (second == line.npos) {
            continue;
        }
        std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            *v2_path = path;
            continue;
        }
        std::stringstream list(controllers);
        std::string controller;
        while (std::getline(list, controller, ',')) {
            if (controller == "memory") {
                *v1_path = path;
            }
        }
    }
}

// The group's folder below a mount whose root is `mount_root`: a container sees its own group
// as the root of the mount, so the part of the path the mount already covers is dropped.
std::string below_mount(const std::string& group, const std::string& mount_root) {
    if (mount_root == "/" || mount_root.empty()) {
        return group == "/" ? "" : group;
    }
    if (group.compare(0, mount_root.size(), mount_root) == 0) {
        return group.substr(mount_root.size());
    }
    return "";
}

// Finds the mounts of both hierarchies in /proc/self/mountinfo: "id parent dev root mount_point
// options [optional fields] - type source super_options".
std::vector<group_folder_s> group_folders(const std::string& root) {
    std::string v2_path, v1_path;
    groups_of_process(root, &v2_path, &v1_path);
    std::vector<group_folder_s> folders;
    std::ifstream file(root + "/proc/self/mountinfo");
    std::string line;
    while (std::getline(file, line)) {
        std::size_t dash = line.find(" - ");
        if (dash == line.npos) {
            continue;
        }
        std::stringstream head(line.substr(0, dash));
        std::stringstream tail(line.substr(dash + 3));
        std::string id, parent, device, mount_root, mount_point, type, source, options;
        head >> id >> parent >> device >> mount_root >> mount_point;
        tail >> type >> source >> options;
        if (type == "cgroup2" && !v2_path.empty()) {
            folders.push_back({root + mount_point, below_mount(v2_path, mount_root), true});
        } else if (type == "cgroup" && !v1_path.empty() &&
                   ("," + options + ",").find(",memory,") != std::string::npos) {
            folders.push_back({root + mount_point, below_mount(v1_path, mount_root), false});
        }
    }
    return folders;
}

// Narrows *status by the limits of the group and of every group above it.
void apply_group_limits(const group_folder_s& group, memory_status_s* status) {
    std::string path = group.path;
    for (;;) {
        std::string folder = group.mount_point + path;
        std::uint64_t limit = no_limit, usage = 0;
        bool limited = group.v2 ? read_number_file(folder + "/memory.max", &limit)
                                : read_number_file(folder + "/memory.limit_in_bytes", &limit);
        // cgroup v1 writes "no limit" as the largest page-aligned signed value.
        if (limited && limit < (std::uint64_t{1} << 62)) {
            read_number_file(folder + (group.v2 ? "/memory.current" : "/memory.usage_in_bytes"),
                             &usage);
            status->total_bytes = std::min(status->total_bytes, limit);
            status->available_bytes =
                std::min(status->available_bytes, limit > usage ? limit - usage : 0);
        }
        if (path.empty() || path == "/") {
            return;
        }
        std::size_t slash = path.rfind('/');
        path = slash == std::string::npos ? "" : path.substr(0, slash);
    }
}

} // namespace

memory_status_s read_memory_status_under(const std::string& root) {
    memory_status_s status;
    if (std::FILE* meminfo = std::fopen((root + "/proc/meminfo").c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, meminfo) != nullptr) {
            unsigned long long kib = 0;
            if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
                status.available_bytes = kib * 1024;
            } else if (std::sscanf(line, "MemTotal: %llu kB", &kib) == 1) {
                status.total_bytes = kib * 1024;
            }
        }
        std::fclose(meminfo);
    }
    if (root.empty() && (status.available_bytes == 0 || status.total_bytes == 0)) {
        struct sysinfo info {};
        if (sysinfo(&info) == 0) {
            status.available_bytes = static_cast<std::uint64_t>(info.freeram) * info.mem_unit;
            status.total_bytes = static_cast<std::uint64_t>(info.totalram) * info.mem_unit;
        }
    }
    for (const auto& group : group_folders(root)) {
        apply_group_limits(group, &status);
    }
    return status;
}

memory_status_s read_memory_status() {
    return read_memory_status_under("");
}
