#include "util/drive_identity.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace {

std::string device_text(unsigned dev_major, unsigned dev_minor) {
    return std::to_string(dev_major) + ":" + std::to_string(dev_minor);
}

std::string read_line_of(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The sysfs folder of a block device, links resolved ("/sys/devices/.../block/sda/sda1").
std::string sysfs_folder(const std::string& device) {
    char resolved[PATH_MAX];
    std::string link = "/sys/dev/block/" + device;
    return realpath(link.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// The whole disks under one block device: a partition's parent disk, the disks under a stacked
// device (its "slaves"), the device itself otherwise.
void whole_disks(const std::string& folder, std::set<std::string>* disks,
                 std::set<std::string>* names, bool* rotational, int depth) {
    if (folder.empty() || depth > 8) {
        return;
    }
    std::string device_folder = folder;
    if (access((folder + "/partition").c_str(), F_OK) == 0) {
        device_folder = folder.substr(0, folder.rfind('/'));
    }
    std::vector<std::string> slaves;
    if (DIR* dir = opendir((device_folder + "/slaves").c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                slaves.push_back(device_folder + "/slaves/" + entry->d_name);
            }
        }
        closedir(dir);
    }
    if (!slaves.empty()) {
        for (const std::string& slave : slaves) {
            char resolved[PATH_MAX];
            if (realpath(slave.c_str(), resolved) != nullptr) {
                whole_disks(resolved, disks, names, rotational, depth + 1);
            }
        }
        return;
    }
    std::string dev = read_line_of(device_folder + "/dev");
    disks->insert("block:" + (dev.empty() ? device_folder : dev));
    *rotational = *rotational || read_line_of(device_folder + "/queue/rotational") == "1";
    names->insert(device_folder.substr(device_folder.rfind('/') + 1));
}

// The mount of the folder's file system: its source and type, from /proc/self/mountinfo.
bool mount_of(dev_t device, std::string* source, std::string* type) {
    std::ifstream file("/proc/self/mountinfo");
    std::string line, wanted = device_text(major(device), minor(device));
    while (std::getline(file, line)) {
        std::size_t dash = line.find(" - ");
        if (dash == std::string::npos) {
            continue;
        }
        std::stringstream head(line.substr(0, dash)), tail(line.substr(dash + 3));
        std::string id, parent, numbers;
        head >> id >> parent >> numbers;
        if (numbers == wanted) {
            tail >> *type >> *source;
            return true;
        }
    }
    return false;
}

} // namespace

drive_identity_s drive_of_folder(const std::string& folder) {
    drive_identity_s drive;
    struct stat status {};
    if (stat(folder.c_str(), &status) != 0) {
        drive.disks.push_back("folder:" + folder);
        drive.name = folder;
        return drive;
    }
    std::set<std::string> disks, names;
    if (major(status.st_dev) != 0) {
        whole_disks(sysfs_folder(device_text(major(status.st_dev), minor(status.st_dev))), &disks,
                    &names, &drive.rotational, 0);
    } else {
        // No block device of its own (tmpfs, FUSE, NFS, or btrfs, which names its volumes with
        // anonymous numbers): the mount's source tells whether a disk lies under it.
        std::string source, type;
        struct stat source_status {};
        if (mount_of(status.st_dev, &source, &type) && stat(source.c_str(), &source_status) == 0 &&
            S_ISBLK(source_status.st_mode)) {
            whole_disks(sysfs_folder(device_text(major(source_status.st_rdev),
                                                 minor(source_status.st_rdev))),
                        &disks, &names, &drive.rotational, 0);
        }
        if (disks.empty()) {
            disks.insert("fs:" + device_text(major(status.st_dev), minor(status.st_dev)));
            names.insert(type.empty() ? std::string("drive") : type);
        }
    }
    if (disks.empty()) {
        disks.insert("fs:" + device_text(major(status.st_dev), minor(status.st_dev)));
        names.insert("drive");
    }
    drive.disks.assign(disks.begin(), disks.end());
    for (const std::string& name : names) {
        drive.name += (drive.name.empty() ? "" : "+") + name;
    }
    return drive;
}
