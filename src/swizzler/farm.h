// A conversion over several drives at once: the plan in streams.
//
// Jobs that share a drive (the whole disk under a source's or a destination's
// folder, not the partition) go into one stream and run one after the other,
// as a run always did; streams that share no drive run at the same time, each
// a conversion run of its own (its own buffers, transfers, work thread and
// counters), within the one memory budget, divided between them. A drive that
// fails fails the jobs of its stream only. When every stream has ended, one
// completion step covers the jobs of all of them.
//
// Threading: the farm is started, read and ended on the interface thread; each
// stream's work thread touches only its own run record, and hands its end back
// through the interface-task queue as a single run does. Job reports come on
// the stream's work thread; a front end copies what it needs and posts it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/conversion_plan.h"
#include "swizzler/buffer_sizing.h"
#include "swizzler/conversion_record.h"
#include "util/memory_status.h"

// A report of one job to the front end, with the number of its stream (its place in
// farm_s::streams); called on that stream's work thread, as swizzler_s::on_job_start is.
using job_report_fn = std::function<void(std::size_t stream, const conversion_job_s& job)>;

// What every stream of a farm is run with, besides its share of the budget.
struct farm_settings_s {
    bool verify_outputs = false;
    checkpoint_interval_s checkpoints;
    transfer_backend_s transfers = automatic_transfers(); // each stream opens a copy of its own
    job_report_fn on_job_start;                           // empty: no reports
    job_report_fn on_job_end;
};

struct farm_s {
    conversion_plan_s plan; // as it was started; farm_plan fills in the outcomes
    std::vector<std::unique_ptr<swizzler_s>> streams;
    std::vector<std::string> stream_names; // each stream's drives, as the screens name them
    std::function<void()> on_complete;     // after every stream has ended normally
    int streams_ended = 0;                 // interface thread
    bool finished = false;                 // every stream has ended and on_complete has run
};

// The program's farm (the window's run). Interface thread only.
farm_s& the_farm();

// The plan cut into streams that share no drive, in the plan's order within each; and for each
// a name of its drives ("sdb", or "sdb, sdc" when it spans more than one).
std::vector<conversion_plan_s> split_into_streams(const conversion_plan_s& plan,
                                                  std::vector<std::string>* names = nullptr);

// The memory the whole plan will use: the one sizing rule applied to each stream's share of
// the budget, summed (what "Using ... RAM" shows).
std::uint64_t farm_buffer_bytes(const memory_status_s& memory, const conversion_plan_s& plan,
                                std::uint64_t max_ram_bytes);

// The same for a plan already split into streams (splitting looks at every folder's drive).
std::uint64_t farm_buffer_bytes(const memory_status_s& memory,
                                const std::vector<conversion_plan_s>& streams,
                                std::uint64_t max_ram_bytes);

// The least limit with which every stream's even share of it is workable: the streams' count
// times the largest of their least budgets (0 for no streams).
std::uint64_t smallest_farm_budget(const std::vector<conversion_plan_s>& streams);

// How the sizing rule changed the budget `max_ram_bytes` for the plan: lowered when the limit is
// more than the memory available, raised when a stream's share of it cannot hold the least a
// conversion needs (what the notes beside "Using ... RAM" say).
budget_change farm_budget_change(const memory_status_s& memory, const conversion_plan_s& plan,
                                 std::uint64_t max_ram_bytes);

// The same for a plan already split into streams.
budget_change farm_budget_change(const memory_status_s& memory,
                                 const std::vector<conversion_plan_s>& streams,
                                 std::uint64_t max_ram_bytes);

// Splits the plan and starts one run per stream with the budget `max_ram_bytes` (0: automatic)
// divided between them; `on_complete` runs on the interface thread once all have ended
// normally. Does nothing when the farm already has streams. Interface thread.
void start_farm(farm_s& farm, const conversion_plan_s& plan, std::uint64_t max_ram_bytes,
                const farm_settings_s& settings, std::function<void()> on_complete);

// The streams' counters added up.
struct farm_progress_s {
    std::uint64_t total = 0;
    std::uint64_t read = 0;
    std::uint64_t written = 0;
    std::uint64_t resumed = 0;
    std::uint64_t verified = 0;
};
farm_progress_s farm_progress(const farm_s& farm);
farm_progress_s stream_progress(const swizzler_s& stream);

// Every job of every stream, with its outcome, in the order of the plan the farm was started
// with; existing and unplaced jobs as that plan had them.
conversion_plan_s farm_plan(const farm_s& farm);

// Asks every stream to stop (the same as a run's stop), and waits for their work threads.
void stop_farm(farm_s& farm);

// Waits for every stream's work thread (a terminal front end that quits after its end).
void join_farm(farm_s& farm);
