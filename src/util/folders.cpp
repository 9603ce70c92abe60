#include "util/folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>

#include "util/log.h"

namespace {

// Whether a directory entry is a regular file (or a link to one). d_type saves a stat call on
// file systems that fill it in; the others report DT_UNKNOWN.
bool is_regular_file(DIR* dir, const dirent* entry) {
    if (entry->d_type == DT_REG) {
        return true;
    }
    if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) {
        return false;
    }
    struct stat info {};
    if (fstatat(dirfd(dir), entry->d_name, &info, 0) != 0) {
        return false;
    }
    return S_ISREG(info.st_mode);
}

} // namespace

void enumerate_folder(const std::string& folder, const folder_visitor_fn& visitor) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        log_message("Failed to enumerate folder: %s\n", folder.c_str());
        return;
    }
    while (const dirent* entry = readdir(dir)) {
        if (is_regular_file(dir, entry) && !visitor(entry->d_name)) {
            break;
        }
    }
    closedir(dir);
}

std::vector<folder_entry_s> list_folder(const std::string& folder) {
    std::vector<folder_entry_s> entries;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        log_message("Failed to enumerate folder: %s\n", folder.c_str());
        return entries;
    }
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_type != DT_REG && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN) {
            continue;
        }
        struct stat named {
        }, file{};
        if (fstatat(dirfd(dir), entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        bool symlink = S_ISLNK(named.st_mode);
        if (symlink && fstatat(dirfd(dir), entry->d_name, &file, 0) != 0) {
            continue; // a link to nothing
        }
        const struct stat& target = symlink ? file : named;
        if (!S_ISREG(target.st_mode)) {
            continue;
        }
        folder_entry_s found;
        found.name = entry->d_name;
        found.device = static_cast<std::uint64_t>(target.st_dev);
        found.inode = static_cast<std::uint64_t>(target.st_ino);
        found.links = static_cast<std::uint64_t>(target.st_nlink);
        found.bytes = static_cast<std::uint64_t>(target.st_size);
        found.symlink = symlink;
        entries.push_back(std::move(found));
    }
    closedir(dir);
    return entries;
}

bool identify_path(const std::string& path, std::uint64_t* device, std::uint64_t* inode) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return false;
    }
    *device = static_cast<std::uint64_t>(status.st_dev);
    *inode = static_cast<std::uint64_t>(status.st_ino);
    return true;
}

bool free_space_bytes(const std::string& path, std::uint64_t* bytes, int* error) {
    struct statvfs volume {};
    if (statvfs(path.c_str(), &volume) != 0) {
        *error = errno;
        *bytes = 0;
        return false;
    }
    *bytes = static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
    return true;
}
