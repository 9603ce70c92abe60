#include "support/fault_volume.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#ifndef FAULT_FS_SCRIPT
#error "FAULT_FS_SCRIPT must name tests/support/fault_fs.py"
#endif

extern char** environ;

namespace {

// Debian's interpreter: python3-fusepy installs its module for it alone, whatever python3 comes
// first on the PATH.
constexpr const char* python = "/usr/bin/python3";
constexpr const char* control_name = "/.fault_control";
constexpr double mount_patience = 15; // seconds for the server to mount, and to end

// Starts argv (looked up on the PATH) with no input or output and standard error to
// `error_fd` (-1: nowhere); the child's id, or -1.
pid_t spawn(const std::vector<std::string>& argv, int error_fd) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return -1;
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (error_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, error_fd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    int result = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return result == 0 ? pid : -1;
}

// The child's wait status once it has ended within `seconds`; -1 while it still runs.
int wait_for(pid_t pid, double seconds) {
    auto start = std::chrono::steady_clock::now();
    while (true) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            return done == pid ? status : 0;
        }
        if (std::chrono::steady_clock::now() - start > std::chrono::duration<double>(seconds)) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Runs a command to its end; true when it exited with 0.
bool run(const std::vector<std::string>& argv) {
    pid_t pid = spawn(argv, -1);
    if (pid < 0) {
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Unmounts through fusermount, or directly as root; `lazy` detaches a mount still in use.
bool unmount(const std::string& path, bool lazy) {
    std::vector<std::string> argv = {"fusermount", "-u", "-q"};
    if (lazy) {
        argv.push_back("-z");
    }
    argv.push_back(path);
    return run(argv) || umount2(path.c_str(), lazy ? MNT_DETACH : 0) == 0;
}

// A file's whole text from its start, trailing blanks trimmed.
std::string whole_text(int log) {
    std::string text;
    char buffer[4096];
    off_t offset = 0;
    while (true) {
        ssize_t got = pread(log, buffer, sizeof buffer, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        offset += got;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

} // namespace

fault_volume_s::fault_volume_s(const std::string& backing, const std::string& at,
                               const std::vector<std::string>& options)
    : mount_point(at) {
    if (access("/dev/fuse", F_OK) != 0) {
        why_not = "no /dev/fuse: this kernel or container offers no FUSE";
        return;
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        why_not = "/dev/fuse cannot be opened by this user";
        return;
    }
    if (access(python, X_OK) != 0) {
        why_not = std::string("no ") + python + " for the fault file system";
        return;
    }
    if (mkdir(mount_point.c_str(), 0755) == 0) {
        made_mount_point = true;
    } else if (errno != EEXIST) {
        why_not = "cannot make the mount point " + mount_point + ": " + std::strerror(errno);
        return;
    }
    server_log = memfd_create("fault_fs", MFD_CLOEXEC);
    std::vector<std::string> argv = {python, FAULT_FS_SCRIPT, backing, mount_point};
    argv.insert(argv.end(), options.begin(), options.end());
    server = spawn(argv, server_log);
    if (server < 0) {
        why_not = "cannot start the fault file system";
        return;
    }
    std::string control = mount_point + control_name;
    auto start = std::chrono::steady_clock::now();
    while (true) {
        struct stat status {};
        if (stat(control.c_str(), &status) == 0) {
            path = mount_point;
            return;
        }
        int ended = wait_for(server, 0);
        bool late = std::chrono::steady_clock::now() - start >
                    std::chrono::duration<double>(mount_patience);
        if (ended != -1 || late) {
            if (ended == -1) {
                kill(server, SIGKILL);
                waitpid(server, nullptr, 0);
            }
            server = -1;
            std::string said = server_log >= 0 ? whole_text(server_log) : "";
            why_not = std::string(geteuid() != 0 ? "not root, and " : "") +
                      "the fault file system did not mount" + (late ? " in time" : "") +
                      (said.empty() ? "" : ": " + said);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

fault_volume_s::~fault_volume_s() {
    if (server > 0) {
        // A mount still in use (a program of the test holds a file open) is detached and its
        // server told to end: the files still open then fail instead of waiting for it.
        if (!unmount(mount_point, false)) {
            unmount(mount_point, true);
            kill(server, SIGTERM);
        }
        if (wait_for(server, mount_patience) == -1) {
            kill(server, SIGKILL);
            waitpid(server, nullptr, 0);
        }
        // A server that died leaves a mount whose every access fails with ENOTCONN.
        struct stat status {};
        if (stat(mount_point.c_str(), &status) != 0 && errno == ENOTCONN) {
            unmount(mount_point, true);
        }
    }
    if (server_log >= 0) {
        close(server_log);
    }
    if (made_mount_point) {
        rmdir(mount_point.c_str());
    }
}

bool set_fault_cues(const fault_volume_s& volume, const std::string& lines) {
    if (volume.path.empty()) {
        return false;
    }
    int fd = open((volume.path + control_name).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ssize_t written = -1;
    do {
        written = write(fd, lines.data(), lines.size());
    } while (written < 0 && errno == EINTR);
    bool closed = close(fd) == 0;
    return closed && written == static_cast<ssize_t>(lines.size());
}

std::optional<std::string> fault_figure(const fault_volume_s& volume, const std::string& name) {
    if (volume.path.empty()) {
        return std::nullopt;
    }
    int fd = open((volume.path + control_name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text = whole_text(fd);
    close(fd);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, name.size() + 1, name + "=") == 0) {
            return line.substr(name.size() + 1);
        }
    }
    return std::nullopt;
}
