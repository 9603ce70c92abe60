#include <fstream>
#include <map>
#include <mutex>

#include "engine_fixture.h"
#include "util/memory_status.h"
#include "util/size_text.h"

namespace {

using conversion_test = engine_test;

TEST_F(conversion_test, one_job_reports_its_steps_in_order_and_hands_the_end_to_the_ui) {
    plot_spec_s plot{7, 1000, 16};
    std::string output = add_job({plot});
    run(0);

    EXPECT_EQ(check_poc2_file(output, {plot}), "");
    EXPECT_EQ(record.plan.jobs[0].state, job_state::completed);
    EXPECT_EQ(completions, 1);
    EXPECT_TRUE(record.finished);
    EXPECT_TRUE(quits.empty());
    EXPECT_TRUE(shown().empty());
    EXPECT_EQ(record.buffer_bytes, 8192u) << "16 nonces: runs of 1 KiB, tiles of one block more";

    auto lines = log_lines();
    ASSERT_EQ(lines.size(), 8u) << read_text_file(log_path);
    EXPECT_EQ(lines[0], "Failed to disable system sleeping.");
    EXPECT_EQ(lines[1], "Work thread started");
    EXPECT_NE(lines[2].find("iB RAM available, limiting use to "), std::string::npos) << lines[2];
    EXPECT_TRUE(lines[2].ends_with("iB")) << lines[2];
    buffer_sizing_s sizing = size_buffers(read_memory_status(), plot_size(16), 0, false);
    EXPECT_EQ(lines[3], std::string("Using ") + size_text(sizing.buffer_bytes, true) +
                            " of buffers: " + std::to_string(sizing.tiles) + " tiles of 8.0 KiB " +
                            "for reads and writes");
    EXPECT_TRUE(lines[4].starts_with("Transfers go through ")) << lines[4];
    EXPECT_EQ(lines[5], "Opening source " + sources + "/7_1000_16_16");
    EXPECT_EQ(lines[6], "Creating target " + output + ".swizzling");
    EXPECT_EQ(lines[7], "Work thread ended");
}

TEST_F(conversion_test, the_budget_sets_the_tiles_and_a_second_start_changes_nothing) {
    add_job({{1, 0, 24}});
    int second = 0;
    start_work_thread(record, 6 * 1024, [this] { ++completions; });
    start_work_thread(record, 12345, [&second] { ++second; });
    record.thread.join();
    run_ui_tasks();

    EXPECT_EQ(record.ram_limit, 6u * 1024);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(record.buffer_bytes, 4096u);
    std::string least = size_text(smallest_budget(false), true);
    EXPECT_TRUE(log_has("Using " + least +
                        " of buffers: " + std::to_string(smallest_budget(false) / 4096) +
                        " tiles of 4.0 KiB for reads and writes"))
        << read_text_file(log_path);
    EXPECT_TRUE(
        log_has("The memory limit of 6.0 KiB cannot hold one chunk of buffers; using " + least));
}

TEST_F(conversion_test, a_path_longer_than_any_fixed_buffer_is_used_whole) {
    std::string deep = outputs + "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    deep += "/" + std::string(200, 'e');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    plot_spec_s plot{11, 0, 8};
    std::string output = add_job({plot}, deep);
    ASSERT_GT(output.size(), 400u);
    run(0);
    EXPECT_EQ(check_poc2_file(output, {plot}), "");
    EXPECT_TRUE(log_has("Creating target " + output + ".swizzling"));
    EXPECT_EQ(record.plan.jobs[0].state, job_state::completed);
}

TEST_F(conversion_test, a_source_whose_name_gives_no_count_adds_nothing_but_counts_must_add_up) {
    plot_spec_s plot{12, 0, 8};
    std::string output = add_job({plot});
    std::string junk = sources + "/not_a_plot";
    std::ofstream{junk}; // empty, as a name that gives no count must be
    record.plan.jobs[0].source_paths.push_back(junk);
    record.plan.jobs[0].source_nonces.push_back(0);
    std::string short_output = add_job({{13, 0, 8}});
    record.plan.jobs[1].nonces = 16; // more than its one source gives
    run(0);

    EXPECT_EQ(check_poc2_file(output, {plot}), "");
    EXPECT_EQ(record.plan.jobs[0].state, job_state::completed);
    EXPECT_FALSE(file_exists(short_output));
    EXPECT_FALSE(file_exists(short_output + ".swizzling"));
    EXPECT_EQ(record.plan.jobs[1].state, job_state::failed);
    EXPECT_TRUE(log_has("The sources of " + short_output + " hold 8 nonces, not 16"));
}

// One run of several jobs, converted with the given budget.
struct shape_s {
    const char* name;
    std::uint64_t budget;
    std::vector<std::vector<plot_spec_s>> jobs;
    bool spinning = false; // the run's drives spin: the stretch schedule
};

void PrintTo(const shape_s& shape, std::ostream* out) {
    *out << shape.name;
}

class conversion_shapes : public engine_test, public ::testing::WithParamInterface<shape_s> {};

// Every output bit-exact, every transfer on a block boundary, every target byte written exactly
// once, every source byte read, and the counters end where they must.
TEST_P(conversion_shapes, convert_every_byte_in_aligned_transfers_and_count_it_once) {
    const shape_s& shape = GetParam();
    std::mutex lock;
    struct transfer_s {
        std::string path;
        io_direction direction;
        std::uint64_t offset, length;
    };
    std::vector<transfer_s> transfers;
    add_fault_hook(record, [&](const file_handle_s& file, io_direction direction,
                               std::uint64_t offset, std::uint64_t length) {
        std::lock_guard hold(lock);
        transfers.push_back({file.path, direction, offset, length});
        return 0;
    });
    std::vector<std::string> output;
    for (const auto& plots : shape.jobs) {
        output.push_back(add_job(plots));
    }
    record.plan.rotational_drives = shape.spinning;
    run(shape.budget);

    for (std::size_t j = 0; j < shape.jobs.size(); ++j) {
        EXPECT_EQ(check_poc2_file(output[j], shape.jobs[j]), "");
        EXPECT_FALSE(file_exists(output[j] + ".swizzling"));
        EXPECT_EQ(record.plan.jobs[j].state, job_state::completed) << record.plan.jobs[j].failure;
    }
    EXPECT_EQ(record.bytes_read.load(), record.plan.bytes_total);
    EXPECT_EQ(record.bytes_written.load(), record.plan.bytes_total);
    EXPECT_EQ(record.bytes_buffered.load(), 0u);
    EXPECT_EQ(record.bytes_in_flight.load(), 0u);
    EXPECT_EQ(completions, 1);
    EXPECT_TRUE(shown().empty());

    // Written bytes of each target, as [offset, end) pieces: sorted, they must tile the file.
    std::map<std::string, std::vector<std::pair<std::uint64_t, std::uint64_t>>> written;
    std::map<std::string, std::uint64_t> read;
    for (const transfer_s& t : transfers) {
        EXPECT_EQ(t.offset % 4096, 0u) << t.path << " at " << t.offset;
        EXPECT_EQ(t.length % 4096, 0u) << t.path << " at " << t.offset << ", " << t.length;
        if (t.direction == io_direction::write) {
            written[t.path].emplace_back(t.offset, t.offset + t.length);
        } else {
            read[t.path] += t.length;
        }
    }
    for (std::size_t j = 0; j < shape.jobs.size(); ++j) {
        auto& pieces = written[output[j] + ".swizzling"];
        std::sort(pieces.begin(), pieces.end());
        std::uint64_t covered = 0;
        for (auto [begin, end] : pieces) {
            EXPECT_EQ(begin, covered) << "a gap or a byte written twice in " << output[j];
            covered = end;
        }
        EXPECT_EQ(covered, plot_size(record.plan.jobs[j].nonces));
        for (std::size_t i = 0; i < shape.jobs[j].size(); ++i) {
            const std::string& source = record.plan.jobs[j].source_paths[i];
            EXPECT_GE(read[source], plot_size(shape.jobs[j][i].nonces)) << source;
        }
    }
}

// Tiles of 4 KiB hold 64 nonces of a run: these shapes cross tiles, leave runs that start and
// end inside blocks (so their neighbours' carries matter), merge two and three sources of
// awkward sizes, and fit a whole run in one tile.
INSTANTIATE_TEST_SUITE_P(
    shapes, conversion_shapes,
    ::testing::Values(
        shape_s{"one_nonce", single_source_budget, {{{9, 0, 1}}}},
        shape_s{"seven_nonces", single_source_budget, {{{9, 0, 7}}}},
        shape_s{"sixty_three_nonces", single_source_budget, {{{9, 0, 63}}}},
        shape_s{"sixty_five_nonces", single_source_budget, {{{9, 0, 65}}}},
        shape_s{"a_thousand_nonces_in_small_tiles", single_source_budget, {{{9, 0, 1000}}}},
        shape_s{"a_thousand_nonces_whole_runs", 0, {{{9, 0, 1000}}}},
        shape_s{"merged_8_16", merged_budget, {{{3, 100, 8}, {3, 108, 16}}}},
        shape_s{"merged_5_11", merged_budget, {{{4, 50, 5}, {4, 55, 11}}}},
        shape_s{"merged_100_37_3", merged_budget, {{{4, 0, 100}, {4, 100, 37}, {4, 137, 3}}}},
        shape_s{"merged_whole_runs", 0, {{{4, 0, 130}, {4, 130, 70}}}},
        shape_s{"two_jobs", 0, {{{5, 0, 8}}, {{6, 0, 24}}}},
        shape_s{"spinning_a_thousand_nonces", 1 << 20, {{{9, 0, 1000}}}, true},
        shape_s{
            "spinning_merged_100_37_3", 1 << 20, {{{4, 0, 100}, {4, 100, 37}, {4, 137, 3}}}, true},
        shape_s{"spinning_two_jobs_whole_runs", 0, {{{5, 0, 67}}, {{6, 0, 24}}}, true}),
    [](const ::testing::TestParamInfo<shape_s>& info) { return std::string(info.param.name); });

} // namespace
