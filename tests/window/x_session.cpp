#include "x_session.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cairo.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using steady = std::chrono::steady_clock;

double seconds_since(steady::time_point start) {
    return std::chrono::duration<double>(steady::now() - start).count();
}

bool on_path(const char* program) {
    std::string command = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// Xlib on the session's display for one check; closed again at scope end.
struct x_connection_s {
    Display* display = nullptr;
    explicit x_connection_s(const x_session_s& session)
        : display(XOpenDisplay(session.display.c_str())) {}
    ~x_connection_s() {
        if (display != nullptr) {
            XCloseDisplay(display);
        }
    }
};

} // namespace

x_session_s start_x_session(std::string& why_not, int width, int height) {
    x_session_s session;
    for (const char* tool : {"Xvfb", "xdotool", "import"}) {
        if (!on_path(tool)) {
            why_not = std::string(tool) + " is not installed (scripts/install-deps.sh installs it)";
            return session;
        }
    }
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        why_not = "no pipe for Xvfb's display number";
        return session;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        std::string fd = std::to_string(pipe_fds[1]);
        std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDERR_FILENO);
        // -noreset: without a window manager the server is left without clients whenever the
        // program under test has ended, and a server that resets then refuses the next program
        // while it starts over.
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
               "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipe_fds[1]);
    std::string number;
    char c;
    pollfd wait_fd{pipe_fds[0], POLLIN, 0};
    while (poll(&wait_fd, 1, 10000) > 0 && read(pipe_fds[0], &c, 1) == 1 && c != '\n') {
        number += c;
    }
    close(pipe_fds[0]);
    if (number.empty()) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        why_not = "Xvfb did not start";
        return session;
    }
    session.server = pid;
    session.display = ":" + number;
    return session;
}

void stop_x_session(x_session_s& session) {
    if (session.server > 0) {
        kill(session.server, SIGTERM);
        waitpid(session.server, nullptr, 0);
        session.server = -1;
    }
}

child_program_s start_program(const x_session_s& session, const std::vector<std::string>& argv,
                              const std::string& folder,
                              const std::vector<std::string>& environment) {
    child_program_s program;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        return program;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        dup2(pipe_fds[1], STDOUT_FILENO);
        close(pipe_fds[1]);
        if (chdir(folder.c_str()) != 0) {
            _exit(126);
        }
        setenv("DISPLAY", session.display.c_str(), 1);
        for (const std::string& setting : environment) {
            putenv(const_cast<char*>(setting.c_str()));
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    program.pid = pid;
    program.output = pipe_fds[0];
    return program;
}

std::optional<std::string> read_line(child_program_s& program, double seconds) {
    auto start = steady::now();
    while (true) {
        std::size_t end = program.pending.find('\n');
        if (end != std::string::npos) {
            std::string line = program.pending.substr(0, end);
            program.pending.erase(0, end + 1);
            return line;
        }
        double left = seconds - seconds_since(start);
        if (left <= 0 || program.output < 0) {
            return std::nullopt;
        }
        pollfd wait_fd{program.output, POLLIN, 0};
        if (poll(&wait_fd, 1, static_cast<int>(left * 1000) + 1) <= 0) {
            continue;
        }
        char buffer[512];
        ssize_t n = read(program.output, buffer, sizeof buffer);
        if (n <= 0) {
            return std::nullopt;
        }
        program.pending.append(buffer, static_cast<std::size_t>(n));
    }
}

std::optional<std::string> wait_for_line(child_program_s& program, const std::string& line,
                                         double seconds, bool prefix) {
    auto start = steady::now();
    while (true) {
        double left = seconds - seconds_since(start);
        if (left <= 0) {
            return std::nullopt;
        }
        std::optional<std::string> next = read_line(program, left);
        if (!next) {
            return std::nullopt;
        }
        if (*next == line || (prefix && next->rfind(line, 0) == 0)) {
            return next;
        }
    }
}

int wait_for_exit(child_program_s& program, double seconds) {
    auto start = steady::now();
    int status = 0;
    while (waitpid(program.pid, &status, WNOHANG) == 0) {
        if (seconds_since(start) > seconds) {
            kill(program.pid, SIGKILL);
            waitpid(program.pid, nullptr, 0);
            status = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (program.output >= 0) {
        close(program.output);
        program.output = -1;
    }
    program.pid = -1;
    if (status == -1 || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

command_result_s run_in_session(const x_session_s& session, const std::string& command) {
    command_result_s result;
    std::string line = "DISPLAY=" + session.display + " " + command;
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, n);
    }
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    while (!result.output.empty() && result.output.back() == '\n') {
        result.output.pop_back();
    }
    return result;
}

unsigned long find_window(const x_session_s& session, const std::string& title, double seconds) {
    auto start = steady::now();
    // xdotool matches a regular expression: the title's own characters are matched literally.
    std::string pattern = "^";
    for (char c : title) {
        if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr) {
            pattern += '\\';
        }
        pattern += c;
    }
    std::string command = "xdotool search --onlyvisible --name " + quoted(pattern + "$");
    do {
        command_result_s found = run_in_session(session, command);
        if (found.status == 0 && !found.output.empty()) {
            return std::strtoul(found.output.c_str(), nullptr, 10);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (seconds_since(start) < seconds);
    return 0;
}

std::optional<window_box_s> window_box(const x_session_s& session, unsigned long window) {
    x_connection_s x(session);
    XWindowAttributes attributes;
    if (x.display == nullptr || !XGetWindowAttributes(x.display, window, &attributes)) {
        return std::nullopt;
    }
    window_box_s box;
    Window child;
    XTranslateCoordinates(x.display, window, DefaultRootWindow(x.display), 0, 0, &box.x, &box.y,
                          &child);
    box.width = attributes.width;
    box.height = attributes.height;
    return box;
}

std::optional<size_hints_s> size_hints(const x_session_s& session, unsigned long window) {
    x_connection_s x(session);
    XSizeHints hints;
    long supplied = 0;
    if (x.display == nullptr || !XGetWMNormalHints(x.display, window, &hints, &supplied)) {
        return std::nullopt;
    }
    size_hints_s sizes;
    if (hints.flags & PMinSize) {
        sizes.min_width = hints.min_width;
        sizes.min_height = hints.min_height;
    }
    if (hints.flags & PMaxSize) {
        sizes.max_width = hints.max_width;
        sizes.max_height = hints.max_height;
    }
    return sizes;
}

unsigned long transient_for(const x_session_s& session, unsigned long window) {
    x_connection_s x(session);
    Window owner = 0;
    if (x.display == nullptr || !XGetTransientForHint(x.display, window, &owner)) {
        return 0;
    }
    return owner;
}

bool close_window(const x_session_s& session, unsigned long window) {
    x_connection_s x(session);
    if (x.display == nullptr) {
        return false;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(x.display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(x.display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    bool sent = XSendEvent(x.display, window, False, NoEventMask, &event) != 0;
    XFlush(x.display);
    return sent;
}

bool click_at(const x_session_s& session, int x, int y) {
    std::string command =
        "xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1";
    return run_in_session(session, command).status == 0;
}

bool drag(const x_session_s& session, int x, int y, int to_x, int to_y) {
    std::string command = "xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) +
                          " mousedown 1 mousemove " + std::to_string(to_x) + " " +
                          std::to_string(to_y) + " mouseup 1";
    return run_in_session(session, command).status == 0;
}

bool move_pointer(const x_session_s& session, int x, int y) {
    std::string command = "xdotool mousemove " + std::to_string(x) + " " + std::to_string(y);
    return run_in_session(session, command).status == 0;
}

bool set_focus(const x_session_s& session, unsigned long window) {
    x_connection_s x(session);
    if (x.display == nullptr) {
        return false;
    }
    XSetInputFocus(x.display, window != 0 ? window : None, RevertToNone, CurrentTime);
    XSync(x.display, False);
    Window focused = 0;
    int revert = 0;
    XGetInputFocus(x.display, &focused, &revert);
    return window != 0 ? focused == window : focused == None;
}

bool press_keys(const x_session_s& session, unsigned long window, const std::string& keys) {
    std::string command = "xdotool windowfocus --sync " + std::to_string(window) + " key " + keys;
    return run_in_session(session, command).status == 0;
}

bool type_text(const x_session_s& session, unsigned long window, const std::string& text) {
    std::string command =
        "xdotool windowfocus --sync " + std::to_string(window) + " type --delay 30 " + quoted(text);
    return run_in_session(session, command).status == 0;
}

std::optional<screenshot_s> take_screenshot(const x_session_s& session, const std::string& path) {
    if (run_in_session(session, "import -window root " + quoted(path)).status != 0) {
        return std::nullopt;
    }
    cairo_surface_t* image = cairo_image_surface_create_from_png(path.c_str());
    if (cairo_surface_status(image) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(image);
        return std::nullopt;
    }
    cairo_surface_t* rgb =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, cairo_image_surface_get_width(image),
                                   cairo_image_surface_get_height(image));
    cairo_t* cr = cairo_create(rgb);
    cairo_set_source_surface(cr, image, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(rgb);

    screenshot_s shot;
    shot.width = cairo_image_surface_get_width(rgb);
    shot.height = cairo_image_surface_get_height(rgb);
    int stride = cairo_image_surface_get_stride(rgb);
    const unsigned char* data = cairo_image_surface_get_data(rgb);
    shot.pixels.resize(static_cast<std::size_t>(shot.width) * shot.height);
    for (int y = 0; y < shot.height; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(data + y * stride);
        for (int x = 0; x < shot.width; ++x) {
            shot.pixels[static_cast<std::size_t>(y) * shot.width + x] = 0xff000000 | row[x];
        }
    }
    cairo_surface_destroy(rgb);
    cairo_surface_destroy(image);
    return shot;
}
