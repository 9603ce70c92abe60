#include "util/transfer_threads.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "util/transfer_rules.h"

namespace {

constexpr unsigned most_threads = 8;

// Threading: every field but `threads` under `lock`; `threads` is the owner's.
struct pool_state_s {
    std::mutex lock;
    std::condition_variable work_arrived; // the I/O threads wait here
    std::condition_variable work_done;    // the owner waits here
    std::deque<io_request_s> waiting;
    std::deque<io_completion_s> finished;
    unsigned idle = 0;          // I/O threads waiting for work
    bool owner_waiting = false; // spares a wake-up per completion nobody waits for
    bool closing = false;       // the threads end once `waiting` is empty
    std::vector<std::thread> threads;
    ~pool_state_s();
};

pool_state_s& pool_of(transfer_backend_s& backend) {
    return *static_cast<pool_state_s*>(backend.state.get());
}

void serve(pool_state_s& pool) {
    std::unique_lock<std::mutex> hold(pool.lock);
    for (;;) {
        if (pool.waiting.empty()) {
            if (pool.closing) {
                return;
            }
            ++pool.idle;
            pool.work_arrived.wait(hold);
            --pool.idle;
            continue;
        }
        io_request_s request = pool.waiting.front();
        pool.waiting.pop_front();
        hold.unlock();
        io_completion_s done = run_transfer(request);
        hold.lock();
        pool.finished.push_back(done);
        if (pool.owner_waiting) {
            pool.work_done.notify_one();
        }
    }
}

bool open_pool(pool_state_s& pool, unsigned depth, std::string* why) {
    unsigned count = std::min(depth, most_threads);
    // The I/O threads take no signals: they belong to the threads the program set up for them.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    for (unsigned i = 0; i < count; ++i) {
        try {
            pool.threads.emplace_back(serve, std::ref(pool));
        } catch (const std::system_error&) {
            break; // fewer threads still do every transfer
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pool.threads.empty()) {
        *why = "no I/O thread could be started";
        return false;
    }
    return true;
}

// Lets every waiting transfer finish, then ends the threads.
void close_pool(pool_state_s& pool) {
    {
        std::lock_guard<std::mutex> hold(pool.lock);
        pool.closing = true;
        pool.work_arrived.notify_all();
    }
    for (std::thread& thread : pool.threads) {
        thread.join();
    }
    pool.threads.clear();
}

pool_state_s::~pool_state_s() {
    close_pool(*this);
}

} // namespace

transfer_backend_s thread_transfers() {
    transfer_backend_s backend;
    backend.name = "I/O threads";
    backend.ops.open = [](transfer_backend_s& self, unsigned depth, std::string* why) {
        auto pool = std::make_shared<pool_state_s>();
        if (!open_pool(*pool, depth, why)) {
            return false;
        }
        self.state = pool;
        return true;
    };
    backend.ops.submit = [](transfer_backend_s& self, const io_request_s& request) {
        pool_state_s& pool = pool_of(self);
        std::lock_guard<std::mutex> hold(pool.lock);
        pool.waiting.push_back(request);
        if (pool.idle > 0) {
            pool.work_arrived.notify_one();
        }
    };
    backend.ops.wait = [](transfer_backend_s& self, io_completion_s* completion, bool block) {
        pool_state_s& pool = pool_of(self);
        std::unique_lock<std::mutex> hold(pool.lock);
        if (pool.finished.empty()) {
            if (!block) {
                return false;
            }
            pool.owner_waiting = true;
            pool.work_done.wait(hold, [&] { return !pool.finished.empty(); });
            pool.owner_waiting = false;
        }
        *completion = pool.finished.front();
        pool.finished.pop_front();
        return true;
    };
    backend.ops.flush = flush_real_file;
    backend.ops.close = [](transfer_backend_s& self) { self.state.reset(); };
    return backend;
}
