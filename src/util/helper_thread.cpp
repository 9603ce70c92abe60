#include "util/helper_thread.h"

#include <system_error>

#include "util/log.h"

namespace {

void helper_loop(helper_thread_s& helper) {
    std::unique_lock hold(helper.lock);
    for (;;) {
        helper.wake.wait(hold, [&helper] { return helper.task || helper.closing; });
        if (!helper.task) {
            return;
        }
        std::function<void()> task = std::move(helper.task);
        helper.task = nullptr;
        hold.unlock();
        task();
        hold.lock();
        helper.busy = false;
        helper.finished.notify_all();
    }
}

} // namespace

void start_on_helper(helper_thread_s& helper, std::function<void()> task) {
    wait_for_helper(helper);
    if (!helper.thread.joinable() && !helper.inline_only) {
        try {
            helper.thread = std::thread(helper_loop, std::ref(helper));
        } catch (const std::system_error& failure) {
            log_message("Could not start a helper thread, error %d; working on one thread\n",
                        failure.code().value());
            helper.inline_only = true;
        }
    }
    if (helper.inline_only) {
        task();
        return;
    }
    {
        std::lock_guard hold(helper.lock);
        helper.task = std::move(task);
        helper.busy = true;
    }
    helper.wake.notify_one();
}

void wait_for_helper(helper_thread_s& helper) {
    std::unique_lock hold(helper.lock);
    helper.finished.wait(hold, [&helper] { return !helper.busy; });
}

void stop_helper(helper_thread_s& helper) {
    if (!helper.thread.joinable()) {
        return;
    }
    {
        std::lock_guard hold(helper.lock);
        helper.closing = true;
    }
    helper.wake.notify_one();
    helper.thread.join();
}
