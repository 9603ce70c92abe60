// The program's three reporting channels and its consistency check.
//
// log_message writes one time-stamped line to the log file ("log_swizzle.txt",
// opened by start-up; "log.txt" when a message arrives before or without it)
// and the same text, without the timestamp, to standard error. Every message
// carries its own "\n". show_message and ask_yes_no raise message boxes through
// a handler that the host installs; with none installed, show_message writes to
// standard error and ask_yes_no answers No. verify only logs: it never stops
// the program. always is the check of the data path: it logs as verify does and
// hands its condition back, so that the caller takes the safe branch (the job
// fails, its sources are kept); in test programs it aborts, so that a test
// cannot pass over a check that failed.
//
// Limits: a message is cut to 16,383 characters. All four may be called from
// any thread at once; each log line is written whole, never interleaved.
#pragma once

#include <cstdio>
#include <functional>

#define SCOOPSHIFT_PRINTF(fmt_index, first_arg)                                                    \
    __attribute__((format(printf, fmt_index, first_arg)))

// Opens the log file at path for writing, truncating it, as start-up does; false when it cannot.
// The file replaces any log already open.
bool open_log_file(const char* path);

// True while a log file is open (start-up checks that none is open yet).
bool log_file_is_open();

// Closes the log file, so that the next message falls back to "log.txt" again. For hosts and
// tests that start over; the running program never closes its log.
void close_log_file();

// Appends "YYYY-MM-DD HH:MM:SS " and the formatted message to the log and flushes it.
void log_message(const char* format, ...) SCOOPSHIFT_PRINTF(1, 2);

// Shows an OK box with the given title, owned by the window record `window` (negative: none).
void show_message(int window, const char* title, const char* format, ...) SCOOPSHIFT_PRINTF(3, 4);

// Shows a Yes/No box; true only when the user chose Yes. A box that cannot be shown is a No.
bool ask_yes_no(int window, const char* title, const char* format, ...) SCOOPSHIFT_PRINTF(3, 4);

// Logs "Assertion failure <module> : <number>\n" when condition is false, and goes on.
void verify(bool condition, const char* module, int number);

// The same line when condition is false, then (test programs only) abort; returns condition, on
// which the caller must act.
[[nodiscard]] bool always(bool condition, const char* module, int number);

// Makes a failed `always` abort the process (test programs install it before their tests run).
// Threading: before any other thread starts.
void set_failed_checks_abort(bool abort_on_failure);

// The system's words for an errno value ("Read-only file system"), for messages that name the
// cause and not only its number. Any thread.
const char* error_name(int error);

enum class message_box_kind { ok, yes_no };

// Shows one box and waits for it: (owner window index, title, text, kind) -> answered Yes.
// For an OK box the result is ignored. Called on whatever thread raised the box.
using message_box_fn = std::function<bool(int, const char*, const char*, message_box_kind)>;

// Whether log lines also go to standard error (on at start). The terminal front end turns it
// off, since there standard error is the user's screen. Threading: at start-up.
void set_log_echo(bool on);

// Installs the host's message boxes; an empty handler restores the standard-error fallback.
// Threading: install before any other thread can raise a box (start-up, or a test's set-up).
void set_message_box_handler(message_box_fn handler);
