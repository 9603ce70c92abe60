// The interface-task queue: closures posted from any thread, run in posting
// order on the interface thread.
//
// post_to_ui appends a closure under a lock and wakes the interface thread
// through the wake-up that the host installs (the window's main loop, the
// terminal's own loop, a test double). run_ui_tasks, on the interface thread,
// takes every queued closure and runs it. The closures run after the lock is
// released, so a closure may post again; what it posts runs at the next pump.
//
// The host's quit request lives here too: the engine ends the program through
// the interface thread without knowing which host it runs under.
#pragma once

#include <functional>
#include <thread>

// The number of the interface-task message, for hosts with numbered thread messages.
inline constexpr unsigned ui_task_message = 2361;

// Wakes the interface thread so that it runs run_ui_tasks soon; false when the wake-up failed.
using ui_wake_fn = std::function<bool()>;

// Installs the wake-up. Threading: before any other thread can post.
void set_ui_wake_handler(ui_wake_fn wake);

// Queues a closure for the interface thread and wakes it; a failed wake-up is logged
// ("Assertion failure sys : 828") and the closure runs at the next pump. Any thread.
void post_to_ui(std::function<void()> closure);

// Runs every queued closure in posting order; records the interface thread on its first call.
// Interface thread only.
void run_ui_tasks();

// The interface thread as recorded by the first pump; a default id until then.
std::thread::id ui_thread();

// Ends the program's loop with an exit status (the host installs how). Interface thread only;
// other threads post a closure that calls it.
void request_quit(int status);

// Installs what request_quit does. Threading: at start-up, before other threads exist.
void set_quit_handler(std::function<void(int)> quit);
