// Target file creation, its out-of-space question, durability and the final rename.
#include "util/target_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "util/log.h"
#include "util/size_text.h"

namespace {

constexpr int main_window = 0;

// Threading: set once by the first successful enable_volume_privilege, on whichever thread;
// read by every later call without a lock.
std::atomic<bool> volume_privilege{false};

enum class sizing { reserved, extended_only, failed };

// Exactly `size` bytes long and, where the file system can, every block reserved.
sizing set_target_size(int fd, std::uint64_t size, int* error) {
    int result;
    do {
        result = ftruncate(fd, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        *error = errno;
        return sizing::failed;
    }
    do {
        result = fallocate(fd, 0, 0, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        return sizing::reserved;
    }
    *error = errno;
    return errno == EOPNOTSUPP || errno == ENOSYS ? sizing::extended_only : sizing::failed;
}

std::string folder_of(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        return path;
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::uint64_t free_bytes(const std::string& folder) {
    struct statvfs volume {};
    if (statvfs(folder.c_str(), &volume) != 0) {
        log_message("Received error %d attempting to get disk free space for path %s\n", errno,
                    folder.c_str());
        return 0;
    }
    return static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
}

// Without reserved blocks the file takes its space as it is written: it fits when the volume
// has room for the part it does not hold yet.
bool fits_unreserved(int fd, std::uint64_t size, std::uint64_t available) {
    struct stat status {};
    std::uint64_t held =
        fstat(fd, &status) == 0 ? static_cast<std::uint64_t>(status.st_blocks) * 512 : 0;
    return size <= held || size - held <= available;
}

bool ask_to_make_room(const std::string& path, std::uint64_t size, std::uint64_t available) {
    const char* missing = "Some";
    if (size > available) {
        missing = size_text(size - available, false);
    }
    const char* free_text = size_text(available, false);
    const char* requested = size_text(size, false);
    return ask_yes_no(main_window, "Out of space",
                      "Not enough free space. Attempting to set file size to: %s\nThere appears "
                      "to be only %s free on the drive for %s. %s more is needed.\nThis can "
                      "happen if files have been written to the drive since it was chosen, by "
                      "another program or a swap file on it.\nWould you like to retry (free up "
                      "some space first if you can)?",
                      requested, free_text, path.c_str(), missing);
}

enum class claim { taken, in_use, failed };

// Opens or creates the file at path and locks it for this run. The lock must be on the file that
// still has the name: a run that gives up on a target deletes it, and a file opened just before
// that deletion would otherwise be locked and written under no name at all.
claim open_and_lock(const std::string& path, file_handle_s* target, int* error) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        if ((*error = open_file_handle(path, O_RDWR | O_CREAT, 0644, target)) != 0) {
            return claim::failed;
        }
        int result;
        do {
            result = flock(target->fd, LOCK_EX | LOCK_NB);
        } while (result != 0 && errno == EINTR);
        if (result != 0 && errno == EWOULDBLOCK) {
            close_file_handle(*target);
            return claim::in_use;
        }
        // A file system without locks (ENOLCK, EOPNOTSUPP) cannot share a target safely either
        // way; the conversion goes on as it would without the lock.
        struct stat opened {
        }, named{};
        if (fstat(target->fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
            opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
            return claim::taken;
        }
        close_file_handle(*target);
    }
    *error = EBUSY;
    return claim::failed;
}

} // namespace

file_handle_s create_target_file(const std::string& path, std::uint64_t size,
                                 target_failure* failure) {
    target_failure ignored;
    target_failure& why = failure != nullptr ? *failure : ignored;
    why = target_failure::none;
    file_handle_s target;
    int error = 0;
    switch (open_and_lock(path, &target, &error)) {
    case claim::taken:
        break;
    case claim::in_use:
        log_message("%s is being written by another run; leaving it alone\n", path.c_str());
        why = target_failure::in_use;
        return {};
    case claim::failed:
        log_message("Could not create file: %s Error code %d\n", path.c_str(), error);
        why = target_failure::not_created;
        return {};
    }
    std::string folder = folder_of(path);
    for (;;) {
        error = 0;
        sizing result = set_target_size(target.fd, size, &error);
        if (result == sizing::reserved) {
            break;
        }
        if (result == sizing::failed) {
            log_message("Could not set the size of %s to %llu bytes, error %d\n", path.c_str(),
                        static_cast<unsigned long long>(size), error);
        }
        std::uint64_t available = free_bytes(folder);
        if (result == sizing::extended_only && fits_unreserved(target.fd, size, available)) {
            // The file system fills every gap with zeroes before the data reaches it.
            show_message(main_window, "Warning",
                         "Could not extend file size efficiently. Writing will take twice as "
                         "long.");
            break;
        }
        if (!ask_to_make_room(path, size, available)) {
            // Removed while still locked, so no other run can have taken it in between.
            unlink(path.c_str()); // a file that cannot be removed is only left behind
            close_file_handle(target);
            why = target_failure::no_room;
            return {};
        }
    }
    return target;
}

bool enable_volume_privilege() {
    if (volume_privilege.load()) {
        return true;
    }
    // No privilege is involved on Linux: the only question is whether the kernel has
    // fallocate at all, which a call on no file answers without touching anything.
    if (fallocate(-1, 0, 0, 1) != 0 && errno == ENOSYS) {
        return false;
    }
    volume_privilege.store(true);
    return true;
}

bool flush_target(const file_handle_s& target, int* error) {
    int result;
    do {
        result = fdatasync(target.fd);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        *error = errno;
        return false;
    }
    return true;
}

bool rename_without_replacing(const std::string& from, const std::string& to, int* error) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        *error = errno;
        return false;
    }
    // The file system refuses the flag: a hard link cannot replace a name either.
    if (link(from.c_str(), to.c_str()) == 0) {
        if (unlink(from.c_str()) != 0) {
            log_message("Could not remove the name %s after linking it, error %d\n", from.c_str(),
                        errno);
        }
        return true;
    }
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK) {
        *error = errno;
        return false;
    }
    // No hard links either: make sure the name is free right before the plain rename.
    struct stat existing {};
    if (lstat(to.c_str(), &existing) == 0) {
        *error = EEXIST;
        return false;
    }
    if (errno != ENOENT) {
        *error = errno;
        return false;
    }
    if (rename(from.c_str(), to.c_str()) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

bool sync_folder_of(const std::string& path, int* error) {
    std::string::size_type slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : path.substr(0, slash);
    int fd;
    do {
        fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    int result;
    do {
        result = fsync(fd);
    } while (result != 0 && errno == EINTR);
    // EINVAL: a file system that has nothing to sync for a folder.
    bool synced = result == 0 || errno == EINVAL;
    if (!synced) {
        *error = errno;
    }
    close(fd);
    return synced;
}
