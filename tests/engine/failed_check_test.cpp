// A check of the data path that does not hold: the carry a resumed pair is handed is not the one
// its layout asks for. Test programs abort there; the released program fails the job instead of
// writing the block without its neighbour's bytes, as it once did and completed the output. The
// files are in memory: the check needs no file system.
#include "engine_fixture.h"
#include "swizzler/job_pipeline.h"
#include "util/page_buffer.h"
#include "util/transfer_memory.h"

namespace {

TEST_F(engine_test, a_slipped_carry_fails_the_job_and_aborts_a_test) {
    plot_spec_s plot{1, 0, 24}; // runs of 1.5 KiB: every other block is shared by two runs
    auto store = std::make_shared<memory_files_s>();
    file_handle_s source = memory_file(*store, poc1_name(plot), 0);
    store->files[source.path] = poc1_plot_bytes(plot);
    file_handle_s target = memory_file(*store, "1_0_24.swizzling", plot_size(24));
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
        transfer_backend_s transfers = memory_transfers(store);
        EXPECT_TRUE(open_transfers(transfers, 32, nullptr));
        pipeline_result_s result = run_job_pipeline(record, layout, {&source}, target, pool,
                                                    transfers, {}, resume, {}, record.checkpoints);
        close_transfers(transfers);
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
}

} // namespace
