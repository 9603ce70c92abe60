// Interrupted copying jobs go on where they stopped: after a stop, after a crash at any moment
// (the conversion runs in a child process that ends itself as kill -9 would), and after a power
// cut that loses what was not flushed. A progress record that does not describe the same work
// starts the job over.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>

#include "engine_fixture.h"
#include "swizzler/progress_record.h"

namespace {

class resume_test : public engine_test {
  protected:
    // Runs the record's plan in a child process that installs `arm` first (hooks that end it)
    // and returns how the child ended: its exit status (0 when every job completed or found its
    // output there, 1 otherwise), or -1 when it did not exit.
    template <typename Arm> int run_in_child(std::uint64_t budget, Arm arm) {
        std::fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            arm();
            run(budget);
            bool done =
                std::all_of(record.plan.jobs.begin(), record.plan.jobs.end(), [](auto& job) {
                    return job.state == job_state::completed || job.state == job_state::existing;
                });
            std::fflush(nullptr);
            _exit(done ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // A new record with no jobs, for the next case of a test.
    void fresh_record() {
        record.~swizzler_s();
        new (&record) swizzler_s();
        completions = 0;
    }

    // The plan again for a fresh run of the same jobs, as a rerun of the program would make it.
    void start_over() {
        conversion_plan_s plan = record.plan;
        for (auto& job : plan.jobs) {
            job.state = job_state::planned;
            job.failure.clear();
        }
        record.~swizzler_s();
        new (&record) swizzler_s();
        record.plan = std::move(plan);
        completions = 0;
    }

    std::uint64_t pair_bytes(std::uint64_t nonces) { return 2 * nonces * scoop_size; }
};

// A graceful stop records where it stopped; the next run reads only what is left.
TEST_F(resume_test, a_stopped_job_goes_on_where_it_stopped) {
    plot_spec_s plot{1, 0, 64}; // runs of exactly one block
    std::string output = add_job({plot});
    std::string temporary = output + ".swizzling";
    record.checkpoints = {1e9, 0};
    std::atomic<std::uint64_t> written{0};
    std::atomic<bool>& stop = record.stop;
    add_fault_hook(record, [&](const file_handle_s& file, io_direction direction, std::uint64_t,
                               std::uint64_t length) {
        if (direction == io_direction::write && file.path == temporary &&
            written.fetch_add(length) + length >= plot_size(64) / 2) {
            stop = true;
        }
        return 0;
    });
    run(single_source_budget);
    EXPECT_EQ(record.plan.jobs[0].state, job_state::failed);
    progress_record_s stored;
    ASSERT_EQ(load_progress_record(progress_record_path(temporary), &stored), record_found::whole);
    EXPECT_GE(stored.pairs_done * pair_bytes(64), plot_size(64) / 2 - pair_bytes(64) * 2);
    EXPECT_LT(stored.pairs_done, scoop_pairs);

    start_over();
    std::atomic<std::uint64_t> read{0};
    add_fault_hook(record, [&](const file_handle_s& file, io_direction direction, std::uint64_t,
                               std::uint64_t length) {
        if (direction == io_direction::read && file.path == record.plan.jobs[0].source_paths[0]) {
            read += length;
        }
        return 0;
    });
    run(single_source_budget);
    EXPECT_EQ(record.plan.jobs[0].state, job_state::completed) << record.plan.jobs[0].failure;
    EXPECT_EQ(check_poc2_file(output, {plot}), "");
    EXPECT_EQ(record.bytes_resumed.load(), stored.pairs_done * pair_bytes(64));
    EXPECT_EQ(read.load(), plot_size(64) - stored.pairs_done * pair_bytes(64));
    EXPECT_FALSE(file_exists(progress_record_path(temporary))) << "a finished job's record goes";
    EXPECT_TRUE(log_has("Resuming " + temporary + " at scoop pair " +
                        std::to_string(stored.pairs_done) + " of 2048"));
}

// Killed at any moment: the next run redoes no more than what was written since the last
// checkpoint, and the output is bit-exact. Runs that start and end inside blocks and a merge, so
// that the carries a record keeps matter.
TEST_F(resume_test, a_killed_job_redoes_at_most_one_checkpoint_interval) {
    plot_spec_s a{2, 0, 40}, b{2, 40, 27};
    std::string output = add_job({a, b});
    std::string temporary = output + ".swizzling";
    constexpr std::uint64_t interval = 96 * 1024;
    record.checkpoints = {1e9, interval};
    std::string written_file = folder.path + "/written_at_kill";
    int status = run_in_child(merged_budget, [&] {
        auto written = std::make_shared<std::atomic<std::uint64_t>>(0);
        auto leaving = std::make_shared<std::atomic<bool>>(false);
        add_fault_hook(record, [written, leaving, temporary,
                                written_file](const file_handle_s& file, io_direction direction,
                                              std::uint64_t, std::uint64_t length) {
            if (direction == io_direction::write && file.path == temporary &&
                written->fetch_add(length) + length > plot_size(67) * 6 / 10) {
                // Transfers of other threads may cross too: only the first writes the figure
                // (a second would empty the file under it) and ends the process.
                while (leaving->exchange(true)) {
                    pause();
                }
                std::ofstream(written_file) << written->load();
                _exit(9); // as kill -9: nothing is cleaned up, nothing more is written
            }
            return 0;
        });
    });
    ASSERT_EQ(status, 9);
    std::uint64_t written_at_kill = std::stoull(read_text_file(written_file));
    progress_record_s stored;
    ASSERT_EQ(load_progress_record(progress_record_path(temporary), &stored), record_found::whole);

    start_over();
    run(merged_budget);
    EXPECT_EQ(record.plan.jobs[0].state, job_state::completed) << record.plan.jobs[0].failure;
    EXPECT_EQ(check_poc2_file(output, {a, b}), "");
    std::uint64_t kept = record.bytes_resumed.load();
    EXPECT_EQ(kept, stored.pairs_done * pair_bytes(67));
    // Redone: what was written after the last checkpoint, which follows at most one interval
    // and one pair after the one before it, plus the tiles in flight when the process ended.
    EXPECT_LE(written_at_kill - std::min(written_at_kill, kept),
              interval + 2 * pair_bytes(67) + 32 * 4096);
}

// The edge instants on purpose: right after a record's data flush, right after a record, between
// the last flush and the final name, right after the final name.
TEST_F(resume_test, a_crash_at_each_edge_instant_is_finished_by_the_next_run) {
    std::uint64_t account = 30;
    struct instant_s {
        const char* point;
        int occurrence; // which time it is announced
    };
    for (instant_s instant : {instant_s{"data flushed", 3}, instant_s{"progress written", 3},
                              instant_s{"progress recorded", 3}, instant_s{"renamed", 1}}) {
        SCOPED_TRACE(instant.point);
        fresh_record();
        plot_spec_s plot{account++, 0, 50};
        std::string output = add_job({plot});
        record.checkpoints = {1e9, 64 * 1024};
        std::string point = instant.point;
        int occurrence = instant.occurrence;
        int status = run_in_child(single_source_budget, [this, point, occurrence] {
            auto seen = std::make_shared<int>(0);
            add_crash_hook(record, [point, occurrence, seen](const char* at, const std::string&) {
                if (point == at && ++*seen == occurrence) {
                    _exit(9);
                }
            });
        });
        EXPECT_EQ(status, 9);
        // The rerun in a child too: a process that has run a conversion keeps threads (the
        // system bus connection's), and forking such a process for the next case is unsafe.
        start_over();
        EXPECT_EQ(run_in_child(single_source_budget, [] {}), 0) << read_text_file(log_path);
        EXPECT_EQ(check_poc2_file(output, {plot}), "");
        EXPECT_FALSE(file_exists(output + ".swizzling"));
    }
}

// A power cut is not a kill: what was written and not flushed may be gone or garbage. The child
// keeps what the disk would still hold (the record file as of its last flush) and, at the cut,
// puts it back and scribbles over every target block written since the last data flush.
TEST_F(resume_test, a_power_cut_that_loses_unflushed_writes_is_repaired) {
    for (int cut : {2, 5, 9}) {
        SCOPED_TRACE(cut);
        fresh_record();
        plot_spec_s plot{static_cast<std::uint64_t>(40 + cut), 0, 61};
        std::string output = add_job({plot});
        std::string temporary = output + ".swizzling";
        std::string record_path = progress_record_path(temporary);
        record.checkpoints = {1e9, 48 * 1024};
        int status = run_in_child(single_source_budget, [=, this] {
            struct state_s {
                std::mutex lock;
                std::vector<std::pair<std::uint64_t, std::uint64_t>> unflushed;
                std::string flushed_record;
                int records = 0;
            };
            auto state = std::make_shared<state_s>();
            add_fault_hook(record,
                           [state, temporary](const file_handle_s& file, io_direction direction,
                                              std::uint64_t offset, std::uint64_t length) {
                               if (direction == io_direction::write && file.path == temporary) {
                                   std::lock_guard hold(state->lock);
                                   state->unflushed.emplace_back(offset, length);
                               }
                               return 0;
                           });
            add_crash_hook(record, [=](const char* at, const std::string&) {
                std::string point = at;
                std::lock_guard hold(state->lock);
                if (point == "data flushed") {
                    state->unflushed.clear();
                } else if (point == "progress recorded") {
                    state->flushed_record = read_text_file(record_path);
                } else if (point == "progress written" && ++state->records == cut) {
                    // The cut: the record written but not flushed is lost, and so is whatever
                    // reached the target since its last flush.
                    std::ofstream(record_path, std::ios::binary) << state->flushed_record;
                    int fd = open(temporary.c_str(), O_WRONLY);
                    std::string garbage(1 << 20, '\x5a');
                    for (auto [offset, length] : state->unflushed) {
                        for (std::uint64_t done = 0; done < length;) {
                            std::uint64_t n = std::min<std::uint64_t>(length - done, 1 << 20);
                            if (pwrite(fd, garbage.data(), n, offset + done) < 0) {
                                break;
                            }
                            done += n;
                        }
                    }
                    close(fd);
                    _exit(9);
                }
            });
        });
        EXPECT_EQ(status, 9);
        start_over();
        EXPECT_EQ(run_in_child(single_source_budget, [] {}), 0) << read_text_file(log_path);
        EXPECT_EQ(check_poc2_file(output, {plot}), "");
    }
}

// A record is trusted only for the same work: a source changed since, a record torn by a cut
// in the middle of its only slot, a temporary file made anew.
TEST_F(resume_test, a_record_of_other_work_starts_the_job_over) {
    struct case_s {
        const char* name;
        std::function<void(const std::string& source, const std::string& temporary)> change;
        const char* reason; // in the log line, or "" when the record is not even read
    };
    const case_s cases[] = {
        {"source modified since",
         [](const std::string& source, const std::string&) {
             struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
             utimensat(AT_FDCWD, source.c_str(), times, 0);
         },
         "is not the one the work began with"},
        {"record torn",
         [](const std::string&, const std::string& temporary) {
             std::fstream file(progress_record_path(temporary),
                               std::ios::in | std::ios::out | std::ios::binary);
             for (std::streamoff at : {64, 320 * 1024 + 64}) {
                 file.seekp(at);
                 file.put('\x7f');
             }
         },
         ""},
        {"temporary file made anew",
         [](const std::string&, const std::string& temporary) { unlink(temporary.c_str()); },
         "its temporary file was gone"},
    };
    std::uint64_t account = 50;
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.name);
        fresh_record();
        plot_spec_s plot{account++, 0, 64};
        std::string output = add_job({plot});
        std::string temporary = output + ".swizzling";
        record.checkpoints = {1e9, 0};
        std::atomic<bool>& stop = record.stop;
        add_fault_hook(record, [&](const file_handle_s& file, io_direction direction, std::uint64_t,
                                   std::uint64_t) {
            if (direction == io_direction::write && file.path == temporary) {
                stop = true;
            }
            return 0;
        });
        run(single_source_budget);
        progress_record_s stored;
        ASSERT_EQ(load_progress_record(progress_record_path(temporary), &stored),
                  record_found::whole);
        c.change(record.plan.jobs[0].source_paths[0], temporary);

        start_over();
        run(single_source_budget);
        EXPECT_EQ(record.plan.jobs[0].state, job_state::completed) << record.plan.jobs[0].failure;
        EXPECT_EQ(record.bytes_resumed.load(), 0u);
        EXPECT_EQ(check_poc2_file(output, {plot}), "");
        if (*c.reason != '\0') {
            std::string log = read_text_file(log_path);
            EXPECT_NE(log.find("Starting " + temporary + " over: "), std::string::npos) << log;
            EXPECT_NE(log.find(c.reason), std::string::npos) << log;
        }
    }
}

} // namespace
