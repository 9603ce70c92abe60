#include "util/folders.h"

#include <dirent.h>
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
