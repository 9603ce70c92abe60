// Crashes at every named instant of an in-place conversion and of its recovery, power cuts that
// lose what was not flushed, a failed write, two runs at once, and files that are not ours:
// the next run always finishes the plot bit-exact, and a miner never finds a half-converted
// plot under a plot name. Tests that crash a run convert only in children: a process that
// forks must not have threads of its own (ThreadSanitizer refuses it).
#include <fcntl.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>

#include "in_place_fixture.h"

namespace {

// 4 MiB; 256 KiB of buffers make two sets of groups of 48 runs: 43 groups.
const plot_spec_s crash_plot{21, 0, 16};
constexpr std::uint64_t crash_budget = 256 * 1024;

class in_place_crash_test : public in_place_test {
  protected:
    std::string output, original;

    void SetUp() override {
        in_place_test::SetUp();
        output = write_plot(crash_plot);
        original = file_bytes(poc1_path(crash_plot));
        ASSERT_EQ(original.size(), plot_size(crash_plot.nonces));
    }

    // A crash (the child ends where the hook says); the state it leaves must be safe.
    void crash(crash_point_fn hook, const std::string& what) {
        ASSERT_EQ(run_in_child(crash_plot, crash_budget, std::move(hook)), 9)
            << what << ": the child did not stop there\n"
            << read_text_file(log_path);
        EXPECT_EQ(check_names_after_crash(names(), crash_plot, sources, original), "") << what;
    }

    // The next run finishes the conversion: completed, bit-exact, nothing else left behind. It
    // runs in a child too, so that this process never has a thread when it forks, unless the
    // test forks no more.
    void expect_finished_by_a_rerun(const std::string& what, bool in_child = true) {
        if (in_child) {
            EXPECT_EQ(run_in_child(crash_plot, crash_budget, nullptr), 0)
                << what << ": the rerun did not complete\n"
                << read_text_file(log_path);
        } else {
            auto run = run_in_place(crash_plot, crash_budget);
            EXPECT_EQ(run->plan.jobs[0].state, job_state::completed)
                << what << ": " << run->plan.jobs[0].failure;
        }
        EXPECT_EQ(check_poc2_file(output, {crash_plot}), "") << what;
        EXPECT_EQ(names(), std::set<std::string>{file_name_of(output).data()}) << what;
    }
};

struct instant_s {
    const char* point;
    int occurrence;
};

TEST_F(in_place_crash_test, a_crash_at_any_named_instant_is_finished_by_the_next_run) {
    const instant_s instants[] = {
        {"in-place journal created", 1},
        {"in-place plot renamed", 1},
        {"in-place journal slot written", 1},
        {"in-place journal slot written", 20},
        {"in-place journal flushed", 1},
        {"in-place journal flushed", 20},
        {"in-place low runs written", 20},
        {"in-place low runs flushed", 1},
        {"in-place low runs flushed", 20},
        {"in-place high runs written", 1},
        {"in-place high runs written", 20},
        {"in-place data flushed", 1},
        {"in-place renamed", 1},
    };
    for (const instant_s& instant : instants) {
        std::string what = std::string(instant.point) + " #" + std::to_string(instant.occurrence);
        crash(crash_at(instant.point, instant.occurrence), what);
        expect_finished_by_a_rerun(what);
        // The next instant starts from the PoC1 plot again.
        ASSERT_EQ(unlink(output.c_str()), 0);
        ASSERT_FALSE(write_poc1_plot(sources, crash_plot).empty());
    }
}

TEST_F(in_place_crash_test, the_plot_under_its_poc1_name_with_a_stale_journal_starts_over) {
    crash(crash_at("in-place journal created", 1), "journal created");
    std::string journal = in_place_journal_path(output);
    EXPECT_TRUE(file_exists(journal));
    EXPECT_TRUE(file_exists(poc1_path(crash_plot)));
    expect_finished_by_a_rerun("stale journal");
    EXPECT_TRUE(log_has("Removing the journal " + journal + ": " + poc1_path(crash_plot) +
                        " was not changed yet"))
        << read_text_file(log_path);
}

// Crashes during the replays of a crash's journal: each next run replays again.
TEST_F(in_place_crash_test, a_crash_during_recovery_is_recovered_again) {
    crash(crash_at("in-place high runs written", 31), "between two groups' writes");
    crash(crash_at("in-place replay low written", 1), "first replay, between its low and high");
    crash(crash_at("in-place replay high written", 1), "second replay, after the first group");
    crash(crash_at("in-place replay low written", 2), "third replay, in its second group");
    expect_finished_by_a_rerun("after three crashes in recovery");
    EXPECT_TRUE(log_has("Resuming the in-place conversion of " + output + ".swizzling"));
}

// What a power cut leaves: of every 512-byte sector written since the file's last flush, the new
// or the old content, at random (all old when `keep` is 0).
struct power_cut_s {
    const char* point;
    int occurrence;
    double keep; // chance that an unflushed sector reached the disk
};

void PrintTo(const power_cut_s& cut, std::ostream* out) {
    *out << cut.point << " #" << cut.occurrence << " keep " << cut.keep;
}

class in_place_power_cut : public in_place_crash_test,
                           public ::testing::WithParamInterface<power_cut_s> {};

// Puts back, sector by sector, the flushed content of a file where the dice say so.
void lose_unflushed(const std::string& path, const std::string& flushed, double keep,
                    std::mt19937& dice) {
    std::string now = file_bytes(path);
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) {
        return;
    }
    std::uniform_real_distribution<double> chance(0, 1);
    for (std::size_t at = 0; at < now.size() && at < flushed.size(); at += 512) {
        std::size_t length = std::min<std::size_t>(512, now.size() - at);
        if (now.compare(at, length, flushed, at, length) != 0 && chance(dice) >= keep) {
            if (pwrite(fd, flushed.data() + at, length, static_cast<off_t>(at)) !=
                static_cast<ssize_t>(length)) {
                _exit(2);
            }
        }
    }
    fsync(fd);
    close(fd);
}

TEST_P(in_place_power_cut, only_flushed_bytes_are_trusted_and_the_plot_is_finished) {
    const power_cut_s& cut = GetParam();
    std::string temporary = output + ".swizzling";
    std::string journal = in_place_journal_path(output);
    std::string plot_path = poc1_path(crash_plot);
    // The hook keeps what each file held at its last flush, the way the disk would.
    auto flushed_journal = std::make_shared<std::string>();
    auto flushed_plot = std::make_shared<std::string>(original);
    auto seen = std::make_shared<int>(0);
    auto dice = std::make_shared<std::mt19937>(cut.occurrence * 7919 + 1);
    crash_point_fn hook = [=](const char* point, const std::string&) {
        std::string at = point;
        if (at == "in-place journal created" || at == "in-place journal flushed") {
            *flushed_journal = file_bytes(journal);
        } else if (at == "in-place low runs flushed" || at == "in-place data flushed") {
            *flushed_plot = file_bytes(temporary);
        }
        if (at == cut.point && ++*seen == cut.occurrence) {
            lose_unflushed(journal, *flushed_journal, cut.keep, *dice);
            lose_unflushed(temporary, *flushed_plot, cut.keep, *dice);
            _exit(9);
        }
    };
    crash(hook, "power cut");
    expect_finished_by_a_rerun("after the power cut");
}

INSTANTIATE_TEST_SUITE_P(instants, in_place_power_cut,
                         ::testing::Values(power_cut_s{"in-place journal slot written", 1, 0},
                                           power_cut_s{"in-place journal slot written", 9, 0.5},
                                           power_cut_s{"in-place journal slot written", 10, 0},
                                           power_cut_s{"in-place low runs written", 4, 0},
                                           power_cut_s{"in-place low runs written", 12, 0.5},
                                           power_cut_s{"in-place high runs written", 5, 0},
                                           power_cut_s{"in-place high runs written", 17, 0.5},
                                           power_cut_s{"in-place journal flushed", 23, 0.5}),
                         [](const ::testing::TestParamInfo<power_cut_s>& info) {
                             std::string name = std::string(info.param.point).substr(9) + "_" +
                                                std::to_string(info.param.occurrence) +
                                                (info.param.keep == 0 ? "_all_lost" : "_half_lost");
                             for (char& c : name) {
                                 c = c == ' ' ? '_' : c;
                             }
                             return name;
                         });

TEST_F(in_place_crash_test, a_failed_write_fails_the_job_and_the_next_run_finishes_it) {
    std::atomic<int> plot_writes{0};
    std::string temporary = output + ".swizzling";
    auto failed = run_in_place(crash_plot, crash_budget, [&](swizzler_s& run) {
        add_fault_hook(run, [&](const file_handle_s& file, io_direction direction, std::uint64_t,
                                std::uint64_t) {
            bool plot_write = direction == io_direction::write && file.path == temporary;
            return plot_write && ++plot_writes == 25 ? EIO : 0;
        });
    });
    const conversion_job_s& job = failed->plan.jobs[0];
    EXPECT_EQ(job.state, job_state::failed);
    EXPECT_NE(job.failure.find("the next run finishes it"), std::string::npos) << job.failure;
    ASSERT_FALSE(shown().empty());
    EXPECT_EQ(shown().back().title, "Error");
    EXPECT_EQ(check_names_after_crash(names(), crash_plot, sources, original), "");
    EXPECT_TRUE(file_exists(temporary));
    expect_finished_by_a_rerun("after a failed write", false);
}

// A ".swizzling" file without a journal may be a copying run's target: it is not ours to touch.
TEST_F(in_place_crash_test, a_temporary_file_without_a_journal_is_left_alone) {
    std::string temporary = output + ".swizzling";
    std::string unrelated(5000, 'x');
    {
        std::ofstream file(temporary, std::ios::binary);
        file << unrelated;
    }
    auto run = run_in_place(crash_plot, crash_budget);
    EXPECT_EQ(run->plan.jobs[0].state, job_state::failed);
    EXPECT_EQ(file_bytes(temporary), unrelated);
    EXPECT_EQ(file_bytes(poc1_path(crash_plot)), original);
    EXPECT_TRUE(log_has("Leaving " + temporary +
                        " alone: it has no journal of an in-place "
                        "conversion"))
        << read_text_file(log_path);
}

// Two runs in one process, the second started while the first holds the plot at a chosen
// instant: the second leaves it alone, and the first finishes it.
TEST_F(in_place_crash_test, two_runs_at_once_never_convert_one_plot_together) {
    for (const char* instant : {"in-place journal created", "in-place journal slot written"}) {
        std::mutex lock;
        std::condition_variable changed;
        bool first_waiting = false, second_done = false;
        swizzler_s first, second;
        plan_in_place(first, crash_plot);
        plan_in_place(second, crash_plot);
        add_crash_hook(first, [&, instant](const char* point, const std::string&) {
            if (std::string(point) != instant) {
                return;
            }
            std::unique_lock hold(lock);
            first_waiting = true;
            changed.notify_all();
            changed.wait(hold, [&] { return second_done; });
        });
        start_work_thread(first, crash_budget, [] {});
        {
            std::unique_lock hold(lock);
            changed.wait(hold, [&] { return first_waiting; });
        }
        start_work_thread(second, crash_budget, [] {});
        second.thread.join();
        {
            std::lock_guard hold(lock);
            second_done = true;
        }
        changed.notify_all();
        first.thread.join();
        run_ui_tasks();

        EXPECT_EQ(second.plan.jobs[0].state, job_state::failed) << instant;
        EXPECT_EQ(second.plan.jobs[0].failure, "it is being converted by another run") << instant;
        EXPECT_EQ(first.plan.jobs[0].state, job_state::completed) << instant;
        EXPECT_EQ(check_poc2_file(output, {crash_plot}), "") << instant;
        EXPECT_EQ(names(), std::set<std::string>{file_name_of(output).data()}) << instant;
        ASSERT_EQ(unlink(output.c_str()), 0);
        ASSERT_FALSE(write_poc1_plot(sources, crash_plot).empty());
    }
}

} // namespace
