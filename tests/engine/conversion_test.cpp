#include <fstream>
#include <mutex>

#include "engine_fixture.h"

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
    EXPECT_EQ(record.buffer_bytes, 16u * 64);

    auto lines = log_lines();
    ASSERT_EQ(lines.size(), 7u) << read_text_file(log_path);
    EXPECT_EQ(lines[0], "Failed to disable system sleeping.");
    EXPECT_EQ(lines[1], "Work thread started");
    EXPECT_NE(lines[2].find("iB RAM available, limiting use to "), std::string::npos) << lines[2];
    EXPECT_TRUE(lines[2].ends_with("iB")) << lines[2];
    EXPECT_EQ(lines[3], "Using 2.0 KiB read buffers and 4.0 KiB write buffers");
    EXPECT_EQ(lines[4], "Opening source " + sources + "/7_1000_16_16");
    EXPECT_EQ(lines[5], "Creating target " + output + ".swizzling");
    EXPECT_EQ(lines[6], "Work thread ended");
}

TEST_F(conversion_test, the_budget_sets_the_capacity_and_a_second_start_changes_nothing) {
    add_job({{1, 0, 24}});
    int second = 0;
    start_work_thread(record, budget_for_16, [this] { ++completions; });
    start_work_thread(record, 12345, [&second] { ++second; });
    record.thread.join();
    run_ui_tasks();

    EXPECT_EQ(record.ram_limit, budget_for_16);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(record.buffer_bytes, 16u * 64);
    EXPECT_TRUE(log_has("Using 2.0 KiB read buffers and 4.0 KiB write buffers"));
    auto lines = log_lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.ends_with("iB RAM available, limiting use to 6.0 KiB");
    })) << read_text_file(log_path);
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

// One run of several jobs; `pair_zero` lists the hand-overs of pair 0 of a one-job run as
// (first target nonce, nonces), each written to scoop 0 and then to scoop 4095.
struct shape_s {
    const char* name;
    std::uint64_t budget;
    std::vector<std::vector<plot_spec_s>> jobs;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pair_zero;
};

void PrintTo(const shape_s& shape, std::ostream* out) {
    *out << shape.name;
}

class conversion_shapes : public engine_test, public ::testing::WithParamInterface<shape_s> {};

TEST_P(conversion_shapes, convert_every_byte_and_count_it_once) {
    const shape_s& shape = GetParam();
    std::mutex lock;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> writes;
    set_io_fault_hook([&](const file_handle_s&, io_direction direction, std::uint64_t offset,
                          std::uint64_t length) {
        if (direction == io_direction::write) {
            std::lock_guard hold(lock);
            writes.emplace_back(offset, length);
        }
        return 0;
    });
    std::vector<std::string> output;
    for (const auto& plots : shape.jobs) {
        output.push_back(add_job(plots));
    }
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

    if (!shape.pair_zero.empty()) {
        std::uint64_t n = record.plan.jobs[0].nonces;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> expected;
        for (auto [base, count] : shape.pair_zero) {
            expected.emplace_back(scoop_offset(n, 0, base), count * 64);
            expected.emplace_back(scoop_offset(n, 4095, base), count * 64);
        }
        ASSERT_EQ(writes.size(), 2048 * expected.size());
        // A task writes its two runs at the same time: only the order of the tasks is fixed,
        // and within one the run of scoop s lies before the run of scoop 4095 - s.
        for (std::size_t i = 0; i + 1 < writes.size(); i += 2) {
            if (writes[i].first > writes[i + 1].first) {
                std::swap(writes[i], writes[i + 1]);
            }
        }
        EXPECT_EQ(std::vector(writes.begin(), writes.begin() + expected.size()), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    shapes, conversion_shapes,
    ::testing::Values(
        shape_s{"merged_8_16_in_sets_of_16",
                budget_for_16,
                {{{3, 100, 8}, {3, 108, 16}}},
                {{0, 16}, {16, 8}}},
        shape_s{"merged_8_16_in_sets_of_8",
                budget_for_8,
                {{{3, 100, 8}, {3, 108, 16}}},
                {{0, 8}, {8, 8}, {16, 8}}},
        // A set holds nonces of two sources; no count is a multiple of the sector size.
        shape_s{"merged_5_11_in_sets_of_8",
                budget_for_8,
                {{{4, 50, 5}, {4, 55, 11}}},
                {{0, 8}, {8, 8}}},
        shape_s{"one_nonce", 0, {{{9, 0, 1}}}, {{0, 1}}},
        shape_s{"seven_nonces", 0, {{{9, 0, 7}}}, {{0, 7}}},
        shape_s{"a_thousand_nonces", 0, {{{9, 0, 1000}}}, {{0, 1000}}},
        // Runs that start and end off the sector grid: head and tail go through the page cache.
        shape_s{"forty_four_nonces_in_sets_of_16",
                budget_for_16,
                {{{9, 0, 44}}},
                {{0, 16}, {16, 16}, {32, 12}}},
        shape_s{"a_job_eight_times_the_capacity", budget_for_8, {{{2, 0, 64}}}, {}},
        shape_s{"two_jobs", 0, {{{5, 0, 8}}, {{6, 0, 24}}}, {}}),
    [](const ::testing::TestParamInfo<shape_s>& info) { return std::string(info.param.name); });

} // namespace
