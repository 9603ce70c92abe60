// The terminal front end where a plot could be lost, misnamed or written over another file: a
// flush that fails once, an output that reads back wrong, plots shared with another name, files
// that belong to another conversion, links planted where the program writes, names that only
// look like plots, folders under two spellings, one volume behind two folders, and merges of more
// plots than files may be open. Each as a user meets it, the program a separate process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli_runner.h"
#include "support/fault_volume.h"
#include "support/plot_files.h"
#include "support/small_volume.h"

namespace {

constexpr std::size_t npos = std::string::npos;

// Waits up to 30 s for a run to reach a step: polls the condition every millisecond.
template <typename Condition> bool reached(Condition condition) {
    for (int i = 0; i < 30000 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

bool appears(const std::string& path) {
    return reached([&] { return exists(path); });
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class cli_safety_test : public ::testing::Test {
  protected:
    temp_folder_s work, source, destination, mounts;
    std::string log() { return read_text_file(work.path + "/log_swizzle.txt"); }

    // The destination seen through the fault file system; empty (and the reason in *why) when
    // it cannot be mounted here.
    std::optional<fault_volume_s> drive;
    std::string faulty_destination(const std::vector<std::string>& cues, std::string* why) {
        drive.emplace(destination.path, mounts.path + "/drive", cues);
        *why = drive->why_not;
        return drive->path;
    }
};

TEST_F(cli_safety_test,
       a_flush_that_fails_once_or_an_output_that_reads_back_wrong_never_completes) {
    std::string why;
    std::string drive_path = faulty_destination(
        {"--fail-flushes", "EIO", "--fail-file", "1_0_8.swizzling", "--write-delay-ms", "0.2"},
        &why);
    if (drive_path.empty()) {
        GTEST_SKIP() << why;
    }
    plot_spec_s first{1, 0, 8}, second{2, 0, 8};
    std::string first_source = write_poc1_plot(source.path, first);
    std::string second_source = write_poc1_plot(source.path, second);
    std::vector<std::string> args = {"--delete-sources", source.path, drive_path};

    // The last checkpoint's flush fails once (its writes are lost); the one before the rename
    // succeeds. Then a checkpoint in mid-run fails. Neither output may be completed.
    for (const char* cues : {"", "fail_after=1\nfail_flushes=EIO\n"}) {
        ASSERT_TRUE(*cues == '\0' || set_fault_cues(*drive, cues));
        setenv("SCOOPSHIFT_CHECKPOINT_SECONDS", *cues == '\0' ? "100" : "0.05", 1);
        auto run = run_cli(work.path, args);
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_TRUE(exists(first_source));
        EXPECT_FALSE(exists(destination.path + "/1_0_8"));
        EXPECT_EQ(run.out.find("All 2 conversions completed"), npos);
        EXPECT_NE(run.out.find("flushed to the disk: Input/output error"), npos) << run.out;
        EXPECT_EQ(check_poc2_file(destination.path + "/2_0_8", {second}), "");
        EXPECT_FALSE(exists(second_source));
        unlink((destination.path + "/2_0_8").c_str());
        second_source = write_poc1_plot(source.path, second);
    }
    unsetenv("SCOOPSHIFT_CHECKPOINT_SECONDS");

    // An output whose bit flips on its way to the disk is rejected by --verify; the next run
    // writes it again rather than renaming what it rejected.
    ASSERT_TRUE(
        set_fault_cues(*drive, "fail_flushes=0\nfail_file=2_0_8.swizzling\nflip_bit_at=4000\n"));
    auto rejected = run_cli(work.path, {"--verify", "--delete-sources", source.path, drive_path});
    EXPECT_EQ(rejected.status, 1);
    EXPECT_NE(rejected.out.find("it differs from its sources when read back"), npos)
        << rejected.out;
    EXPECT_NE(log().find("Starting " + drive_path +
                         "/1_0_8.swizzling over: it has no progress "
                         "record"),
              npos)
        << log();
    EXPECT_EQ(check_poc2_file(destination.path + "/1_0_8", {first}), "");
    EXPECT_FALSE(exists(first_source));
    EXPECT_TRUE(exists(second_source));
    EXPECT_FALSE(exists(destination.path + "/2_0_8"));

    ASSERT_TRUE(set_fault_cues(*drive, "flip_bit_at=-1\n"));
    auto again = run_cli(work.path, {"--verify", "--delete-sources", source.path, drive_path});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_NE(log().find("Starting " + drive_path +
                         "/2_0_8.swizzling over: it has no progress "
                         "record"),
              npos)
        << log();
    EXPECT_EQ(check_poc2_file(destination.path + "/2_0_8", {second}), "");
    EXPECT_FALSE(exists(second_source));

    // A write refused by a read-only drive names the cause, not a number.
    write_poc1_plot(source.path, {3, 0, 8});
    ASSERT_TRUE(set_fault_cues(*drive, "fail_file=\nfail_writes=EROFS\n"));
    auto refused = run_cli(work.path, args);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("Read-only file system"), npos) << refused.out;
}

// Kill -9 mid-run and a power cut that loses what was not flushed: the next run resumes from the
// last record, which only ever describes flushed data. Ctrl-C stops a run with a last checkpoint
// and a line in the log.
TEST_F(cli_safety_test, a_power_cut_or_an_interrupt_loses_no_more_than_unflushed_work) {
    std::string why;
    std::string drive_path = faulty_destination({"--write-delay-ms", "0.5"}, &why);
    if (drive_path.empty()) {
        GTEST_SKIP() << why;
    }
    plot_spec_s plot{4, 0, 16};
    write_poc1_plot(source.path, plot);
    std::string record = drive_path + "/4_0_16.swizzling.progress";
    setenv("SCOOPSHIFT_CHECKPOINT_SECONDS", "0.1", 1);
    cli_process_s killed = start_cli(work.path, {"--keep-sources", source.path, drive_path});
    // The first checkpoint is whole once its record is flushed too: the second flush of the run.
    ASSERT_TRUE(reached([&] {
        std::optional<std::string> flushes = fault_figure(*drive, "flushes");
        return exists(record) && flushes && std::stoi(*flushes) >= 2;
    }));
    kill(killed.pid, SIGKILL);
    finish_cli(killed);
    ASSERT_TRUE(set_fault_cues(*drive, "power_cut=1\n"));

    cli_process_s stopped = start_cli(work.path, {"--keep-sources", source.path, drive_path});
    ASSERT_TRUE(reached([&] { return log().find("Resuming ") != npos; }));
    kill(stopped.pid, SIGINT);
    auto interrupted = finish_cli(stopped);
    EXPECT_EQ(interrupted.status, 1) << interrupted.err;
    EXPECT_NE(interrupted.err.find("Stopped:"), npos) << interrupted.err;
    EXPECT_NE(log().find("Stopped by the user (interrupt)"), npos) << log();

    ASSERT_TRUE(set_fault_cues(*drive, "write_delay_ms=0\n"));
    auto last = run_cli(work.path, {"--keep-sources", source.path, drive_path});
    unsetenv("SCOOPSHIFT_CHECKPOINT_SECONDS");
    EXPECT_EQ(last.status, 0) << last.out << last.err;
    EXPECT_NE(log().find("Resuming " + drive_path + "/4_0_16.swizzling"), npos) << log();
    EXPECT_EQ(check_poc2_file(destination.path + "/4_0_16", {plot}), "");
}

// In place converts a plot only when its name is the only way to its data: hard links and
// symbolic links are left alone, as are copies that only look like plots and a link planted
// where a journal goes.
TEST_F(cli_safety_test, in_place_never_converts_data_another_name_shows) {
    temp_folder_s other;
    plot_spec_s shared{1, 0, 8}, linked{2, 0, 8}, alone{3, 0, 8}, planted{5, 0, 8};
    std::string shared_path = write_poc1_plot(source.path, shared);
    std::string linked_path = write_poc1_plot(source.path, linked);
    std::string original = read_text_file(write_poc1_plot(source.path, alone));
    std::string planted_path = write_poc1_plot(other.path, planted);
    std::string copy = other.path + "/3_0_8_8.bak";
    write_text(copy, original);
    ASSERT_EQ(link(shared_path.c_str(), (other.path + "/1_0_8_8").c_str()), 0);
    ASSERT_EQ(symlink(linked_path.c_str(), (other.path + "/2_0_8_8").c_str()), 0);
    std::string victim = work.path + "/victim";
    write_text(victim, "not a journal");
    ASSERT_EQ(symlink(victim.c_str(), (other.path + "/5_0_8.swizzling.journal").c_str()), 0);
    std::string before = read_text_file(shared_path);

    // The plot behind the planted link fails; the one a symbolic link points to is converted
    // under its own name only, so the link's PoC1 name never shows PoC2 data.
    auto r = run_cli(work.path, {"--in-place", source.path, other.path});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(read_text_file(shared_path) == before);
    EXPECT_TRUE(read_text_file(other.path + "/1_0_8_8") == before);
    EXPECT_EQ(check_poc2_file(source.path + "/2_0_8", {linked}), "");
    EXPECT_EQ(check_poc2_file(source.path + "/3_0_8", {alone}), "");
    EXPECT_TRUE(read_text_file(copy) == original) << "a renamed copy is not a plot";
    EXPECT_EQ(read_text_file(victim), "not a journal");
    EXPECT_TRUE(exists(planted_path));
    for (const char* listed : {"1_0_8_8: another name shares its data (a hard link)",
                               "2_0_8_8: its name is a symbolic link",
                               "3_0_8_8.bak: its name only begins like a plot's"}) {
        EXPECT_NE(r.out.find(listed), npos) << listed << "\n" << r.out;
    }
    EXPECT_NE(r.out.find("taken by a symbolic link or a shared file"), npos) << r.out;
}

// A copying run writes only into files of its own making: not into a plot under conversion in
// place, not through a link planted where its temporary file or progress record goes.
TEST_F(cli_safety_test, a_copying_run_never_writes_through_what_is_not_its_own) {
    std::string why;
    std::string drive_path = faulty_destination({"--write-delay-ms", "1"}, &why);
    if (drive_path.empty()) {
        GTEST_SKIP() << why;
    }
    // An in-place run over the destination, killed once its plot is under its temporary name.
    plot_spec_s in_place{5, 0, 16};
    write_poc1_plot(destination.path, in_place);
    cli_process_s killed = start_cli(work.path, {"--in-place", "--max-ram", "0.00003", drive_path});
    ASSERT_TRUE(appears(destination.path + "/5_0_16.swizzling"));
    kill(killed.pid, SIGKILL);
    finish_cli(killed);
    std::string interrupted = read_text_file(destination.path + "/5_0_16.swizzling");

    // The same plot copied from elsewhere, and victims behind planted names.
    write_poc1_plot(source.path, in_place);
    for (const auto& plot : {plot_spec_s{7, 0, 8}, plot_spec_s{8, 0, 8}, plot_spec_s{9, 0, 8},
                             plot_spec_s{10, 0, 8}}) {
        write_poc1_plot(source.path, plot);
    }
    std::vector<std::string> victims;
    for (int i = 0; i < 3; ++i) {
        victims.push_back(work.path + "/victim" + std::to_string(i));
        write_text(victims.back(), "victim " + std::to_string(i));
    }
    ASSERT_EQ(symlink(victims[0].c_str(), (destination.path + "/7_0_8.swizzling").c_str()), 0);
    ASSERT_EQ(symlink(victims[1].c_str(), (destination.path + "/8_0_8.swizzling.progress").c_str()),
              0);
    ASSERT_EQ(link(victims[2].c_str(), (destination.path + "/9_0_8.swizzling").c_str()), 0);

    auto r = run_cli(work.path, {"--delete-sources", source.path, destination.path});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("5_0_16_16: its PoC2 plot " + destination.path +
                         "/5_0_16 is being converted in place there"),
              npos)
        << r.out;
    EXPECT_TRUE(read_text_file(destination.path + "/5_0_16.swizzling") == interrupted);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(read_text_file(victims[i]), "victim " + std::to_string(i));
    }
    for (const char* kept : {"5_0_16_16", "7_0_8_8", "8_0_8_8", "9_0_8_8"}) {
        EXPECT_TRUE(exists(source.path + "/" + kept)) << kept;
    }
    for (const char* absent : {"7_0_8", "8_0_8", "9_0_8", "10_0_8_8"}) {
        EXPECT_FALSE(exists(destination.path + "/" + absent) || exists(source.path + "/" + absent))
            << absent;
    }
    EXPECT_EQ(check_poc2_file(destination.path + "/10_0_8", {{10, 0, 8}}), "");
    EXPECT_NE(r.out.find("symbolic link"), npos) << r.out;

    auto finished = run_cli(work.path, {"--in-place", destination.path});
    EXPECT_NE(finished.out.find("finishes 5_0_16.swizzling"), npos) << finished.out;
    EXPECT_EQ(check_poc2_file(destination.path + "/5_0_16", {in_place}), "");
}

// One folder under two spellings, a plot reached through a hard link from a second folder, copies
// that only look like plots, and two names of one output: each plot converted once, and only
// the sources of what this run completed deleted.
TEST_F(cli_safety_test, every_plot_is_planned_once_and_only_exact_names_are_plots) {
    temp_folder_s second;
    plot_spec_s plot{3, 0, 8}, zero_led{7, 1000, 3};
    std::string plot_path = write_poc1_plot(source.path, plot);
    for (const char* copy : {"3_0_8_8.part", "3_0_8_8.bak", " 3_0_8_8"}) {
        write_text(source.path + "/" + copy, read_text_file(plot_path));
    }
    ASSERT_EQ(link(plot_path.c_str(), (second.path + "/3_0_8_8").c_str()), 0);
    std::string good = source.path + "/07_1000_3_3";
    ASSERT_EQ(std::rename(write_poc1_plot(source.path, zero_led).c_str(), good.c_str()), 0);
    std::string longer = write_poc1_plot(source.path, {7, 1000, 4});
    ASSERT_EQ(std::rename(longer.c_str(), (source.path + "/7_1000_3_3").c_str()), 0);

    auto r = run_cli(work.path, {"--delete-sources", source.path, source.path + "/.", second.path,
                                 destination.path});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Converted: 2"), npos) << r.out;
    EXPECT_EQ(check_poc2_file(destination.path + "/3_0_8", {plot}), "");
    EXPECT_EQ(check_poc2_file(destination.path + "/7_1000_3", {zero_led}), "");
    EXPECT_FALSE(exists(plot_path));
    EXPECT_FALSE(exists(good));
    for (const char* kept : {"3_0_8_8.part", "3_0_8_8.bak", " 3_0_8_8", "7_1000_3_3"}) {
        EXPECT_TRUE(exists(source.path + "/" + kept)) << kept;
    }
    EXPECT_TRUE(exists(second.path + "/3_0_8_8"));
    EXPECT_NE(r.out.find("7_1000_3_3: it would give the PoC2 plot 7_1000_3"), npos) << r.out;
}

// Two destination folders on one small volume: its room is promised once, so the plan leaves out
// what does not fit instead of running into "Out of space"; an output that fits exactly converts.
TEST_F(cli_safety_test, two_folders_of_one_volume_share_its_room) {
    small_volume_s volume(mounts.path + "/small", "10m");
    if (!volume.mounted) {
        GTEST_SKIP() << "mounting a size-limited tmpfs needs root";
    }
    std::string first = volume.path + "/first", second = volume.path + "/second";
    ASSERT_EQ(mkdir(first.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(second.c_str(), 0755), 0);
    std::vector<plot_spec_s> plots = {{1, 0, 16}, {2, 0, 16}, {3, 0, 16}}; // 4 MiB each
    for (const auto& plot : plots) {
        write_poc1_plot(source.path, plot);
    }
    auto r = run_cli(work.path, {"--keep-sources", source.path, "--destination", first,
                                 "--destination", second});
    EXPECT_EQ(r.status, 1) << "a plot was left out";
    EXPECT_EQ(r.err.find("Out of space"), npos) << r.err;
    EXPECT_NE(r.out.find("do not fit on any destination drive"), npos) << r.out;
    int converted = 0;
    for (const auto& plot : plots) {
        std::string name = std::to_string(plot.account_id) + "_0_16";
        for (const std::string& folder : {first, second}) {
            if (exists(folder + "/" + name)) {
                EXPECT_EQ(check_poc2_file(folder + "/" + name, {plot}), "");
                ++converted;
            }
        }
    }
    EXPECT_EQ(converted, 2);

    // A volume with room for exactly one output leaves none for its progress record: the plot
    // converts without one instead of failing at its last checkpoint.
    small_volume_s exact(mounts.path + "/exact", "4m");
    ASSERT_TRUE(exact.mounted);
    temp_folder_s lone;
    plot_spec_s plot{9, 0, 16};
    write_poc1_plot(lone.path, plot);
    auto fitted = run_cli(work.path, {"--keep-sources", lone.path, exact.path});
    EXPECT_EQ(fitted.status, 0) << fitted.err;
    EXPECT_EQ(check_poc2_file(exact.path + "/9_0_16", {plot}), "");
    EXPECT_NE(log().find("No room for the progress record"), npos) << "the volume had room left";
}

// 600 adjacent plots under the usual limit of 1024 open files: the merge is split where the
// limit requires, and says so, instead of failing with "Error code 24" on every run. Every scoop
// pair reads every plot, so the plots are kept in memory (/dev/shm) for the test to stay short,
// and under a sanitizer a quarter of the limit and of the plots show the same.
TEST_F(cli_safety_test, a_merge_of_many_plots_stays_within_the_open_files) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr std::uint64_t count = 150, open_files = 256, split = 96;
#else
    constexpr std::uint64_t count = 600, open_files = 1024, split = 480;
#endif
    temp_folder_s memory("/dev/shm");
    std::string from = memory.path + "/plots", to = memory.path + "/converted";
    ASSERT_EQ(mkdir(from.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(to.c_str(), 0755), 0);
    std::vector<plot_spec_s> plots;
    for (std::uint64_t i = 0; i < count; ++i) {
        plots.push_back({1, i, 1});
        ASSERT_FALSE(write_poc1_plot(from, plots.back()).empty());
    }
    cli_process_s run = start_cli(work.path, {"--delete-sources", from, to}, {}, [] {
        struct rlimit limit {
            open_files, open_files
        };
        setrlimit(RLIMIT_NOFILE, &limit);
    });
    auto r = finish_cli(run);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::string next = "1_" + std::to_string(split) + "_1_1";
    EXPECT_NE(log().find("Not merging " + next + ": a merged plot may read at most " +
                         std::to_string(split) + " files"),
              npos);
    auto middle = plots.begin() + static_cast<std::ptrdiff_t>(split);
    EXPECT_EQ(check_poc2_file(to + "/1_0_" + std::to_string(split), {plots.begin(), middle}), "");
    EXPECT_EQ(
        check_poc2_file(to + "/1_" + std::to_string(split) + "_" + std::to_string(count - split),
                        {middle, plots.end()}),
        "");
    EXPECT_FALSE(exists(from + "/1_0_1_1"));
}

// Small words: a memory limit is a plain decimal; a torn progress record says why its job starts
// over.
TEST_F(cli_safety_test, limits_are_decimals_and_a_torn_record_is_named) {
    for (const char* limit : {"0x10", "1e-300", "inf", "1,5", " 2", ""}) {
        auto r =
            run_cli(work.path, {"--plan-only", "--max-ram", limit, source.path, destination.path});
        EXPECT_EQ(r.status, 2) << limit;
        EXPECT_NE(r.err.find("--max-ram takes a size in GiB"), npos) << limit << r.err;
    }
    plot_spec_s plot{6, 0, 8};
    write_poc1_plot(source.path, plot);
    std::string temporary = destination.path + "/6_0_8.swizzling";
    write_text(temporary, std::string(8 * 262144, '\0'));
    write_text(temporary + ".progress", "torn");
    auto r = run_cli(work.path, {"--keep-sources", source.path, destination.path});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(log().find("Starting " + temporary +
                         " over: its progress record is torn or not "
                         "one of this program's"),
              npos);
    EXPECT_EQ(check_poc2_file(destination.path + "/6_0_8", {plot}), "");
}

} // namespace
