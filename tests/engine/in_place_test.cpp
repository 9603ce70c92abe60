// In-place conversion: bit-exact output under the plot's PoC2 name, for awkward geometries and
// budgets, and the names a plot goes through.
#include "in_place_fixture.h"

namespace {

struct in_place_shape_s {
    const char* name;
    plot_spec_s plot;
    std::uint64_t budget;
    bool in_memory = false; // on tmpfs: thousands of groups, whose flushes a disk would make slow
    bool spinning = false;  // one set of groups as long as the buffers hold
};

void PrintTo(const in_place_shape_s& shape, std::ostream* out) {
    *out << shape.name;
}

class in_place_shapes : public in_place_test,
                        public ::testing::WithParamInterface<in_place_shape_s> {};

TEST_P(in_place_shapes, the_plot_becomes_its_poc2_form_under_its_poc2_name) {
    const in_place_shape_s& shape = GetParam();
    std::unique_ptr<temp_folder_s> memory;
    if (shape.in_memory) {
        if (access("/dev/shm", W_OK) != 0) {
            GTEST_SKIP() << "no /dev/shm to hold a plot in memory";
        }
        setenv("TMPDIR", "/dev/shm", 1);
        memory = std::make_unique<temp_folder_s>();
        unsetenv("TMPDIR");
        sources = memory->path;
    }
    std::string output = write_plot(shape.plot);
    auto run = run_in_place(shape.plot, shape.budget,
                            [&](swizzler_s& run) { run.plan.rotational_drives = shape.spinning; });
    const conversion_job_s& job = run->plan.jobs[0];
    EXPECT_EQ(job.state, job_state::completed) << job.failure << read_text_file(log_path);
    EXPECT_EQ(check_poc2_file(output, {shape.plot}), "");
    EXPECT_EQ(names(), std::set<std::string>{file_name_of(output).data()});
    EXPECT_EQ(run->bytes_read.load(), plot_size(shape.plot.nonces));
    EXPECT_EQ(run->bytes_written.load(), plot_size(shape.plot.nonces));
    EXPECT_EQ(run->bytes_buffered.load(), 0u);
    EXPECT_EQ(run->bytes_in_flight.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    geometries, in_place_shapes,
    ::testing::Values(in_place_shape_s{"one_nonce_least_budget", {1, 0, 1}, 0},
                      in_place_shape_s{"odd_nonces_least_budget", {2, 5, 7}, 1},
                      in_place_shape_s{"many_groups_in_one_run", {3, 0, 60}, 1, true},
                      in_place_shape_s{"whole_runs_per_group", {4, 9, 13}, 256 * 1024},
                      in_place_shape_s{"one_group", {5, 0, 16}, 64 << 20},
                      in_place_shape_s{"runs_straddling_blocks", {6, 0, 67}, 96 * 1024},
                      in_place_shape_s{"spinning_one_set", {7, 0, 67}, 96 * 1024, false, true},
                      in_place_shape_s{"spinning_least_budget", {8, 5, 7}, 1, true, true}),
    [](const ::testing::TestParamInfo<in_place_shape_s>& info) { return info.param.name; });

} // namespace
