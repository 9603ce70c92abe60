// How much memory a run takes for plot data, and how it is divided: one rule
// for the worker, the configuration screen and the terminal front end.
//
// The budget is the user's limit, or nine tenths of the memory available to
// this program when the limit is automatic. A limit above what the machine can
// give now is lowered to that; a limit below the least a conversion works with
// is raised to it, since a run without buffers converts nothing.
//
// The budget is spent on tiles: equal buffers, each holding one transfer of a
// run. About eight of them (more when a small budget needs them to keep reads
// and writes in flight) balance the size of each transfer against how many are
// in flight; a tile is never smaller than 4 KiB (one block) nor larger than
// 8 MiB or the largest run (a run is N * 64 bytes), and no more than 32 tiles
// are taken, so a generous budget is not spent on buffers that add nothing.
//
// Where a drive spins, memory buys the length of the stretches a conversion
// reads and writes between two seeks, and with it the speed: on a model of a
// 7200 rpm disk, 128 MiB of buffers copy within 3% of a sequential copy and
// 256 MiB within 1 to 3%, in place within 3% of its floor. So the buffers take
// the budget up to 256 MiB (whatever the limit, automatic or more) and no more
// than a 16th of the largest job (a stretch takes at most a 32nd of a job and
// two are in memory), cut into at least 16 tiles no larger than a run's hull,
// each run into equal tiles, so that a small budget still makes its stretches as
// long as it can; a budget too small for 16 tiles is divided as above.
#pragma once

#include <cstdint>

#include "util/memory_status.h"

enum class budget_change {
    none,
    lowered_to_available, // the user's limit is more than the machine has free
    raised_to_smallest,   // the user's limit cannot hold the least a conversion needs
};

struct buffer_sizing_s {
    std::uint64_t budget_bytes = 0; // what the run keeps to
    std::uint64_t buffer_bytes = 0; // what it allocates for plot data; at most budget_bytes
    std::uint64_t tile_bytes = 0;   // each buffer; 0 for an empty plan
    std::uint64_t tiles = 0;
    budget_change change = budget_change::none;
};

// The budget of an automatic limit: nine tenths of the available memory.
std::uint64_t automatic_budget(const memory_status_s& memory);

// The least budget with which a run can convert anything; merged jobs need more, since they
// copy between the tiles of their sources and those of their target.
std::uint64_t smallest_budget(bool merged_jobs);

// The sizing of a run whose largest job has `largest_job_bytes`, under the limit `max_ram_bytes`
// (0 = automatic), on drives of which one spins (`rotational`) or none.
buffer_sizing_s size_buffers(const memory_status_s& memory, std::uint64_t largest_job_bytes,
                             std::uint64_t max_ram_bytes, bool merged_jobs,
                             bool rotational = false);

// Says in the log, once per run, how the rule changed the limit `limit` (nothing when it did not).
void log_budget_change(const buffer_sizing_s& sizing, std::uint64_t limit,
                       const memory_status_s& memory);
