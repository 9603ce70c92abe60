// A private X server for the real-window tests, and the few things the tests
// do on it: start the program under test, read its output, find, measure and
// close its windows, click and type as a person would (xdotool), and take
// screenshots (ImageMagick's import).
//
// Limits: one Xvfb per session (1024 x 768 x 24 unless asked for another
// size), no window manager, so windows sit where the program puts them and
// keyboard input goes where the test sets the focus. Needs Xvfb, xdotool and
// import on the PATH; a session that cannot start says why and the test skips.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct x_session_s {
    pid_t server = -1;
    std::string display; // ":N"
};

inline constexpr int x_screen_width = 1024;
inline constexpr int x_screen_height = 768;

// Starts Xvfb on a free display with a screen of width x height pixels; on failure the display
// is empty and `why_not` says why.
x_session_s start_x_session(std::string& why_not, int width = x_screen_width,
                            int height = x_screen_height);

// Ends the server.
void stop_x_session(x_session_s& session);

// A program started by the test, its standard output read line by line.
struct child_program_s {
    pid_t pid = -1;
    int output = -1;
    std::string pending; // read but not yet returned
};

// Starts argv[0] with DISPLAY set to the session's and the given "NAME=value" settings, in
// `folder`, standard error inherited.
child_program_s start_program(const x_session_s& session, const std::vector<std::string>& argv,
                              const std::string& folder,
                              const std::vector<std::string>& environment = {});

// The next line the program printed, without its "\n"; nothing after `seconds` or at its end.
std::optional<std::string> read_line(child_program_s& program, double seconds);

// Waits for the first line equal to `line` (or starting with it when `prefix`), skipping
// others; the line, or nothing after `seconds`.
std::optional<std::string> wait_for_line(child_program_s& program, const std::string& line,
                                         double seconds, bool prefix = false);

// The program's exit status after it ended on its own, or -1 when it was still running after
// `seconds` (it is then killed) or ended by a signal.
int wait_for_exit(child_program_s& program, double seconds);

// Runs a shell command with the session's DISPLAY; its exit status and standard output.
struct command_result_s {
    int status = -1;
    std::string output;
};
command_result_s run_in_session(const x_session_s& session, const std::string& command);

// The X window id of a visible window whose title is exactly `title`, 0 after `seconds`.
unsigned long find_window(const x_session_s& session, const std::string& title, double seconds);

// A window's inside (without any frame) in screen coordinates.
struct window_box_s {
    int x = 0, y = 0, width = 0, height = 0;
};
std::optional<window_box_s> window_box(const x_session_s& session, unsigned long window);

// The minimum and maximum size the window asks the window manager for: equal sizes mean the
// window cannot be resized or maximized.
struct size_hints_s {
    int min_width = 0, min_height = 0, max_width = 0, max_height = 0;
};
std::optional<size_hints_s> size_hints(const x_session_s& session, unsigned long window);

// The window a dialog is transient for (its owner), 0 when none.
unsigned long transient_for(const x_session_s& session, unsigned long window);

// Asks the window to close, as a window manager's close button does (WM_DELETE_WINDOW).
bool close_window(const x_session_s& session, unsigned long window);

// Presses the left button at screen (x, y), moves to (to_x, to_y) and releases it there.
bool drag(const x_session_s& session, int x, int y, int to_x, int to_y);

// Moves the pointer to screen (x, y) and clicks the left button there.
bool click_at(const x_session_s& session, int x, int y);

// Moves the pointer to screen (x, y) without clicking.
bool move_pointer(const x_session_s& session, int x, int y);

// Gives the keyboard focus to the window, or to no window at all when it is 0 (the user is in
// another program); waits until the server has done it.
bool set_focus(const x_session_s& session, unsigned long window);

// Gives the window the keyboard focus and sends it the xdotool key names (e.g. "Return",
// "alt+n", "ctrl+l").
bool press_keys(const x_session_s& session, unsigned long window, const std::string& keys);

// Gives the window the keyboard focus and types the text.
bool type_text(const x_session_s& session, unsigned long window, const std::string& text);

// A screenshot of the whole screen, saved as PNG at `path` and loaded for pixel checks.
struct screenshot_s {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels; // 0xffRRGGBB, row by row
    std::uint32_t at(int x, int y) const { return pixels[y * width + x]; }
};
std::optional<screenshot_s> take_screenshot(const x_session_s& session, const std::string& path);
