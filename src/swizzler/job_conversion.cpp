#include "swizzler/job_conversion.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "catalogue/plot_format.h"
#include "swizzler/output_check.h"
#include "swizzler/progress_record.h"
#include "swizzler/target_creation.h"
#include "util/log.h"
#include "util/positioned_io.h"

namespace {

constexpr int main_window = 0;

struct source_s {
    file_handle_s file;
    std::uint64_t nonces = 0; // as its name gives it
};

void fail_job(conversion_job_s& job, std::string reason) {
    job.state = job_state::failed;
    job.failure = std::move(reason);
}

void close_sources(std::vector<source_s>& sources) {
    for (auto& source : sources) {
        close_file_handle(source.file);
    }
    sources.clear();
}

// Opens every source of the job; false (the job failed, its box shown) when one cannot be.
bool open_sources(conversion_job_s& job, std::vector<source_s>& sources) {
    for (std::size_t i = 0; i < job.source_paths.size(); ++i) {
        const std::string& path = job.source_paths[i];
        log_message("Opening source %s\n", path.c_str());
        int error = 0;
        file_handle_s file = open_source_file(path, &error);
        if (file.fd < 0 && error == EWOULDBLOCK) {
            log_message("%s is being converted in place by another run\n", path.c_str());
            show_message(main_window, "Error",
                         "%s\nis being converted in place by another run.\n%s will not be "
                         "converted by this one; its source files are kept.",
                         path.c_str(), job.output_path.c_str());
            fail_job(job, "its source " + path + " is being converted in place by another run");
            close_sources(sources);
            return false;
        }
        if (file.fd < 0) {
            show_message(main_window, "Error", "Could not open file:\n %s\nError code %d\n",
                         path.c_str(), error);
            log_message("Failed to open %s for reading!\n", path.c_str());
            fail_job(job, "its source " + path + " could not be opened");
            close_sources(sources);
            return false;
        }
        std::uint64_t nonces = i < job.source_nonces.size() ? job.source_nonces[i] : 0;
        sources.push_back({std::move(file), nonces});
    }
    return true;
}

// Every source must hold exactly what its name promises and the names must add up to the job.
// A shorter source would leave blocks that no source filled; a longer one has its scoops at
// other offsets than its name says, so its conversion would be wrong from the first byte.
bool check_sources(conversion_job_s& job, const std::vector<source_s>& sources) {
    std::uint64_t total = 0;
    for (const source_s& source : sources) {
        std::uint64_t promised = plot_size(source.nonces);
        struct stat status {};
        if (fstat(source.file.fd, &status) != 0) {
            log_message("Could not read the length of %s, error %d\n", source.file.path.c_str(),
                        errno);
            fail_job(job, "the length of its source " + source.file.path + " could not be read");
            return false;
        }
        auto length = static_cast<std::uint64_t>(status.st_size);
        if (length != promised) {
            const char* relation = length < promised ? "less" : "more";
            log_message("Source %s holds %llu bytes, %s than the %llu bytes its name gives\n",
                        source.file.path.c_str(), static_cast<unsigned long long>(length), relation,
                        static_cast<unsigned long long>(promised));
            show_message(main_window, "Error",
                         "The file\n %s\nholds %llu bytes, %s than the %llu bytes its name "
                         "gives.\n%s will not be converted; its source files are kept.",
                         source.file.path.c_str(), static_cast<unsigned long long>(length),
                         relation, static_cast<unsigned long long>(promised),
                         job.output_path.c_str());
            fail_job(job, "its source " + source.file.path + " is " +
                              (length < promised ? "shorter" : "longer") + " than its name says");
            return false;
        }
        total += source.nonces;
    }
    if (total != job.nonces) {
        log_message("The sources of %s hold %llu nonces, not %llu\n", job.output_path.c_str(),
                    static_cast<unsigned long long>(total),
                    static_cast<unsigned long long>(job.nonces));
        fail_job(job, "its sources do not add up to its nonce count");
        return false;
    }
    return true;
}

const char* target_failure_reason(target_failure why) {
    switch (why) {
    case target_failure::in_use:
        return "its target file is being written by another run";
    case target_failure::no_room:
        return "there was no room for its target file";
    default:
        return "its target file could not be created";
    }
}

std::uint64_t largest_power_of_two_at_most(std::uint64_t value) {
    std::uint64_t power = 1;
    while (power <= value / 2) {
        power *= 2;
    }
    return power;
}

// The job's layout: transfers aligned to the strictest of its files, tiles as large as the
// pool's buffers allow.
job_layout_s layout_for(const std::vector<source_s>& sources, const file_handle_s& target,
                        const tile_pool_s& pool) {
    std::uint64_t alignment = target.io_alignment;
    std::vector<std::uint64_t> nonces;
    for (const source_s& source : sources) {
        alignment = std::max<std::uint64_t>(alignment, source.file.io_alignment);
        nonces.push_back(source.nonces);
    }
    alignment = std::min(alignment, largest_power_of_two_at_most(pool.tile_bytes));
    return make_job_layout(nonces, alignment, pool.tile_bytes);
}

// Reads the flushed target back against its sources; false (the job failed) unless it matches.
bool prove_output(swizzler_s& record, conversion_job_s& job, const std::vector<source_s>& sources,
                  const file_handle_s& target, const std::string& temporary_path,
                  job_means_s& means) {
    std::vector<check_source_s> checked;
    for (const auto& source : sources) {
        checked.push_back({&source.file, source.nonces});
    }
    tile_pool_s& pool = *means.pool;
    check_space_s space{pool.free[0],
                        pool.free[1],
                        pool.free[2],
                        pool.free[3],
                        pool.tile_bytes / scoop_size,
                        means.low_reader,
                        means.high_reader,
                        &record.transfers};
    log_message("Verifying %s\n", temporary_path.c_str());
    std::uint64_t difference = 0;
    switch (check_output(record, checked, target, job.nonces, space, &difference)) {
    case check_result::same:
        log_message("Verified %s\n", temporary_path.c_str());
        return true;
    case check_result::different:
        log_message("Verification of %s failed: it differs from its sources at offset %llu\n",
                    temporary_path.c_str(), static_cast<unsigned long long>(difference));
        show_message(main_window, "Error",
                     "The converted file\n %s\ndiffers from its sources at offset %llu.\nIt keeps "
                     "its temporary name and its source files are kept.",
                     temporary_path.c_str(), static_cast<unsigned long long>(difference));
        fail_job(job, "it differs from its sources when read back");
        return false;
    case check_result::read_failed:
        log_message("Verification of %s failed: it or a source could not be read back\n",
                    temporary_path.c_str());
        fail_job(job, "it could not be read back to verify it");
        return false;
    case check_result::stopped:
        break;
    }
    fail_job(job, "the conversion was stopped");
    return false;
}

// The data on the device first, then (when asked for) the proof that it is right, then the final
// name, then the name on the device: a power cut at any point leaves either a ".swizzling" file
// or a complete final-named one.
void finish_job(swizzler_s& record, conversion_job_s& job, const std::vector<source_s>& sources,
                const file_handle_s& target, const std::string& temporary_path,
                job_means_s& means) {
    int error = 0;
    if (!flush_target(target, &error)) {
        log_message("Failed to flush %s to the disk, error %d\n", temporary_path.c_str(), error);
        show_message(main_window, "Error",
                     "Failed to write to file. Error %d\n %s\nwill not be completed; its source "
                     "files are kept.",
                     error, temporary_path.c_str());
        fail_job(job,
                 "its data could not be flushed to the disk (error " + std::to_string(error) + ")");
        return;
    }
    announce(*means.transfers, "data flushed", temporary_path);
    if (record.verify_outputs &&
        !prove_output(record, job, sources, target, temporary_path, means)) {
        return;
    }
    if (!rename_without_replacing(temporary_path, job.output_path, &error)) {
        log_message("Error renaming %s to %s\n", temporary_path.c_str(), job.output_path.c_str());
        fail_job(job, error == EEXIST
                          ? "a file of its final name already exists"
                          : "it could not be renamed (error " + std::to_string(error) + ")");
        return;
    }
    announce(*means.transfers, "renamed", job.output_path);
    if (!sync_folder_of(job.output_path, &error)) {
        log_message("Failed to flush the folder of %s to the disk, error %d\n",
                    job.output_path.c_str(), error);
        fail_job(job, "its new name could not be flushed to the disk (error " +
                          std::to_string(error) + ")");
        return;
    }
    job.state = job_state::completed;
}

// The work of the job as its progress record describes it.
progress_record_s describe_work(const std::vector<source_s>& sources, const file_handle_s& target,
                                const job_layout_s& layout) {
    progress_record_s work;
    work.nonces = layout.nonces;
    work.alignment = layout.alignment;
    describe_target(target, &work);
    for (const source_s& source : sources) {
        work.sources.push_back(describe_source(source.file, source.nonces));
    }
    return work;
}

// Whether the job goes on from the progress an earlier run recorded (*stored); a record that
// does not describe this work is removed before a byte is written, and the log says why.
bool take_over(const conversion_job_s& job, const std::string& temporary_path,
               bool target_was_there, const struct stat& before, const progress_record_s& work,
               const std::string& record_path, progress_record_s* stored) {
    if (!load_progress_record(record_path, stored)) {
        remove_progress_record(record_path); // a torn or foreign file proves nothing
        return false;
    }
    std::string why;
    if (!target_was_there) {
        why = "its temporary file was gone";
    } else if (static_cast<std::uint64_t>(before.st_size) != plot_size(job.nonces)) {
        why = "its temporary file is not of the plot's size";
    } else if (stored->pairs_done > scoop_pairs) {
        why = "its progress record is not one of this program's";
    } else if (same_work(*stored, work, &why)) {
        log_message("Resuming %s at scoop pair %llu of %llu\n", temporary_path.c_str(),
                    static_cast<unsigned long long>(stored->pairs_done),
                    static_cast<unsigned long long>(scoop_pairs));
        return true;
    }
    log_message("Starting %s over: %s\n", temporary_path.c_str(), why.c_str());
    remove_progress_record(record_path);
    return false;
}

// Makes the pairs before `pairs_done` durable, then records them: the record never describes
// data that a power cut could still take away.
bool record_progress(transfer_backend_s& transfers, const file_handle_s& target,
                     const std::string& temporary_path, const std::string& record_path,
                     progress_record_s* progress, std::uint64_t pairs_done, byte_span_s low,
                     const std::uint8_t* low_bytes, byte_span_s high,
                     const std::uint8_t* high_bytes) {
    int error = 0;
    if (!flush_target(target, &error)) {
        log_message("Failed to flush %s to the disk, error %d\n", temporary_path.c_str(), error);
        return false;
    }
    announce(transfers, "data flushed", temporary_path);
    progress->pairs_done = pairs_done;
    progress->low_carry = low;
    progress->low_carry_bytes.assign(low_bytes, low_bytes + low.size());
    progress->high_carry = high;
    progress->high_carry_bytes.assign(high_bytes, high_bytes + high.size());
    if (!store_progress_record(record_path, progress, &error, transfers)) {
        log_message("Could not record the progress of %s, error %d\n", temporary_path.c_str(),
                    error);
        return false;
    }
    announce(transfers, "progress recorded", record_path);
    return true;
}

void report_pipeline_failure(conversion_job_s& job, const pipeline_result_s& result) {
    switch (result.outcome) {
    case pipeline_outcome::converted:
        return;
    case pipeline_outcome::read_failed:
        log_message("Abandoning %s: reading %s at offset %llu failed\n", job.output_path.c_str(),
                    result.path.c_str(), static_cast<unsigned long long>(result.offset));
        show_message(main_window, "Error",
                     "Failed to read from file:\n %s\n%s will not be converted; its source files "
                     "are kept.",
                     result.path.c_str(), job.output_path.c_str());
        fail_job(job, "its source " + result.path + " could not be read");
        return;
    case pipeline_outcome::write_failed:
        log_message("Abandoning %s: writing %s at offset %llu failed, error %d\n",
                    job.output_path.c_str(), result.path.c_str(),
                    static_cast<unsigned long long>(result.offset), result.error);
        show_message(main_window, "Error",
                     "Failed to write to file. Error %d\n %s\nwill not be completed; its source "
                     "files are kept.",
                     result.error, result.path.c_str());
        fail_job(job, "writing its target failed (error " + std::to_string(result.error) + ")");
        return;
    case pipeline_outcome::stopped:
        fail_job(job, "the conversion was stopped");
        return;
    }
}

} // namespace

void convert_job(swizzler_s& record, conversion_job_s& job, job_means_s& means) {
    // Another run may have finished this output since the plan was made: its file is not ours to
    // convert again, nor are its sources ours to delete.
    struct stat existing {};
    if (lstat(job.output_path.c_str(), &existing) == 0) {
        log_message("Skipping %s: it is already there\n", job.output_path.c_str());
        job.state = job_state::existing;
        return;
    }
    std::vector<source_s> sources;
    if (!open_sources(job, sources)) {
        return;
    }
    if (!check_sources(job, sources)) {
        close_sources(sources);
        return;
    }

    std::string temporary_path = job.output_path + ".swizzling";
    struct stat before {};
    bool target_was_there = lstat(temporary_path.c_str(), &before) == 0;
    log_message("Creating target %s\n", temporary_path.c_str());
    target_failure why = target_failure::none;
    file_handle_s target = create_target_file(temporary_path, plot_size(job.nonces), &why);
    if (target.fd < 0) {
        log_message("Skipping %s: %s\n", job.output_path.c_str(), target_failure_reason(why));
        if (why == target_failure::in_use) {
            show_message(main_window, "Error",
                         "%s\nis being written by another conversion.\n%s will not be converted "
                         "by this one; its source files are kept.",
                         temporary_path.c_str(), job.output_path.c_str());
        }
        fail_job(job, target_failure_reason(why));
        close_sources(sources);
        return;
    }

    job_layout_s layout = layout_for(sources, target, *means.pool);
    std::vector<const file_handle_s*> files;
    for (const source_s& source : sources) {
        files.push_back(&source.file);
    }
    progress_record_s progress = describe_work(sources, target, layout);
    std::string record_path = progress_record_path(temporary_path);
    progress_record_s stored;
    pipeline_resume_s resume;
    if (take_over(job, temporary_path, target_was_there, before, progress, record_path, &stored)) {
        resume = {stored.pairs_done, stored.low_carry, stored.low_carry_bytes.data(),
                  stored.high_carry, stored.high_carry_bytes.data()};
        record.bytes_resumed.fetch_add(resume.first_pair * 2 * job.nonces * scoop_size);
    }
    checkpoint_fn checkpoint = [&](std::uint64_t pairs_done, byte_span_s low,
                                   const std::uint8_t* low_bytes, byte_span_s high,
                                   const std::uint8_t* high_bytes) {
        return record_progress(*means.transfers, target, temporary_path, record_path, &progress,
                               pairs_done, low, low_bytes, high, high_bytes);
    };
    pipeline_result_s result =
        run_job_pipeline(record, layout, files, target, *means.pool, *means.transfers,
                         means.schedule, resume, checkpoint, record.checkpoints);
    if (result.outcome == pipeline_outcome::converted && record.stop.load()) {
        result.outcome = pipeline_outcome::stopped; // a stopped run gives no final names
    }
    if (result.outcome == pipeline_outcome::converted) {
        finish_job(record, job, sources, target, temporary_path, means);
        if (job.state == job_state::completed) {
            remove_progress_record(record_path);
        }
    } else {
        report_pipeline_failure(job, result);
    }
    close_file_handle(target);
    close_sources(sources);
}
