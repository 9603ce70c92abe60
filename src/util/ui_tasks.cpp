#include "util/ui_tasks.h"

#include <mutex>
#include <vector>

#include "util/log.h"

namespace {

std::mutex ui_tasks_lock;
std::vector<std::function<void()>> ui_tasks; // guarded by ui_tasks_lock
std::atomic<std::thread::id> ui_thread_id{}; // written once by the first pump
ui_wake_fn wake_handler;                     // installed before other threads exist
std::function<void(int)> quit_handler;       // installed before other threads exist

} // namespace

void set_ui_wake_handler(ui_wake_fn wake) {
    wake_handler = std::move(wake);
}

void post_to_ui(std::function<void()> closure) {
    {
        std::lock_guard lock(ui_tasks_lock);
        ui_tasks.push_back(std::move(closure));
    }
    bool woken = wake_handler && wake_handler();
    verify(woken, "sys", 828);
}

void run_ui_tasks() {
    if (ui_thread_id.load() == std::thread::id{}) {
        ui_thread_id.store(std::this_thread::get_id());
    }
    std::vector<std::function<void()>> due;
    {
        std::lock_guard lock(ui_tasks_lock);
        due.swap(ui_tasks);
    }
    for (auto& closure : due) {
        closure();
    }
}

std::thread::id ui_thread() {
    return ui_thread_id.load();
}

void request_quit(int status) {
    if (quit_handler) {
        quit_handler(status);
    }
}

void set_quit_handler(std::function<void(int)> quit) {
    quit_handler = std::move(quit);
}
