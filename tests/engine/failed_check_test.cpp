// A check of the data path that does not hold: the carry a resumed pair is handed is not the one
// its layout asks for. Test programs abort there; the released program fails the job instead of
// writing the block without its neighbour's bytes, as it once did and completed the output.
#include "engine_fixture.h"
#include "swizzler/job_pipeline.h"
#include "util/page_buffer.h"
#include "util/target_file.h"

namespace {

TEST_F(engine_test, a_slipped_carry_fails_the_job_and_aborts_a_test) {
    plot_spec_s plot{1, 0, 24}; // runs of 1.5 KiB: every other block is shared by two runs
    std::string source_path = write_poc1_plot(sources, plot);
    int error = 0;
    file_handle_s source = open_source_file(source_path, &error);
    target_failure why = target_failure::none;
    file_handle_s target = open_target_file(outputs + "/1_0_24.swizzling", &why, &error);
    ASSERT_GE(target.fd, 0);
    ASSERT_NE(size_target_file(target, plot_size(24), &error), target_sizing::failed);
    job_layout_s layout = make_job_layout({24}, 4096, 8192);

    // The first pair that takes a low carry, handed a copy shifted by one scoop.
    std::uint64_t pair = 1;
    while (carry_out(layout, target_run(layout, pair - 1, run_side::low), run_side::low).empty()) {
        ++pair;
    }
    byte_span_s due = carry_out(layout, target_run(layout, pair - 1, run_side::low), run_side::low);
    byte_span_s slipped{due.begin + scoop_size, due.end + scoop_size};
    std::vector<std::uint8_t> bytes(slipped.size(), 0x5a);
    pipeline_resume_s resume{pair, slipped, bytes.data(), {}, nullptr};

    auto run = [&] {
        page_buffer_s memory = allocate_pages(32 * 8192);
        tile_pool_s pool;
        init_tile_pool(pool, memory.data, 8192, 32);
        io_queue_s queue;
        std::string reason;
        EXPECT_TRUE(open_io_queue(queue, 32, test_io_backend(), &reason)) << reason;
        pipeline_result_s result = run_job_pipeline(record, layout, {&source}, target, pool, queue,
                                                    resume, {}, record.checkpoints);
        close_io_queue(queue);
        release_pages(memory);
        return result;
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(run(), "Assertion failure swizzler : 301");

    set_failed_checks_abort(false);
    pipeline_result_s released = run();
    set_failed_checks_abort(true);
    EXPECT_EQ(released.outcome, pipeline_outcome::check_failed);
    EXPECT_EQ(released.error, 301);
    EXPECT_TRUE(log_has("Assertion failure swizzler : 301"));
    close_file_handle(source);
    close_file_handle(target);
}

} // namespace
