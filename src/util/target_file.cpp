// Target files: opening and locking, sizing, durability and the final rename.
#include "util/target_file.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>
#include <vector>

#include "util/log.h"

namespace {

// Threading: set once by the first successful enable_volume_privilege, on whichever thread;
// read by every later call without a lock.
std::atomic<bool> volume_privilege{false};

std::string folder_of(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        return path;
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

enum class claim { taken, in_use, not_plain, failed };

// Opens the file at path (creating it, exclusively, when `create` and it is not there) without
// following a symbolic link, and locks it for this run. The lock must be on the file that
// still has the name: a run that gives up on a target deletes it, and a file opened just before
// that deletion would otherwise be locked and written under no name at all. A file that is not
// a plain file of its own (a device, a folder, or data another name shares) is not taken:
// writing into it would change what that other name shows.
claim open_and_lock(const std::string& path, bool create, file_handle_s* target, int* error) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        *error = open_file_handle(path, O_RDWR | O_NOFOLLOW, 0644, target);
        if (*error == ENOENT && create) {
            *error = open_file_handle(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0644, target);
            if (*error == EEXIST) {
                continue; // made by someone else meanwhile: open what is there
            }
        }
        if (*error == ELOOP) {
            return claim::not_plain;
        }
        if (*error != 0) {
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
        if (fstat(target->fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 &&
            opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
            if (!S_ISREG(opened.st_mode) || opened.st_nlink != 1) {
                close_file_handle(*target);
                return claim::not_plain;
            }
            return claim::taken;
        }
        close_file_handle(*target);
    }
    *error = EBUSY;
    return claim::failed;
}

} // namespace

file_handle_s open_target_file(const std::string& path, target_failure* failure, int* error) {
    file_handle_s target;
    *error = 0;
    switch (open_and_lock(path, true, &target, error)) {
    case claim::taken:
        *failure = target_failure::none;
        return target;
    case claim::in_use:
        log_message("%s is being written by another run; leaving it alone\n", path.c_str());
        *failure = target_failure::in_use;
        return {};
    case claim::not_plain:
        log_message("%s is a symbolic link or shares its data with another name; leaving it "
                    "alone\n",
                    path.c_str());
        *failure = target_failure::not_plain;
        return {};
    case claim::failed:
        break;
    }
    log_message("Could not create file: %s Error code %d (%s)\n", path.c_str(), *error,
                error_name(*error));
    *failure = target_failure::not_created;
    return {};
}

file_handle_s open_existing_locked(const std::string& path, target_failure* failure, int* error) {
    file_handle_s file;
    *error = 0;
    switch (open_and_lock(path, false, &file, error)) {
    case claim::taken:
        *failure = target_failure::none;
        return file;
    case claim::in_use:
        *failure = target_failure::in_use;
        return {};
    case claim::not_plain:
        *failure = target_failure::not_plain;
        return {};
    case claim::failed:
        break;
    }
    *failure = target_failure::not_created;
    return {};
}

namespace {

// The ranges of the file that hold no blocks (none where the file system cannot tell).
std::vector<std::pair<off_t, off_t>> holes_of(int fd, off_t size) {
    std::vector<std::pair<off_t, off_t>> holes;
    off_t at = 0;
    while (at < size) {
        off_t hole = lseek(fd, at, SEEK_HOLE);
        if (hole < 0 || hole >= size) {
            break;
        }
        off_t data = lseek(fd, hole, SEEK_DATA);
        off_t end = data < 0 || data > size ? size : data;
        holes.emplace_back(hole, end - hole);
        at = end;
    }
    return holes;
}

} // namespace

target_sizing size_target_file(const file_handle_s& target, std::uint64_t size, int* error) {
    int result;
    do {
        result = ftruncate(target.fd, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        *error = errno;
        return target_sizing::failed;
    }
    // Some file systems (ext4) keep the blocks a reservation took before it ran out of room:
    // they are given back, or the free space the question shows would be that much too low.
    std::vector<std::pair<off_t, off_t>> holes = holes_of(target.fd, static_cast<off_t>(size));
    do {
        result = fallocate(target.fd, 0, 0, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        return target_sizing::reserved;
    }
    *error = errno;
    if (*error == EOPNOTSUPP || *error == ENOSYS) {
        return target_sizing::extended_only;
    }
    for (const auto& [offset, length] : holes) {
        // Only ranges that held nothing before: what an earlier run wrote stays.
        if (fallocate(target.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length) != 0) {
            break; // the file system cannot punch: nothing more to give back
        }
    }
    return target_sizing::failed;
}

std::uint64_t target_free_bytes(const std::string& path) {
    std::string folder = folder_of(path);
    struct statvfs volume {};
    if (statvfs(folder.c_str(), &volume) != 0) {
        log_message("Received error %d attempting to get disk free space for path %s\n", errno,
                    folder.c_str());
        return 0;
    }
    return static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
}

bool fits_unreserved(const file_handle_s& target, std::uint64_t size, std::uint64_t available) {
    struct stat status {};
    std::uint64_t held =
        fstat(target.fd, &status) == 0 ? static_cast<std::uint64_t>(status.st_blocks) * 512 : 0;
    return size <= held || size - held <= available;
}

void discard_target_file(file_handle_s& target, const std::string& path) {
    unlink(path.c_str());
    close_file_handle(target);
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
            // The file has both names: the new one is in place, but the step did not hold.
            *error = errno;
            log_message("Could not remove the name %s after linking it, error %d (%s)\n",
                        from.c_str(), *error, error_name(*error));
            return false;
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
