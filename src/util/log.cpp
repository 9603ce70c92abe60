// Log file, message boxes and consistency checks.
//
// A message is formatted into a 1,024-byte stack buffer, and only when it does
// not fit into a 16,384-byte heap buffer. The log line (timestamp and message)
// is written and flushed under one mutex, which also makes the first-use
// opening of "log.txt" happen at most once.
#include "util/log.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

namespace {

constexpr int small_message = 1024;
constexpr int large_message = 16384;

std::mutex log_mutex;             // guards log_file and every write to it
std::FILE* log_file = nullptr;    // guarded by log_mutex
message_box_fn box_handler;       // written before other threads exist, then only read
bool log_echo = true;             // written before other threads exist, then only read
bool failed_checks_abort = false; // written before other threads exist, then only read

// A formatted message: in `small` when it fits, else in `large`.
struct formatted_s {
    char small[small_message];
    std::unique_ptr<char[]> large;
    const char* text = small;
    std::size_t length = 0;
};

void format_message(formatted_s& out, const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(out.small, sizeof out.small, format, args);
    if (n >= 0 && n < small_message) {
        out.length = static_cast<std::size_t>(n);
    } else {
        out.large = std::make_unique<char[]>(large_message);
        out.large[0] = '\0';
        std::vsnprintf(out.large.get(), large_message, format, again);
        out.text = out.large.get();
        out.length = std::strlen(out.text);
    }
    va_end(again);
}

void write_log_line(const formatted_s& message) {
    if (log_echo) {
        std::fwrite(message.text, 1, message.length, stderr);
    }

    std::lock_guard lock(log_mutex);
    if (log_file == nullptr) {
        log_file = std::fopen("log.txt", "w");
        if (log_file == nullptr) {
            return;
        }
    }
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::size_t stamp_length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
    std::fwrite(stamp, 1, stamp_length, log_file);
    std::fwrite(message.text, 1, message.length, log_file);
    std::fflush(log_file);
}

bool raise_box(int window, const char* title, const formatted_s& message, message_box_kind kind) {
    if (box_handler) {
        return box_handler(window, title, message.text, kind);
    }
    std::fprintf(stderr, "[%s] %s\n", title, message.text);
    return false;
}

} // namespace

bool open_log_file(const char* path) {
    std::lock_guard lock(log_mutex);
    if (log_file != nullptr) {
        std::fclose(log_file);
    }
    log_file = std::fopen(path, "w");
    return log_file != nullptr;
}

bool log_file_is_open() {
    std::lock_guard lock(log_mutex);
    return log_file != nullptr;
}

void close_log_file() {
    std::lock_guard lock(log_mutex);
    if (log_file != nullptr) {
        std::fclose(log_file);
        log_file = nullptr;
    }
}

void log_message(const char* format, ...) {
    formatted_s message;
    va_list args;
    va_start(args, format);
    format_message(message, format, args);
    va_end(args);
    write_log_line(message);
}

void show_message(int window, const char* title, const char* format, ...) {
    formatted_s message;
    va_list args;
    va_start(args, format);
    format_message(message, format, args);
    va_end(args);
    raise_box(window, title, message, message_box_kind::ok);
}

bool ask_yes_no(int window, const char* title, const char* format, ...) {
    formatted_s message;
    va_list args;
    va_start(args, format);
    format_message(message, format, args);
    va_end(args);
    return raise_box(window, title, message, message_box_kind::yes_no);
}

void verify(bool condition, const char* module, int number) {
    if (!condition) {
        log_message("Assertion failure %s : %d\n", module, number);
    }
}

bool always(bool condition, const char* module, int number) {
    if (!condition) {
        log_message("Assertion failure %s : %d\n", module, number);
        if (failed_checks_abort) {
            std::fprintf(stderr, "Assertion failure %s : %d\n", module, number);
            std::abort();
        }
    }
    return condition;
}

void set_failed_checks_abort(bool abort_on_failure) {
    failed_checks_abort = abort_on_failure;
}

const char* error_name(int error) {
    // strerror may share one buffer between threads; the description table does not.
    const char* name = strerrordesc_np(error);
    return name != nullptr ? name : "unknown error";
}

void set_log_echo(bool on) {
    log_echo = on;
}

void set_message_box_handler(message_box_fn handler) {
    box_handler = std::move(handler);
}
