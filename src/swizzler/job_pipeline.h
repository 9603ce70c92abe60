// Moving one job's data: reads, the exchange and writes kept in flight together.
//
// Design: one thread (the work thread) drives everything. It reads tiles of the
// sources ahead of need through the run's back-end, as far as the tile pool allows,
// exchanges the halves chunk by chunk as their tiles arrive, and submits every
// target tile for writing as soon as all of its bytes are there, so that reads
// and writes of many tiles are in flight at once without a thread hand-off per
// chunk. The job layout decides every transfer: all of them start and end on
// the job's alignment. A single-source job has the same layout in its source
// and its target, so its tiles are exchanged in place and written from where
// they were read; a merged job copies through separate target tiles. Results
// come back as the pipeline's outcome: a failed read or write fails the job,
// never the program, and the transfers still in flight are waited for first.
//
// Limits: one pipeline at a time per pool and back-end (each run has its own).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "swizzler/conversion_record.h"
#include "swizzler/job_layout.h"
#include "util/file_handle.h"
#include "util/transfer_backend.h"

// Equal buffers for tiles, allocated once per run. Work thread only.
struct tile_pool_s {
    std::uint8_t* memory = nullptr;
    std::uint64_t tile_bytes = 0; // each buffer's size: the largest tile a job may use
    std::uint64_t tiles = 0;
    std::vector<std::uint8_t*> free; // buffers not in use
};

// Carves `tiles` buffers of `tile_bytes` out of `memory` (which must hold them, page-aligned).
void init_tile_pool(tile_pool_s& pool, std::uint8_t* memory, std::uint64_t tile_bytes,
                    std::uint64_t tiles);

// The fewest tiles with which a job can always make progress.
std::uint64_t tiles_needed(bool in_place, std::uint64_t alignment, std::uint64_t tile_bytes);

// Where a resumed job goes on: its first pair and the carries the pair before it handed on.
struct pipeline_resume_s {
    std::uint64_t first_pair = 0;
    byte_span_s low_carry;
    const std::uint8_t* low_carry_bytes = nullptr;
    byte_span_s high_carry;
    const std::uint8_t* high_carry_bytes = nullptr;
};

// Called at a pair boundary once every target byte of the pairs before `pairs_done` has been
// written: the checkpoint makes them durable and records them with the carries those pairs
// hand on. Returns 0, or the errno that stopped it: a checkpoint that failed leaves the
// target's durable state unknown, and the job ends there.
using checkpoint_fn = std::function<int(std::uint64_t pairs_done, byte_span_s low_carry,
                                        const std::uint8_t* low_bytes, byte_span_s high_carry,
                                        const std::uint8_t* high_bytes)>;

// How a job's transfers are ordered.
struct pipeline_schedule_s {
    // Spinning drives: long ascending stretches (job_layout.h), each stretch's reads in file
    // order, its target written the same way once the previous stretch's writes have ended.
    // Otherwise, and where the budget makes stretches too short to pay, reads go as far ahead as
    // the tiles allow and each target tile is written as soon as it is whole.
    bool stretches = false;
    // The sources and the target share a disk: a stretch's reads queue up whole behind the last
    // stretch's writes instead of going between them, and two stretches may be read at once.
    bool one_disk = false;
    // Shorter stretches keep the other pattern: below 128 KiB a side, a disk that behaves like a
    // solid-state one waits longer between stretches than the seeks they save would cost.
    std::uint64_t least_stretch_bytes = 256 << 10;
};

// How many tiles one stretch may hold with this pool and layout; 0 when the schedule takes no
// stretches or the pool is too small for them (the job then runs as on solid-state drives).
std::uint64_t stretch_tiles_of(const tile_pool_s& pool, const job_layout_s& layout,
                               const pipeline_schedule_s& schedule);

// The stretch the schedule reads from chunk `first` on, with `stretch_tiles` tiles of room: *end
// is the chunk after it; false when it runs to the end of the job. Every other stretch, from the
// second on, reads and writes its high side before its low side.
bool next_stretch(const job_layout_s& layout, std::uint64_t stretch_tiles, const chunk_s& first,
                  chunk_s* end);

enum class pipeline_outcome {
    converted,
    read_failed,
    write_failed,
    flush_failed, // a checkpoint could not make the data durable or record it
    check_failed, // an internal check did not hold: nothing after it can be trusted
    stopped,
};

struct pipeline_result_s {
    pipeline_outcome outcome = pipeline_outcome::converted;
    std::string path;         // the file whose transfer failed
    std::uint64_t offset = 0; // where
    int error = 0;            // errno of the failure; the check's number for check_failed
};

// Converts the job laid out by `layout` from `sources` into `target` (created at full size),
// in the order `schedule` asks for, from the resume point on. Counts its progress in the record and
// gives up when the record's stop is set, after a last checkpoint of the pairs it finished.
// `checkpoint` may be empty.
pipeline_result_s run_job_pipeline(swizzler_s& record, const job_layout_s& layout,
                                   const std::vector<const file_handle_s*>& sources,
                                   const file_handle_s& target, tile_pool_s& pool,
                                   transfer_backend_s& transfers,
                                   const pipeline_schedule_s& schedule,
                                   const pipeline_resume_s& resume, const checkpoint_fn& checkpoint,
                                   const checkpoint_interval_s& interval);
