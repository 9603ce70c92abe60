// A second pair of hands for a thread that moves data.
//
// One persistent thread that runs one task at a time: the owner starts a task,
// goes on with its own work and waits for the task when it needs the result.
// Handing a task over costs a wake-up, not a thread start, so it can be done
// thousands of times a second. A helper belongs to one owner thread and lives
// as long as a conversion run; stop_helper ends it.
//
// Limits: one task at a time; a task must not start another on its own helper.
// When no thread can be started, tasks run on the owner's thread at once.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

struct helper_thread_s {
    // Threading: every field below `thread` is guarded by `lock`.
    std::thread thread;
    std::mutex lock;
    std::condition_variable wake;     // the helper waits here for a task or for closing
    std::condition_variable finished; // the owner waits here for the task to end
    std::function<void()> task;       // handed over, not yet taken
    bool busy = false;                // a task was handed over and has not ended
    bool closing = false;
    bool inline_only = false; // no thread could be started
};

// Runs task on the helper, starting the thread on first use; waits first for a task still
// running. Owner thread only.
void start_on_helper(helper_thread_s& helper, std::function<void()> task);

// Returns once the last task started has ended. Owner thread only.
void wait_for_helper(helper_thread_s& helper);

// Ends the helper's thread after its last task; harmless when it never started.
void stop_helper(helper_thread_s& helper);
