// The copying pipeline without a file system: on files in memory (whose completions come back
// in a scrambled order) every schedule converts every byte exactly once in aligned transfers,
// also when a stopped job is taken over from its checkpoint; on the disk model the stretch
// schedule meets each drive with exactly the ascending pieces it planned.
#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "catalogue/plot_format.h"
#include "support/plot_files.h"
#include "swizzler/buffer_sizing.h"
#include "swizzler/job_pipeline.h"
#include "util/page_buffer.h"
#include "util/transfer_faults.h"
#include "util/transfer_memory.h"
#include "util/transfer_model.h"

// Pieces of a disk compare by their bytes.
bool operator==(const byte_span_s& a, const byte_span_s& b) {
    return a.begin == b.begin && a.end == b.end;
}

namespace {

const memory_status_s machine{std::uint64_t{16} << 30, std::uint64_t{32} << 30};

// One job's files, tiles and layout, sized as a run would size them.
struct job_s {
    std::vector<plot_spec_s> plots;
    std::vector<file_handle_s> sources;
    file_handle_s target;
    buffer_sizing_s sizing;
    page_buffer_s pages;
    tile_pool_s pool;
    job_layout_s layout;

    job_s(const std::vector<plot_spec_s>& plots_, std::uint64_t budget, bool rotational,
          const std::function<file_handle_s(const std::string&, std::uint64_t)>& make_file)
        : plots(plots_) {
        std::vector<std::uint64_t> nonces;
        for (const plot_spec_s& plot : plots) {
            sources.push_back(make_file(poc1_name(plot), plot_size(plot.nonces)));
            nonces.push_back(plot.nonces);
        }
        layout = make_job_layout(nonces, 4096, 4096);
        target = make_file("target", plot_size(layout.nonces));
        sizing =
            size_buffers(machine, plot_size(layout.nonces), budget, plots.size() > 1, rotational);
        pages = allocate_pages(sizing.buffer_bytes);
        init_tile_pool(pool, pages.data, sizing.tile_bytes, sizing.tiles);
        layout = make_job_layout(nonces, 4096, sizing.tile_bytes);
    }
    ~job_s() { release_pages(pages); }

    pipeline_result_s run(swizzler_s& record, transfer_backend_s& transfers,
                          const pipeline_schedule_s& schedule, const pipeline_resume_s& resume = {},
                          const checkpoint_fn& checkpoint = {}) {
        std::vector<const file_handle_s*> files;
        for (const file_handle_s& source : sources) {
            files.push_back(&source);
        }
        EXPECT_TRUE(open_transfers(transfers, static_cast<unsigned>(sizing.tiles), nullptr));
        pipeline_result_s result = run_job_pipeline(record, layout, files, target, pool, transfers,
                                                    schedule, resume, checkpoint, {1e9, 1});
        close_transfers(transfers);
        return result;
    }
};

struct shape_s {
    const char* name;
    std::vector<plot_spec_s> plots;
    std::uint64_t budget;
};

void PrintTo(const shape_s& shape, std::ostream* out) {
    *out << shape.name;
}

class pipeline_in_memory : public ::testing::TestWithParam<shape_s> {
  protected:
    std::shared_ptr<memory_files_s> store = std::make_shared<memory_files_s>();

    std::unique_ptr<job_s> make_job(bool rotational) {
        auto job = std::make_unique<job_s>(GetParam().plots, GetParam().budget, rotational,
                                           [this](const std::string& path, std::uint64_t size) {
                                               return memory_file(*store, path, size);
                                           });
        for (const plot_spec_s& plot : job->plots) {
            std::lock_guard hold(store->lock);
            store->files[poc1_name(plot)] = poc1_plot_bytes(plot);
        }
        return job;
    }
};

// Every schedule: the output bit-exact, every transfer on a block boundary, every target byte
// written once, every counter where it must end. Then the same job with a checkpoint at every
// pair, each finding on the target what it records, stopped halfway and taken over from its last
// checkpoint: the second run reads only what the first left.
TEST_P(pipeline_in_memory, every_schedule_converts_every_byte_once_and_resumes_from_a_checkpoint) {
    // Stretches as short as the budget makes them: these plots are small.
    for (pipeline_schedule_s schedule :
         {pipeline_schedule_s{false, false, 0}, pipeline_schedule_s{true, false, 0},
          pipeline_schedule_s{true, true, 0}}) {
        SCOPED_TRACE(schedule.stretches ? (schedule.one_disk ? "stretches, one disk" : "stretches")
                                        : "many in flight");
        auto job = make_job(schedule.stretches);
        ASSERT_NE(job->pages.data, nullptr);
        ASSERT_EQ(stretch_tiles_of(job->pool, job->layout, schedule) > 0, schedule.stretches);
        std::mutex lock;
        std::map<std::uint64_t, std::uint64_t> written; // target offset -> end
        std::uint64_t unaligned = 0, writes_to_stop = 0;
        bool resuming = false;
        swizzler_s record;
        auto watch = [&](const file_handle_s& file, io_direction direction, std::uint64_t offset,
                         std::uint64_t length) {
            std::lock_guard hold(lock);
            unaligned += offset % 4096 != 0 || length % 4096 != 0 ? 1 : 0;
            if (direction == io_direction::write && file.path == "target") {
                // Taken over, a job writes its pair in progress again; a whole run never twice.
                EXPECT_TRUE(written.emplace(offset, offset + length).second || resuming) << offset;
                if (writes_to_stop > 0 && --writes_to_stop == 0) {
                    record.stop = true;
                }
            }
            return 0;
        };
        transfer_backend_s transfers = with_faults(memory_transfers(store), watch);
        // The first run stops after a third of the writes and records where.
        std::uint64_t total_writes = 0;
        {
            swizzler_s probe;
            auto counting = job->run(probe, transfers, schedule);
            ASSERT_EQ(counting.outcome, pipeline_outcome::converted);
            total_writes = written.size();
            EXPECT_EQ(check_poc2_bytes(memory_file_bytes(*store, "target"), "target", job->plots),
                      "");
            std::uint64_t covered = 0;
            for (auto [begin, end] : written) {
                EXPECT_EQ(begin, covered) << "a gap or a byte written twice";
                covered = end;
            }
            EXPECT_EQ(covered, plot_size(job->layout.nonces));
            EXPECT_EQ(probe.bytes_read.load(), plot_size(job->layout.nonces));
            EXPECT_EQ(probe.bytes_written.load(), plot_size(job->layout.nonces));
            EXPECT_EQ(probe.bytes_buffered.load(), 0u);
            EXPECT_EQ(probe.bytes_in_flight.load(), 0u);
            EXPECT_EQ(unaligned, 0u);
        }
        std::vector<std::uint8_t> reference = memory_file_bytes(*store, "target");
        store->files["target"].assign(plot_size(job->layout.nonces), 0);
        resuming = true;
        writes_to_stop = total_writes / 3;
        pipeline_resume_s resume;
        std::vector<std::uint8_t> low_bytes, high_bytes;
        auto checkpoint = [&](std::uint64_t pairs_done, byte_span_s low, const std::uint8_t* low_at,
                              byte_span_s high, const std::uint8_t* high_at) {
            if (pairs_done < scoop_pairs) {
                // The last pairs it records are on the target already, but for their carries.
                std::lock_guard hold(store->lock);
                const std::vector<std::uint8_t>& target = store->files["target"];
                for (std::uint64_t pair = pairs_done > 2 ? pairs_done - 2 : 0; pair < pairs_done;
                     ++pair) {
                    for (run_side side : {run_side::low, run_side::high}) {
                        byte_span_s run = target_run(job->layout, pair, side);
                        for (std::uint64_t at = run.begin; at < run.end; ++at) {
                            bool carried = (at >= low.begin && at < low.end) ||
                                           (at >= high.begin && at < high.end);
                            if (!carried && target[at] != reference[at]) {
                                ADD_FAILURE() << "byte " << at << " of pair " << pair
                                              << " not written at the checkpoint of " << pairs_done;
                                return 0;
                            }
                        }
                    }
                }
                low_bytes.assign(low_at, low_at + low.size());
                high_bytes.assign(high_at, high_at + high.size());
                resume = {pairs_done, low, nullptr, high, nullptr};
            }
            return 0;
        };
        EXPECT_EQ(job->run(record, transfers, schedule, {}, checkpoint).outcome,
                  pipeline_outcome::stopped);
        ASSERT_GT(resume.first_pair, 0u);
        resume.low_carry_bytes = low_bytes.data();
        resume.high_carry_bytes = high_bytes.data();
        swizzler_s again;
        EXPECT_EQ(job->run(again, transfers, schedule, resume).outcome,
                  pipeline_outcome::converted);
        EXPECT_EQ(check_poc2_bytes(memory_file_bytes(*store, "target"), "target", job->plots), "");
        EXPECT_EQ(again.bytes_read.load(),
                  plot_size(job->layout.nonces) - resume.first_pair * 2 * job->layout.nonces * 64);
    }
}

// Tiles of 4 KiB hold 64 nonces of a run: these shapes cross tiles, leave runs that start and
// end inside blocks (so their neighbours' carries and shared blocks matter), merge sources of
// awkward sizes, and hold many whole runs in one stretch.
INSTANTIATE_TEST_SUITE_P(
    shapes, pipeline_in_memory,
    ::testing::Values(shape_s{"one_nonce", {{9, 0, 1}}, 64 << 10},
                      shape_s{"sixty_five_nonces_small", {{9, 0, 65}}, 96 << 10},
                      shape_s{"three_hundred_nonces_in_parts_of_runs", {{9, 0, 300}}, 56 << 10},
                      shape_s{"sixty_four_nonces_whole_runs", {{9, 0, 64}}, 0},
                      shape_s{"merged_5_11", {{4, 50, 5}, {4, 55, 11}}, smallest_budget(true)},
                      shape_s{
                          "merged_100_37_3", {{4, 0, 100}, {4, 100, 37}, {4, 137, 3}}, 160 << 10},
                      shape_s{"merged_whole_runs", {{4, 0, 130}, {4, 130, 70}}, 0}),
    [](const ::testing::TestParamInfo<shape_s>& info) { return std::string(info.param.name); });

// The stretches of a job as next_stretch plans them; for each, the bytes it covers in one file
// on each side, high side first in every other stretch.
std::vector<byte_span_s> planned_pieces(const job_layout_s& layout, std::uint64_t stretch_tiles,
                                        bool in_target) {
    std::vector<byte_span_s> pieces;
    chunk_s first, end;
    first_chunk(layout, &first);
    for (std::uint64_t index = 0, more = 1; more; ++index) {
        more = next_stretch(layout, stretch_tiles, first, &end);
        byte_span_s side[2] = {{~std::uint64_t{0}, 0}, {~std::uint64_t{0}, 0}};
        for (chunk_s chunk = first; !same_chunk(chunk, end);) {
            for (int s = 0; s < 2; ++s) {
                run_side which = s == 0 ? run_side::low : run_side::high;
                byte_span_s bytes = in_target ? chunk_in_target(layout, chunk, which)
                                              : chunk_in_source(layout, chunk, which);
                side[s] = {std::min(side[s].begin, bytes.begin), std::max(side[s].end, bytes.end)};
            }
            if (!next_chunk(layout, &chunk)) {
                break;
            }
        }
        int order[2] = {index % 2 == 1 ? 1 : 0, index % 2 == 1 ? 0 : 1};
        for (int s : order) {
            pieces.push_back({side[s].begin / 4096 * 4096, (side[s].end + 4095) / 4096 * 4096});
        }
        first = end;
    }
    return pieces;
}

// Pieces that follow each other without a gap, as one: how a drive meets them.
std::vector<byte_span_s> joined(const std::vector<byte_span_s>& pieces) {
    std::vector<byte_span_s> runs;
    for (const byte_span_s& piece : pieces) {
        if (!runs.empty() && runs.back().end == piece.begin) {
            runs.back().end = piece.end;
        } else {
            runs.push_back(piece);
        }
    }
    return runs;
}

// What the disk served in one direction, as runs of requests each starting where the one before
// ended, from `base` (where the file begins on the disk).
std::vector<byte_span_s> served_runs(const model_disk_s& disk, io_direction direction,
                                     std::uint64_t base) {
    std::vector<byte_span_s> pieces;
    for (const served_request_s& request : disk.served) {
        if (request.direction == direction) {
            pieces.push_back({request.at - base, request.at - base + request.length});
        }
    }
    return joined(pieces);
}

// On a spinning drive each stretch is read as its plan says: one ascending piece a side, high
// side first in every other one, a read only where the last one ended but at a stretch's sides;
// the target is written the same way. Whole runs per stretch, parts of runs, shared blocks; the
// target on a disk of its own, or on the sources' disk, where reads queue behind writes.
TEST(stretch_schedule, the_model_disks_meet_exactly_the_planned_ascending_pieces) {
    struct case_s {
        std::uint64_t nonces, budget;
        bool one_disk;
    };
    for (case_s c :
         {case_s{64, 0, false}, case_s{67, 160 << 10, false}, case_s{4096, 256 << 10, false},
          case_s{4099, 256 << 10, false}, case_s{64, 0, true}, case_s{4099, 512 << 10, true}}) {
        SCOPED_TRACE(std::to_string(c.nonces) + " nonces" + (c.one_disk ? ", one disk" : ""));
        disk_model_params_s params;
        params.logs_requests = true;
        auto model = make_disk_model(params, 2);
        unsigned target_disk = c.one_disk ? 0 : 1;
        std::uint64_t target_at = c.one_disk ? std::uint64_t{1} << 40 : 0;
        job_s job({{7, 0, c.nonces}}, c.budget, true,
                  [&](const std::string& path, std::uint64_t size) {
                      bool target = path == "target";
                      return model_file(*model, path, target ? target_disk : 0,
                                        target ? target_at : 0, size);
                  });
        pipeline_schedule_s schedule{true, c.one_disk, 0};
        std::uint64_t room = stretch_tiles_of(job.pool, job.layout, schedule);
        ASSERT_GT(room, 0u);
        swizzler_s record;
        transfer_backend_s transfers = model_transfers(model);
        ASSERT_EQ(job.run(record, transfers, schedule).outcome, pipeline_outcome::converted);

        // Where runs fill whole blocks, the pieces each disk meets are exactly the planned ones.
        // Elsewhere a stretch may also read again the one block it shares with the one before,
        // or find it read already; it never meets more pieces than planned.
        std::vector<byte_span_s> planned = planned_pieces(job.layout, room, false);
        const model_disk_s& source_disk = model->disks[0];
        const model_disk_s& written_disk = model->disks[target_disk];
        std::vector<byte_span_s> reads = served_runs(source_disk, io_direction::read, 0);
        std::vector<byte_span_s> writes = served_runs(written_disk, io_direction::write, target_at);
        std::vector<byte_span_s> expected_reads = joined(planned);
        std::vector<byte_span_s> expected_writes = joined(planned_pieces(job.layout, room, true));
        EXPECT_GE(planned.size(), 8u) << "more than one stretch";
        if (c.nonces % 64 == 0) {
            EXPECT_EQ(reads, expected_reads);
            EXPECT_EQ(writes, expected_writes);
        }
        EXPECT_LE(reads.size(), expected_reads.size());
        EXPECT_LE(writes.size(), expected_writes.size());
        if (c.one_disk) {
            // Reads and writes take turns by stretches, never request by request (two pieces a
            // stretch). With the automatic budget's many tiles, the next stretch's reads wait on
            // the disk while one is exchanged: two stretches' reads, then two stretches' writes.
            std::size_t turns = 0;
            for (std::size_t i = 1; i < source_disk.served.size(); ++i) {
                turns += source_disk.served[i].direction != source_disk.served[i - 1].direction;
            }
            EXPECT_LE(turns, c.budget == 0 ? planned.size() / 2 + 4 : planned.size());
        } else {
            EXPECT_EQ(source_disk.seeks, reads.size()) << "a seek only where a piece begins";
            EXPECT_EQ(written_disk.seeks, writes.size());
        }
        EXPECT_LE(source_disk.bytes_read, plot_size(c.nonces) + planned.size() * 4096);
        EXPECT_EQ(written_disk.bytes_written, plot_size(c.nonces));
        EXPECT_EQ(record.bytes_written.load(), plot_size(c.nonces));
    }
}

} // namespace
