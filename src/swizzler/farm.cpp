#include "swizzler/farm.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <set>

#include "catalogue/plot_format.h"
#include "swizzler/buffer_sizing.h"
#include "swizzler/worker.h"
#include "util/drive_identity.h"
#include "util/log.h"
#include "util/size_text.h"

namespace {

// Groups of drives joined by the jobs that use them (a union of disjoint sets).
struct drive_sets_s {
    std::map<std::string, std::string> parent;
    std::string root(const std::string& disk) {
        auto found = parent.find(disk);
        if (found == parent.end()) {
            parent[disk] = disk;
            return disk;
        }
        if (found->second == disk) {
            return disk;
        }
        std::string top = root(found->second);
        parent[disk] = top;
        return top;
    }
    void join(const std::string& a, const std::string& b) { parent[root(a)] = root(b); }
};

// The folders whose drives a job uses.
std::vector<std::string> folders_of(const conversion_job_s& job) {
    std::vector<std::string> folders{job.source_folder};
    if (!job.in_place) {
        folders.push_back(job.destination_folder);
    }
    return folders;
}

// The farm's whole budget by the sizing rule: a limit above what is free now is lowered to it
// before it is divided, so that the streams together never count on more than the machine has.
std::uint64_t budget_of(const memory_status_s& memory, std::uint64_t max_ram_bytes) {
    return size_buffers(memory, 0, max_ram_bytes, false).budget_bytes;
}

void add_job_to(conversion_plan_s& plan, const conversion_job_s& job) {
    plan.bytes_total += plot_size(job.nonces);
    plan.largest_job_bytes = std::max(plan.largest_job_bytes, plot_size(job.nonces));
    plan.jobs.push_back(job);
}

} // namespace

farm_s& the_farm() {
    // Deliberately leaked, as the run record: a work thread may outlive the interface.
    static farm_s* farm = new farm_s();
    return *farm;
}

std::vector<conversion_plan_s> split_into_streams(const conversion_plan_s& plan,
                                                  std::vector<std::string>* names) {
    std::map<std::string, drive_identity_s> drives;
    drive_sets_s sets;
    auto drive = [&](const std::string& folder) -> const drive_identity_s& {
        auto found = drives.find(folder);
        if (found == drives.end()) {
            found = drives.emplace(folder, drive_of_folder(folder)).first;
        }
        return found->second;
    };
    for (const conversion_job_s& job : plan.jobs) {
        std::vector<std::string> disks;
        for (const std::string& folder : folders_of(job)) {
            const drive_identity_s& identity = drive(folder);
            disks.insert(disks.end(), identity.disks.begin(), identity.disks.end());
        }
        for (const std::string& disk : disks) {
            sets.join(disk, disks.front());
        }
    }
    // Streams in the order their first job comes in the plan.
    std::vector<conversion_plan_s> streams;
    std::vector<std::vector<std::string>> stream_drive_names;
    std::vector<std::set<std::string>> stream_disks;
    std::map<std::string, std::size_t> stream_of_root;
    for (const conversion_job_s& job : plan.jobs) {
        const drive_identity_s& first = drive(folders_of(job).front());
        std::string root = sets.root(first.disks.front());
        auto found = stream_of_root.find(root);
        if (found == stream_of_root.end()) {
            found = stream_of_root.emplace(root, streams.size()).first;
            streams.emplace_back();
            stream_drive_names.emplace_back();
            stream_disks.emplace_back();
        }
        conversion_plan_s& stream = streams[found->second];
        add_job_to(stream, job);
        for (const std::string& folder : folders_of(job)) {
            std::vector<std::string>& seen = stream_drive_names[found->second];
            const drive_identity_s& identity = drive(folder);
            if (std::find(seen.begin(), seen.end(), identity.name) == seen.end()) {
                seen.push_back(identity.name);
            }
            stream.rotational_drives = stream.rotational_drives || identity.rotational;
            stream_disks[found->second].insert(identity.disks.begin(), identity.disks.end());
        }
    }
    for (std::size_t i = 0; i < streams.size(); ++i) {
        streams[i].one_disk = stream_disks[i].size() == 1;
    }
    if (names != nullptr) {
        names->clear();
        for (const auto& seen : stream_drive_names) {
            std::string name;
            for (const std::string& part : seen) {
                name += (name.empty() ? "" : ", ") + part;
            }
            names->push_back(name);
        }
    }
    return streams;
}

std::uint64_t farm_buffer_bytes(const memory_status_s& memory, const conversion_plan_s& plan,
                                std::uint64_t max_ram_bytes) {
    return farm_buffer_bytes(memory, split_into_streams(plan), max_ram_bytes);
}

std::uint64_t farm_buffer_bytes(const memory_status_s& memory,
                                const std::vector<conversion_plan_s>& streams,
                                std::uint64_t max_ram_bytes) {
    if (streams.empty()) {
        return 0;
    }
    std::uint64_t share = budget_of(memory, max_ram_bytes) / streams.size();
    std::uint64_t total = 0;
    for (const conversion_plan_s& stream : streams) {
        memory_status_s enough = memory;
        enough.available_bytes = std::max(enough.available_bytes, share);
        total += size_buffers(enough, stream.largest_job_bytes, share, has_merged_jobs(stream),
                              stream.rotational_drives)
                     .buffer_bytes;
    }
    return total;
}

std::uint64_t smallest_farm_budget(const std::vector<conversion_plan_s>& streams) {
    std::uint64_t least = 0;
    for (const conversion_plan_s& stream : streams) {
        least = std::max(least, smallest_budget(has_merged_jobs(stream)));
    }
    return least * streams.size();
}

budget_change farm_budget_change(const memory_status_s& memory, const conversion_plan_s& plan,
                                 std::uint64_t max_ram_bytes) {
    return farm_budget_change(memory, split_into_streams(plan), max_ram_bytes);
}

budget_change farm_budget_change(const memory_status_s& memory,
                                 const std::vector<conversion_plan_s>& streams,
                                 std::uint64_t max_ram_bytes) {
    if (max_ram_bytes == 0) {
        return budget_change::none;
    }
    bool merged = std::any_of(streams.begin(), streams.end(), has_merged_jobs);
    if (size_buffers(memory, 0, max_ram_bytes, merged).change ==
        budget_change::lowered_to_available) {
        return budget_change::lowered_to_available;
    }
    if (streams.empty()) {
        return budget_change::none;
    }
    std::uint64_t share = budget_of(memory, max_ram_bytes) / streams.size();
    for (const conversion_plan_s& stream : streams) {
        memory_status_s enough = memory;
        enough.available_bytes = std::max(enough.available_bytes, share);
        if (size_buffers(enough, stream.largest_job_bytes, share, has_merged_jobs(stream)).change ==
            budget_change::raised_to_smallest) {
            return budget_change::raised_to_smallest;
        }
    }
    return budget_change::none;
}

void start_farm(farm_s& farm, const conversion_plan_s& plan, std::uint64_t max_ram_bytes,
                const farm_settings_s& settings, std::function<void()> on_complete) {
    if (!farm.streams.empty()) {
        return;
    }
    farm.plan = plan;
    number_jobs(farm.plan); // results come back by id: a plan made by hand may lack them
    std::vector<conversion_plan_s> plans = split_into_streams(farm.plan, &farm.stream_names);
    farm.on_complete = std::move(on_complete);
    farm.streams_ended = 0;
    farm.finished = false;
    if (plans.empty()) {
        return;
    }
    // One budget for the farm, divided evenly: an automatic one as nine tenths of what is free
    // now, a limit as it is unless more than is free. Each stream then keeps to its share by the
    // one sizing rule.
    memory_status_s memory = read_memory_status();
    buffer_sizing_s whole = size_buffers(memory, 0, max_ram_bytes, false);
    if (whole.change == budget_change::lowered_to_available) {
        log_budget_change(whole, max_ram_bytes, memory);
    }
    std::uint64_t share = whole.budget_bytes / plans.size();
    if (plans.size() > 1) {
        log_message("Converting on %d drives at once, each with %s of the memory budget\n",
                    static_cast<int>(plans.size()), size_text(share, true));
        for (std::size_t i = 0; i < plans.size(); ++i) {
            log_message("Drives %s: %d jobs, %s\n", farm.stream_names[i].c_str(),
                        static_cast<int>(plans[i].jobs.size()),
                        size_text(plans[i].bytes_total, false));
        }
    }
    // The first stream also carries the outputs already there, whose stray progress records a
    // run clears away.
    plans.front().existing_jobs = farm.plan.existing_jobs;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        auto stream = std::make_unique<swizzler_s>();
        stream->plan = std::move(plans[i]);
        stream->verify_outputs = settings.verify_outputs;
        stream->checkpoints = settings.checkpoints;
        stream->transfers = settings.transfers;
        if (settings.on_job_start) {
            stream->on_job_start = [report = settings.on_job_start,
                                    i](const conversion_job_s& job) { report(i, job); };
        }
        if (settings.on_job_end) {
            stream->on_job_end = [report = settings.on_job_end, i](const conversion_job_s& job) {
                report(i, job);
            };
        }
        farm.streams.push_back(std::move(stream));
    }
    // Started only once every stream exists: an end that comes early finds them all counted.
    for (auto& stream : farm.streams) {
        start_work_thread(*stream, share, [&farm] {
            if (++farm.streams_ended == static_cast<int>(farm.streams.size())) {
                farm.finished = true;
                if (farm.on_complete) {
                    farm.on_complete();
                }
            }
        });
    }
}

farm_progress_s stream_progress(const swizzler_s& stream) {
    farm_progress_s progress;
    progress.total = stream.plan.bytes_total;
    progress.read = stream.bytes_read.load();
    progress.written = stream.bytes_written.load();
    progress.resumed = stream.bytes_resumed.load();
    progress.verified = stream.bytes_verified.load();
    return progress;
}

farm_progress_s farm_progress(const farm_s& farm) {
    farm_progress_s sum;
    for (const auto& stream : farm.streams) {
        farm_progress_s one = stream_progress(*stream);
        sum.total += one.total;
        sum.read += one.read;
        sum.written += one.written;
        sum.resumed += one.resumed;
        sum.verified += one.verified;
    }
    return sum;
}

conversion_plan_s farm_plan(const farm_s& farm) {
    conversion_plan_s all = farm.plan;
    for (const auto& stream : farm.streams) {
        for (const conversion_job_s& job : stream->plan.jobs) {
            // Each stream holds copies of the farm plan's jobs, which keep their ids.
            if (!always(job.id < all.jobs.size() && all.jobs[job.id].output_path == job.output_path,
                        "swizzler", 501)) {
                continue;
            }
            all.jobs[job.id].state = job.state;
            all.jobs[job.id].failure = job.failure;
        }
    }
    return all;
}

void stop_farm(farm_s& farm) {
    for (auto& stream : farm.streams) {
        stream->stop = true;
    }
    join_farm(farm);
}

void join_farm(farm_s& farm) {
    for (auto& stream : farm.streams) {
        if (stream->thread.joinable()) {
            stream->thread.join();
        }
    }
}
