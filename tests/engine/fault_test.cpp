#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "engine_fixture.h"
#include "support/loop_volume.h"
#include "support/small_volume.h"
#include "util/drive_identity.h"
#include "util/memory_status.h"
#include "util/size_text.h"

namespace {

using fault_test = engine_test;

std::vector<std::string> files_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A final name that is already there when the job's turn comes is not converted again; one that
// appears while the job runs is never replaced.
TEST_F(fault_test, an_existing_final_name_is_kept_and_never_replaced) {
    plot_spec_s first{1, 0, 8}, second{2, 0, 8}, third{3, 0, 8};
    std::string taken = add_job({first});
    std::string raced = add_job({second});
    std::string other = add_job({third});
    std::ofstream(taken) << "someone else's file";
    std::string raced_source = record.plan.jobs[1].source_paths[0];
    add_fault_hook(record, [&](const file_handle_s& file, io_direction direction, std::uint64_t,
                               std::uint64_t) {
        if (direction == io_direction::read && file.path == raced_source && !file_exists(raced)) {
            std::ofstream(raced) << "written meanwhile";
        }
        return 0;
    });
    run(0);

    EXPECT_EQ(read_text_file(taken), "someone else's file");
    EXPECT_FALSE(file_exists(taken + ".swizzling")) << "nothing converted for an existing output";
    EXPECT_TRUE(log_has("Skipping " + taken + ": it is already there"));
    EXPECT_EQ(record.plan.jobs[0].state, job_state::existing);

    EXPECT_EQ(read_text_file(raced), "written meanwhile");
    EXPECT_EQ(check_poc2_file(raced + ".swizzling", {second}), "");
    EXPECT_TRUE(log_has("Error renaming " + raced + ".swizzling to " + raced));
    EXPECT_EQ(record.plan.jobs[1].state, job_state::failed);
    EXPECT_EQ(record.plan.jobs[1].failure, "a file of its final name already exists");

    EXPECT_EQ(check_poc2_file(other, {third}), "");
    EXPECT_EQ(record.plan.jobs[2].state, job_state::completed);
    EXPECT_EQ(completions, 1);
}

// A source must be exactly as long as its name says: a shorter one would leave blocks unfilled,
// and in a longer one the scoops lie at other offsets than the name gives.
TEST_F(fault_test, a_source_of_another_length_than_its_name_fails_its_job_before_a_target_exists) {
    plot_spec_s kept{1, 0, 8}, short_one{1, 8, 16}, long_one{2, 0, 8}, next{3, 0, 8};
    std::string broken = add_job({kept, short_one});
    std::string longer = add_job({long_one});
    std::string fine = add_job({next});
    std::string short_path = record.plan.jobs[0].source_paths[1];
    std::string long_path = record.plan.jobs[1].source_paths[0];
    ASSERT_EQ(truncate(short_path.c_str(), plot_size(16) - 64), 0);
    ASSERT_EQ(truncate(long_path.c_str(), plot_size(9)), 0);
    run(0);

    for (const auto& output : {broken, longer}) {
        EXPECT_FALSE(file_exists(output));
        EXPECT_FALSE(file_exists(output + ".swizzling"));
    }
    EXPECT_EQ(record.plan.jobs[0].state, job_state::failed);
    EXPECT_EQ(record.plan.jobs[1].state, job_state::failed);
    EXPECT_EQ(record.plan.jobs[1].failure,
              "its source " + long_path + " is longer than its name says");
    EXPECT_TRUE(log_has("Source " + short_path +
                        " holds 4194240 bytes, less than the 4194304 "
                        "bytes its name gives"));
    EXPECT_TRUE(log_has("Source " + long_path +
                        " holds 2359296 bytes, more than the 2097152 bytes its name gives"));
    ASSERT_EQ(shown().size(), 2u);
    EXPECT_EQ(shown()[0].title, "Error");
    EXPECT_NE(shown()[0].text.find(short_path), std::string::npos) << shown()[0].text;
    EXPECT_NE(shown()[1].text.find(long_path), std::string::npos) << shown()[1].text;
    EXPECT_EQ(check_poc2_file(fine, {next}), "");
    EXPECT_EQ(record.plan.jobs[2].state, job_state::completed);
}

TEST_F(fault_test, a_failed_read_abandons_its_job_and_the_run_goes_on) {
    plot_spec_s a{1, 0, 8}, b{1, 8, 8}, next{2, 0, 16};
    std::string abandoned = add_job({a, b});
    std::string fine = add_job({next});
    std::string failing = record.plan.jobs[0].source_paths[1];
    std::uint64_t bad_byte = scoop_offset(8, 4095 - 300, 0); // pair 300, second source
    std::uint64_t failed_at = 0;
    add_fault_hook(record, [&](const file_handle_s& file, io_direction direction,
                               std::uint64_t offset, std::uint64_t length) {
        bool hit = direction == io_direction::read && file.path == failing && offset <= bad_byte &&
                   bad_byte < offset + length;
        if (hit) {
            failed_at = offset;
        }
        return hit ? EIO : 0;
    });
    run(0);

    EXPECT_FALSE(file_exists(abandoned));
    EXPECT_EQ(record.plan.jobs[0].state, job_state::failed);
    EXPECT_EQ(record.plan.jobs[0].failure,
              "its source " + failing + " could not be read: Input/output error");
    auto lines = log_lines();
    auto read_line =
        std::find(lines.begin(), lines.end(),
                  "Failed to read file at offset " + std::to_string(failed_at) + ", error 5");
    ASSERT_NE(read_line, lines.end()) << read_text_file(log_path);
    EXPECT_TRUE(log_has("Abandoning " + abandoned + ": reading " + failing + " at offset " +
                        std::to_string(failed_at) + " failed"));
    ASSERT_EQ(shown().size(), 1u);
    EXPECT_EQ(shown()[0].title, "Error");
    EXPECT_NE(shown()[0].text.find(failing), std::string::npos) << shown()[0].text;

    EXPECT_EQ(check_poc2_file(fine, {next}), "");
    EXPECT_EQ(record.plan.jobs[1].state, job_state::completed);
    EXPECT_EQ(record.bytes_in_flight.load(), 0u);
    EXPECT_EQ(completions, 1);
}

TEST_F(fault_test, the_stop_flag_ends_the_run_inside_a_job_without_a_final_name) {
    plot_spec_s plot{1, 0, 16}, later{2, 0, 8};
    std::string output = add_job({plot});
    add_job({later});
    std::uint64_t stop_at = scoop_offset(16, 1000, 0);
    std::atomic<bool>& stop = record.stop;
    add_fault_hook(record, [&stop, stop_at](const file_handle_s&, io_direction direction,
                                            std::uint64_t offset, std::uint64_t) {
        if (direction == io_direction::read && offset == stop_at) {
            stop = true;
        }
        return 0;
    });
    run(0);

    EXPECT_FALSE(file_exists(output));
    EXPECT_TRUE(file_exists(output + ".swizzling"));
    EXPECT_EQ(record.plan.jobs[0].state, job_state::failed);
    EXPECT_EQ(record.plan.jobs[1].state, job_state::planned);
    EXPECT_FALSE(log_has("Opening source " + record.plan.jobs[1].source_paths[0]));
    EXPECT_EQ(log_lines().back(), "Work thread ended");
    EXPECT_EQ(completions, 0) << "a stopped run hands nothing to the interface thread";
    EXPECT_FALSE(record.finished);
    EXPECT_EQ(record.bytes_in_flight.load(), 0u);
    EXPECT_LE(record.bytes_written.load(), record.bytes_read.load());
}

// A write that fails mid-job, as a full or failing drive makes it fail, ends that job only: its
// box, its reason, its sources kept; the next job completes and the run ends normally.
TEST_F(fault_test, a_failed_write_fails_only_its_job_and_the_next_one_completes) {
    for (int failure : {ENOSPC, EIO}) {
        SCOPED_TRACE(failure);
        swizzler_s fresh;
        auto which = static_cast<std::uint64_t>(failure);
        plot_spec_s broken{1, which, 200}, next{2, which, 100};
        for (const plot_spec_s& plot : {broken, next}) {
            conversion_job_s job;
            job.account_id = plot.account_id;
            job.start_nonce = plot.start_nonce;
            job.nonces = plot.nonces;
            job.source_paths.push_back(write_poc1_plot(sources, plot));
            job.source_nonces.push_back(plot.nonces);
            job.output_path =
                make_output_path(outputs, plot.account_id, plot.start_nonce, plot.nonces);
            fresh.plan.largest_job_bytes =
                std::max(fresh.plan.largest_job_bytes, plot_size(plot.nonces));
            fresh.plan.jobs.push_back(std::move(job));
        }
        std::string temporary = fresh.plan.jobs[0].output_path + ".swizzling";
        std::atomic<int> writes{0};
        add_fault_hook(fresh, [&](const file_handle_s& file, io_direction direction, std::uint64_t,
                                  std::uint64_t) {
            // Halfway through the first target's writes.
            return direction == io_direction::write && file.path == temporary &&
                           writes.fetch_add(1) == 40
                       ? failure
                       : 0;
        });
        boxes.shown.clear();
        start_work_thread(fresh, single_source_budget, [this] { ++completions; });
        fresh.thread.join();
        run_ui_tasks();

        EXPECT_EQ(fresh.plan.jobs[0].state, job_state::failed);
        EXPECT_EQ(fresh.plan.jobs[0].failure,
                  "writing its target failed: " + std::string(error_name(failure)));
        EXPECT_FALSE(file_exists(fresh.plan.jobs[0].output_path));
        EXPECT_TRUE(file_exists(temporary)) << "kept for a later run to take over";
        ASSERT_EQ(shown().size(), 1u);
        EXPECT_EQ(shown()[0].title, "Error");
        EXPECT_TRUE(shown()[0].text.starts_with("Failed to write to file. Error " +
                                                std::to_string(failure)))
            << shown()[0].text;
        EXPECT_EQ(fresh.plan.jobs[1].state, job_state::completed);
        EXPECT_EQ(check_poc2_file(fresh.plan.jobs[1].output_path, {next}), "");
        EXPECT_EQ(fresh.bytes_in_flight.load(), 0u);
        EXPECT_TRUE(quits.empty());
    }
    EXPECT_EQ(completions, 2);
}

// Limits that cannot be kept as given are mended and said, and the run converts.
TEST_F(fault_test, a_limit_too_small_or_beyond_the_machine_is_mended_and_the_run_converts) {
    std::uint64_t available = read_memory_status().available_bytes;
    ASSERT_GT(available, 0u);
    struct case_s {
        const char* name;
        std::uint64_t budget;
        const char* line_start;
    };
    const case_s cases[] = {
        {"below one chunk", 2150, "The memory limit of 2.1 KiB cannot hold one chunk of buffers"},
        {"beyond the machine", available * 2, "The memory limit of "},
    };
    std::uint32_t account = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        swizzler_s fresh;
        plot_spec_s plot{account++, 0, 8};
        conversion_job_s job;
        job.account_id = plot.account_id;
        job.nonces = 8;
        job.source_paths.push_back(write_poc1_plot(sources, plot));
        job.source_nonces.push_back(plot.nonces);
        job.output_path = make_output_path(outputs, plot.account_id, 0, 8);
        fresh.plan.largest_job_bytes = plot_size(8);
        fresh.plan.bytes_total = plot_size(8);
        fresh.plan.jobs.push_back(std::move(job));
        start_work_thread(fresh, c.budget, [this] { ++completions; });
        fresh.thread.join();
        run_ui_tasks();
        EXPECT_EQ(fresh.plan.jobs[0].state, job_state::completed);
        EXPECT_EQ(check_poc2_file(fresh.plan.jobs[0].output_path, {plot}), "");
        auto lines = log_lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.rfind(c.line_start, 0) == 0;
        })) << read_text_file(log_path);
    }
    EXPECT_TRUE(shown().empty());
    EXPECT_TRUE(quits.empty());
    EXPECT_EQ(completions, 2);
}

// A source that cannot be opened fails its own job, with its box before its log line; the run
// goes on with the next job.
TEST_F(fault_test, an_unopenable_source_fails_only_its_job) {
    std::string output = add_job({{1, 0, 8}});
    plot_spec_s next{2, 0, 8};
    std::string fine = add_job({next});
    std::string missing = record.plan.jobs[0].source_paths[0];
    ASSERT_EQ(unlink(missing.c_str()), 0);
    run(0);
    ASSERT_EQ(shown().size(), 1u);
    EXPECT_EQ(shown()[0].text,
              "Could not open file:\n " + missing + "\nError code 2 (No such file or directory)\n");
    EXPECT_TRUE(log_has("Failed to open " + missing + " for reading!"));
    EXPECT_FALSE(file_exists(output + ".swizzling"));
    EXPECT_EQ(record.plan.jobs[0].state, job_state::failed);
    EXPECT_EQ(check_poc2_file(fine, {next}), "");
    EXPECT_EQ(record.plan.jobs[1].state, job_state::completed);
    EXPECT_TRUE(quits.empty()) << "the run ends through its completion step, not a quit";
    EXPECT_EQ(completions, 1);
}

TEST_F(fault_test, out_of_space_asks_again_with_fresh_numbers_and_no_leaves_nothing) {
    small_volume_s volume(folder.path + "/small", "4m");
    if (!volume.mounted) {
        GTEST_SKIP() << "mounting a small tmpfs needs root; the out-of-space path is not tested";
    }
    std::ofstream(volume.path + "/filler") << std::string(1 << 20, 'f');
    plot_spec_s big{1, 0, 24}, next{2, 0, 8}; // 6 MiB never fits into 4 MiB
    std::string output = add_job({big}, volume.path);
    std::string fine = add_job({next});
    // Each question is compared with the free space at the moment it is asked; after the first
    // the user makes some room (not enough) and retries, after the second the user gives up.
    std::vector<std::string> asked, expected;
    std::vector<std::uint64_t> free_then;
    set_message_box_handler([&](int, const char* title, const char* text, message_box_kind) {
        struct statvfs space {};
        statvfs(volume.path.c_str(), &space);
        std::uint64_t available = space.f_bavail * space.f_frsize;
        free_then.push_back(available);
        asked.push_back(std::string(title) + ": " + text);
        expected.push_back(
            "Out of space: Not enough free space. Attempting to set file size to: 6.3 MB\nThere "
            "appears to be only " +
            std::string(size_text(available, false)) + " free on the drive " +
            drive_of_folder(volume.path + "/").name + " for " + output + ".swizzling. " +
            size_text(plot_size(24) - available, false) +
            " more is needed.\nThis can happen if files have been written to the drive since it "
            "was chosen, by another program or a swap file on it.\nWould you like to retry (free "
            "up some space first if you can)?");
        if (asked.size() == 1) {
            unlink((volume.path + "/filler").c_str());
            return true;
        }
        return false;
    });
    run(0);

    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked, expected);
    EXPECT_GT(free_then[1], free_then[0]) << "the second question shows the room made";
    EXPECT_TRUE(files_in(volume.path).empty());
    EXPECT_TRUE(log_has("Skipping " + output + ": there was no room for its target file"));
    EXPECT_EQ(record.plan.jobs[0].state, job_state::failed);
    EXPECT_EQ(check_poc2_file(fine, {next}), "");
    EXPECT_EQ(completions, 1);
}

// ext4 keeps the blocks of a reservation that ran out of room unless they are given back: the
// question then said "only 0.0 KB free".
TEST_F(fault_test, on_ext4_a_reservation_that_ran_out_of_room_gives_its_blocks_back) {
    loop_volume_s volume("/dev/shm", folder.path + "/ext4", 6u << 20, 4096, "ext4");
    if (volume.path.empty()) {
        GTEST_SKIP() << "no ext4 drive: " << volume.why_not;
    }
    auto free_now = [&] {
        struct statvfs space {};
        statvfs(volume.path.c_str(), &space);
        return static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
    };
    std::string output = add_job({{1, 0, 24}}, volume.path); // 6 MiB never fits
    std::uint64_t before = free_now(), asked = 0;
    std::string text;
    set_message_box_handler([&](int, const char*, const char* question, message_box_kind) {
        asked = free_now();
        text = question;
        return false;
    });
    run(0);
    EXPECT_GE(asked + 65536, before) << "the failed reservation kept its blocks";
    EXPECT_NE(text.find(std::string("only ") + size_text(asked, false) + " free"),
              std::string::npos)
        << text;
    EXPECT_FALSE(file_exists(output + ".swizzling"));
}

// With verification on, an output is read back against its sources before its final name: a
// byte that changed on the way keeps the temporary name and fails the job; a clean one passes.
TEST_F(fault_test, verification_catches_one_changed_byte_and_passes_a_clean_output) {
    plot_spec_s a{1, 0, 8}, b{1, 8, 5}, clean{2, 0, 16};
    std::string spoiled = add_job({a, b});
    std::string fine = add_job({clean});
    std::uint64_t changed_at = scoop_offset(13, 3000, 9) + 40; // a second half, second source
    std::string spoiled_temporary = spoiled + ".swizzling";
    bool changed = false;
    add_fault_hook(record, [&](const file_handle_s& file, io_direction direction, std::uint64_t,
                               std::uint64_t) {
        // The first read-back of the target: the data is written and flushed by now.
        if (direction == io_direction::read && file.path == spoiled_temporary && !changed) {
            changed = true;
            int fd = open(spoiled_temporary.c_str(), O_RDWR);
            std::uint8_t byte = 0;
            EXPECT_EQ(pread(fd, &byte, 1, changed_at), 1);
            byte ^= 0x10;
            EXPECT_EQ(pwrite(fd, &byte, 1, changed_at), 1);
            close(fd);
        }
        return 0;
    });
    record.verify_outputs = true;
    run(merged_budget);

    EXPECT_TRUE(changed);
    EXPECT_FALSE(file_exists(spoiled));
    EXPECT_TRUE(file_exists(spoiled_temporary));
    EXPECT_EQ(record.plan.jobs[0].state, job_state::failed);
    EXPECT_EQ(record.plan.jobs[0].failure, "it differs from its sources when read back");
    EXPECT_TRUE(log_has("Verification of " + spoiled_temporary +
                        " failed: it differs from its sources at offset " +
                        std::to_string(changed_at)));
    ASSERT_EQ(shown().size(), 1u);
    EXPECT_NE(shown()[0].text.find(spoiled_temporary), std::string::npos);

    EXPECT_EQ(record.plan.jobs[1].state, job_state::completed);
    EXPECT_EQ(check_poc2_file(fine, {clean}), "");
    EXPECT_TRUE(log_has("Verified " + fine + ".swizzling"));
    EXPECT_GE(record.bytes_verified.load(), plot_size(16));
    EXPECT_EQ(completions, 1);
}

} // namespace

namespace {

// A plot that another run converts in place (it holds the plot exclusively) is not read by a
// copying run meanwhile: that job fails and keeps its source, the next one converts.
TEST_F(fault_test, a_source_converted_in_place_by_another_run_fails_only_its_job) {
    plot_spec_s held{1, 0, 8}, next{2, 0, 8};
    std::string output = add_job({held});
    std::string fine = add_job({next});
    int fd = open(record.plan.jobs[0].source_paths[0].c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    run(0);
    close(fd);
    EXPECT_EQ(record.plan.jobs[0].state, job_state::failed);
    EXPECT_NE(record.plan.jobs[0].failure.find("is being converted in place by another run"),
              std::string::npos)
        << record.plan.jobs[0].failure;
    EXPECT_FALSE(file_exists(output + ".swizzling"));
    EXPECT_EQ(record.plan.jobs[1].state, job_state::completed);
    EXPECT_EQ(check_poc2_file(fine, {next}), "");
}

} // namespace
