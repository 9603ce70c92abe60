#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "util/ui_tasks.h"

namespace {

// The wake-up double counts how often the interface thread was woken.
class ui_tasks_test : public ::testing::Test {
  protected:
    std::atomic<int> wakes{0};
    void SetUp() override {
        set_ui_wake_handler([this] {
            ++wakes;
            return true;
        });
        run_ui_tasks(); // start with an empty queue
    }
    void TearDown() override { set_ui_wake_handler(nullptr); }
};

TEST_F(ui_tasks_test, closures_posted_before_a_pump_run_in_order_at_that_pump) {
    std::vector<int> ran;
    post_to_ui([&] { ran.push_back(1); });
    post_to_ui([&] { ran.push_back(2); });
    EXPECT_EQ(wakes, 2);
    EXPECT_TRUE(ran.empty());
    run_ui_tasks();
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    run_ui_tasks();
    EXPECT_EQ(ran.size(), 2u) << "a pump with an empty queue runs nothing";
    EXPECT_EQ(ui_thread(), std::this_thread::get_id());
}

TEST_F(ui_tasks_test, a_closure_may_post_and_its_closure_runs_at_the_next_pump) {
    std::vector<std::string> ran;
    post_to_ui([&] {
        ran.push_back("outer");
        post_to_ui([&] { ran.push_back("inner"); });
    });
    run_ui_tasks();
    EXPECT_EQ(ran, (std::vector<std::string>{"outer"}));
    run_ui_tasks();
    EXPECT_EQ(ran, (std::vector<std::string>{"outer", "inner"}));
}

TEST_F(ui_tasks_test, closures_from_other_threads_all_arrive_in_each_threads_order) {
    constexpr int threads = 4, per_thread = 500;
    std::vector<std::pair<int, int>> ran;
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t) {
        posters.emplace_back([&ran, t] {
            for (int i = 0; i < per_thread; ++i) {
                post_to_ui([&ran, t, i] { ran.emplace_back(t, i); });
            }
        });
    }
    // Pump while the posters run, as the interface thread would.
    for (int i = 0; i < 50; ++i) {
        run_ui_tasks();
    }
    for (auto& p : posters) {
        p.join();
    }
    run_ui_tasks();
    ASSERT_EQ(ran.size(), static_cast<std::size_t>(threads * per_thread));
    std::vector<int> next(threads, 0);
    for (auto [t, i] : ran) {
        EXPECT_EQ(i, next[t]++);
    }
}

TEST_F(ui_tasks_test, a_failed_wake_up_is_logged_and_the_closure_waits_for_the_next_pump) {
    set_ui_wake_handler([] { return false; });
    bool ran = false;
    ::testing::internal::CaptureStderr();
    post_to_ui([&] { ran = true; });
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Assertion failure sys : 828\n");
    EXPECT_FALSE(ran);
    run_ui_tasks();
    EXPECT_TRUE(ran);
}

TEST_F(ui_tasks_test, quit_requests_reach_the_host) {
    int status = -1;
    set_quit_handler([&](int s) { status = s; });
    request_quit(1);
    EXPECT_EQ(status, 1);
    set_quit_handler(nullptr);
    request_quit(0); // no host: nothing happens
    EXPECT_EQ(status, 1);
}

} // namespace
