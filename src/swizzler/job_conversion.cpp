#include "swizzler/job_conversion.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "catalogue/in_place_journal.h"
#include "catalogue/job_result.h"
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

// The job's files and what it knows of its progress, from its sources' opening on.
struct copy_job_s {
    swizzler_s& record;
    conversion_job_s& job;
    job_means_s& means;
    std::string temporary;   // output + ".swizzling"
    std::string record_path; // its progress record
    std::vector<source_s> sources;
    file_handle_s target;
    // Its volume had no room for the progress record: the job goes on without one (still
    // flushing at each checkpoint, so that a lost write is still found), and a stop starts it over.
    bool no_room_for_record = false;
};

// The box of a target whose data could not be written or made durable.
void show_write_failure(int error, const std::string& path) {
    show_message(main_window, "Error",
                 "Failed to write to file. Error %d (%s)\n %s\nwill not be completed; its source "
                 "files are kept.",
                 error, error_name(error), path.c_str());
}

std::string because(int error) {
    return std::string(": ") + error_name(error);
}

void close_files(copy_job_s& work) {
    close_file_handle(work.target);
    for (auto& source : work.sources) {
        close_file_handle(source.file);
    }
    work.sources.clear();
}

bool exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

// The durable state of the target is unknown (a flush failed, a check did not hold, the data
// read back differs): no record may let the next run take any of it over.
void forget_progress(copy_job_s& work) {
    if (!remove_progress_record(work.record_path)) {
        log_message("Could not remove the progress record %s, error %d (%s)\n",
                    work.record_path.c_str(), errno, error_name(errno));
    }
}

// Whether the file open at `file` is the one planning found under its name.
bool is_planned_file(const conversion_job_s& job, std::size_t source, const file_handle_s& file) {
    if (source >= job.source_identities.size() || job.source_identities[source].inode == 0) {
        return true;
    }
    struct stat status {};
    return fstat(file.fd, &status) == 0 &&
           static_cast<std::uint64_t>(status.st_dev) == job.source_identities[source].device &&
           static_cast<std::uint64_t>(status.st_ino) == job.source_identities[source].inode;
}

// Opens every source of the job; false (the job failed, its box shown) when one cannot be.
bool open_sources(copy_job_s& work) {
    conversion_job_s& job = work.job;
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
            return false;
        }
        if (file.fd < 0) {
            show_message(main_window, "Error", "Could not open file:\n %s\nError code %d (%s)\n",
                         path.c_str(), error, error_name(error));
            log_message("Failed to open %s for reading!\n", path.c_str());
            fail_job(job, error == EMFILE || error == ENFILE
                              ? "too many files are open at once to read its " +
                                    std::to_string(job.source_paths.size()) +
                                    " sources; convert without merging, or raise the limit of "
                                    "open files (ulimit -n)"
                              : "its source " + path + " could not be opened" + because(error));
            return false;
        }
        std::uint64_t nonces = i < job.source_nonces.size() ? job.source_nonces[i] : 0;
        work.sources.push_back({std::move(file), nonces});
        if (!is_planned_file(job, i, work.sources.back().file)) {
            log_message("%s is not the file that was planned\n", path.c_str());
            fail_job(job, "its source " + path + " was replaced since the plan was made");
            return false;
        }
    }
    return true;
}

// Every source must hold exactly what its name promises and the names must add up to the job.
// A shorter source would leave blocks that no source filled; a longer one has its scoops at
// other offsets than its name says, so its conversion would be wrong from the first byte.
bool check_sources(copy_job_s& work) {
    conversion_job_s& job = work.job;
    std::uint64_t total = 0;
    for (const source_s& source : work.sources) {
        std::uint64_t promised = plot_size(source.nonces);
        struct stat status {};
        if (fstat(source.file.fd, &status) != 0) {
            log_message("Could not read the length of %s, error %d\n", source.file.path.c_str(),
                        errno);
            fail_job(job, "the length of its source " + source.file.path + " could not be read" +
                              because(errno));
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

// Whether the output's names beside it are this job's to use: a temporary file with an
// in-place journal beside it is a plot under conversion in place, and a link (or a shared
// file) where the progress record goes would send its writes elsewhere.
bool names_are_ours(copy_job_s& work) {
    conversion_job_s& job = work.job;
    if (exists(in_place_journal_path(job.output_path))) {
        log_message("Leaving %s alone: a journal of a conversion in place is beside it\n",
                    work.temporary.c_str());
        show_message(main_window, "Error",
                     "%s\nis a plot under conversion in place (its journal is beside it).\n%s "
                     "will not be converted into it; its source files are kept.",
                     work.temporary.c_str(), job.output_path.c_str());
        fail_job(job, "its temporary file " + work.temporary +
                          " belongs to a conversion in place that is not finished");
        return false;
    }
    progress_record_s ignored;
    if (load_progress_record(work.record_path, &ignored) == record_found::not_plain) {
        log_message("Leaving %s alone: %s is a symbolic link or shares its data with another "
                    "name\n",
                    work.temporary.c_str(), work.record_path.c_str());
        fail_job(job, "its progress record " + work.record_path +
                          " is a symbolic link or shares its data with another file");
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
    case target_failure::not_plain:
        return "its temporary name is a symbolic link or a file that shares its data with "
               "another name";
    default:
        return "its target file could not be created";
    }
}

bool create_target(copy_job_s& work, struct stat* before, bool* was_there) {
    conversion_job_s& job = work.job;
    *was_there = lstat(work.temporary.c_str(), before) == 0;
    log_message("Creating target %s\n", work.temporary.c_str());
    target_failure why = target_failure::none;
    work.target = create_target_file(work.temporary, plot_size(job.nonces), &why);
    if (work.target.fd >= 0) {
        return true;
    }
    log_message("Skipping %s: %s\n", job.output_path.c_str(), target_failure_reason(why));
    if (why == target_failure::in_use) {
        show_message(main_window, "Error",
                     "%s\nis being written by another conversion.\n%s will not be converted "
                     "by this one; its source files are kept.",
                     work.temporary.c_str(), job.output_path.c_str());
    } else if (why == target_failure::not_plain) {
        show_message(main_window, "Error",
                     "%s\nis a symbolic link or a file that shares its data with another "
                     "name; it is left as it is.\n%s will not be converted; its source files "
                     "are kept.",
                     work.temporary.c_str(), job.output_path.c_str());
    }
    fail_job(job, target_failure_reason(why));
    return false;
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
job_layout_s layout_for(const copy_job_s& work) {
    const tile_pool_s& pool = *work.means.pool;
    std::uint64_t alignment = work.target.io_alignment;
    std::vector<std::uint64_t> nonces;
    for (const source_s& source : work.sources) {
        alignment = std::max<std::uint64_t>(alignment, source.file.io_alignment);
        nonces.push_back(source.nonces);
    }
    alignment = std::min(alignment, largest_power_of_two_at_most(pool.tile_bytes));
    return make_job_layout(nonces, alignment, pool.tile_bytes);
}

// Reads the flushed target back against its sources; false (the job failed) unless it matches.
bool prove_output(copy_job_s& work) {
    conversion_job_s& job = work.job;
    std::vector<check_source_s> checked;
    for (const auto& source : work.sources) {
        checked.push_back({&source.file, source.nonces});
    }
    tile_pool_s& pool = *work.means.pool;
    check_space_s space{pool.free[0],
                        pool.free[1],
                        pool.free[2],
                        pool.free[3],
                        pool.tile_bytes / scoop_size,
                        work.means.low_reader,
                        work.means.high_reader,
                        &work.record.transfers};
    log_message("Verifying %s\n", work.temporary.c_str());
    std::uint64_t difference = 0;
    switch (check_output(work.record, checked, work.target, job.nonces, space, &difference)) {
    case check_result::same:
        log_message("Verified %s\n", work.temporary.c_str());
        return true;
    case check_result::different:
        log_message("Verification of %s failed: it differs from its sources at offset %llu\n",
                    work.temporary.c_str(), static_cast<unsigned long long>(difference));
        show_message(main_window, "Error",
                     "The converted file\n %s\ndiffers from its sources at offset %llu.\nIt keeps "
                     "its temporary name and its source files are kept.",
                     work.temporary.c_str(), static_cast<unsigned long long>(difference));
        fail_job(job, "it differs from its sources when read back");
        // Its record says every pair is done: the next run must write it again, not rename it.
        forget_progress(work);
        return false;
    case check_result::read_failed:
        log_message("Verification of %s failed: it or a source could not be read back\n",
                    work.temporary.c_str());
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
// or a complete final-named one. Only when every step held is the job completed.
void finish_job(copy_job_s& work) {
    conversion_job_s& job = work.job;
    int error = 0;
    if (!flush_target(work.target, &error)) {
        log_message("Failed to flush %s to the disk, error %d (%s)\n", work.temporary.c_str(),
                    error, error_name(error));
        show_write_failure(error, work.temporary);
        fail_job(job, "its data could not be flushed to the disk" + because(error));
        forget_progress(work);
        return;
    }
    announce(*work.means.transfers, "data flushed", work.temporary);
    if (work.record.verify_outputs && !prove_output(work)) {
        return;
    }
    if (!rename_without_replacing(work.temporary, job.output_path, &error)) {
        log_message("Error renaming %s to %s\n", work.temporary.c_str(), job.output_path.c_str());
        fail_job(job, error == EEXIST ? "a file of its final name already exists"
                                      : "it could not be renamed" + because(error));
        return;
    }
    announce(*work.means.transfers, "renamed", job.output_path);
    if (!sync_folder_of(job.output_path, &error)) {
        log_message("Failed to flush the folder of %s to the disk, error %d (%s)\n",
                    job.output_path.c_str(), error, error_name(error));
        fail_job(job, "its new name could not be flushed to the disk" + because(error));
        return;
    }
    if (complete_job(job)) {
        // Nothing will resume from it now; a record left here is cleared by the next run.
        remove_progress_record(work.record_path);
    }
}

// The work of the job as its progress record describes it.
progress_record_s describe_work(const copy_job_s& work, const job_layout_s& layout) {
    progress_record_s described;
    described.nonces = layout.nonces;
    described.alignment = layout.alignment;
    describe_target(work.target, &described);
    for (const source_s& source : work.sources) {
        described.sources.push_back(describe_source(source.file, source.nonces));
    }
    return described;
}

// Whether the carries a record hands a resumed pair are the ones the layout says the pair
// before it hands on: a record that says otherwise would have the pipeline write wrong bytes.
// Where the layout hands nothing on, a record may still hold the last carry taken (the pipeline
// keeps it until it is replaced); it is dropped, since no tile will ask for it.
bool fit_carries(const job_layout_s& layout, progress_record_s* stored) {
    if (stored->pairs_done == 0 || stored->pairs_done >= scoop_pairs) {
        return stored->low_carry.empty() && stored->high_carry.empty();
    }
    std::uint64_t before = stored->pairs_done - 1;
    for (run_side side : {run_side::low, run_side::high}) {
        byte_span_s expected = carry_out(layout, target_run(layout, before, side), side);
        byte_span_s& carry = side == run_side::low ? stored->low_carry : stored->high_carry;
        std::vector<std::uint8_t>& bytes =
            side == run_side::low ? stored->low_carry_bytes : stored->high_carry_bytes;
        if (expected.empty()) {
            carry = {};
            bytes.clear();
        } else if (carry.begin != expected.begin || carry.end != expected.end) {
            return false;
        }
    }
    return true;
}

// Whether the job goes on from the progress an earlier run recorded (*stored); a record that
// does not describe this work is removed before a byte is written, and the log says why.
bool take_over(copy_job_s& work, bool target_was_there, const struct stat& before,
               const progress_record_s& described, const job_layout_s& layout,
               progress_record_s* stored) {
    std::string why;
    switch (load_progress_record(work.record_path, stored)) {
    case record_found::none:
        if (target_was_there) {
            log_message("Starting %s over: it has no progress record\n", work.temporary.c_str());
        }
        return false;
    case record_found::unusable:
        why = "its progress record is torn or not one of this program's";
        break;
    case record_found::not_plain:
        why = "its progress record is a symbolic link or shares its data with another file";
        break;
    case record_found::whole:
        if (!target_was_there) {
            why = "its temporary file was gone";
        } else if (static_cast<std::uint64_t>(before.st_size) != plot_size(work.job.nonces)) {
            why = "its temporary file is not of the plot's size";
        } else if (stored->pairs_done > scoop_pairs || !fit_carries(layout, stored)) {
            why = "its progress record is not one of this program's";
        } else if (same_work(*stored, described, &why)) {
            log_message("Resuming %s at scoop pair %llu of %llu\n", work.temporary.c_str(),
                        static_cast<unsigned long long>(stored->pairs_done),
                        static_cast<unsigned long long>(scoop_pairs));
            return true;
        }
        break;
    }
    log_message("Starting %s over: %s\n", work.temporary.c_str(), why.c_str());
    forget_progress(work);
    return false;
}

// Makes the pairs before `pairs_done` durable, then records them: the record never describes
// data that a power cut could still take away. 0, or the errno that stopped it; after a failed
// flush no record remains, since nothing written may be trusted.
int record_progress(copy_job_s& work, progress_record_s* progress, std::uint64_t pairs_done,
                    byte_span_s low, const std::uint8_t* low_bytes, byte_span_s high,
                    const std::uint8_t* high_bytes) {
    int error = 0;
    if (!flush_target(work.target, &error)) {
        log_message("Failed to flush %s to the disk, error %d (%s)\n", work.temporary.c_str(),
                    error, error_name(error));
        forget_progress(work);
        return error;
    }
    announce(*work.means.transfers, "data flushed", work.temporary);
    if (work.no_room_for_record) {
        return 0;
    }
    progress->pairs_done = pairs_done;
    progress->low_carry = low;
    progress->low_carry_bytes.assign(low_bytes, low_bytes + low.size());
    progress->high_carry = high;
    progress->high_carry_bytes.assign(high_bytes, high_bytes + high.size());
    if (!store_progress_record(work.record_path, progress, &error, *work.means.transfers)) {
        forget_progress(work);
        // The record only saves work after a stop; an output that fits its volume exactly
        // converts without one rather than fail for want of a few KiB.
        if (error == ENOSPC || error == EDQUOT) {
            log_message("No room for the progress record of %s: it goes on without one, and "
                        "starts over if it is stopped\n",
                        work.temporary.c_str());
            work.no_room_for_record = true;
            return 0;
        }
        log_message("Could not record the progress of %s, error %d (%s)\n", work.temporary.c_str(),
                    error, error_name(error));
        return error;
    }
    announce(*work.means.transfers, "progress recorded", work.record_path);
    return 0;
}

void report_pipeline_failure(copy_job_s& work, const pipeline_result_s& result) {
    conversion_job_s& job = work.job;
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
        fail_job(job, "its source " + result.path + " could not be read" + because(result.error));
        return;
    case pipeline_outcome::write_failed:
        log_message("Abandoning %s: writing %s at offset %llu failed, error %d (%s)\n",
                    job.output_path.c_str(), result.path.c_str(),
                    static_cast<unsigned long long>(result.offset), result.error,
                    error_name(result.error));
        show_write_failure(result.error, result.path);
        fail_job(job, "writing its target failed" + because(result.error));
        return;
    case pipeline_outcome::flush_failed:
        log_message("Abandoning %s: its data could not be made durable, error %d (%s); the next "
                    "run starts it over\n",
                    job.output_path.c_str(), result.error, error_name(result.error));
        show_write_failure(result.error, result.path);
        fail_job(job, "its data could not be flushed to the disk" + because(result.error));
        return;
    case pipeline_outcome::check_failed:
        log_message("Abandoning %s: an internal check (%d) did not hold; the next run starts it "
                    "over\n",
                    job.output_path.c_str(), result.error);
        show_message(main_window, "Error",
                     "An internal check failed while converting\n %s\nIt will not be completed; "
                     "its source files are kept.",
                     job.output_path.c_str());
        fail_job(job, "an internal check failed (swizzler " + std::to_string(result.error) + ")");
        forget_progress(work);
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
    if (exists(job.output_path)) {
        log_message("Skipping %s: it is already there\n", job.output_path.c_str());
        set_job_existing(job);
        return;
    }
    std::string temporary = job.output_path + ".swizzling";
    copy_job_s work{record, job, means, temporary, progress_record_path(temporary), {}, {}};
    struct stat before {};
    bool target_was_there = false;
    if (!names_are_ours(work) || !open_sources(work) || !check_sources(work) ||
        !create_target(work, &before, &target_was_there)) {
        close_files(work);
        return;
    }

    job_layout_s layout = layout_for(work);
    std::vector<const file_handle_s*> files;
    for (const source_s& source : work.sources) {
        files.push_back(&source.file);
    }
    progress_record_s progress = describe_work(work, layout);
    progress_record_s stored;
    pipeline_resume_s resume;
    if (take_over(work, target_was_there, before, progress, layout, &stored)) {
        resume = {stored.pairs_done, stored.low_carry, stored.low_carry_bytes.data(),
                  stored.high_carry, stored.high_carry_bytes.data()};
        record.bytes_resumed.fetch_add(resume.first_pair * 2 * job.nonces * scoop_size);
    }
    checkpoint_fn checkpoint = [&](std::uint64_t pairs_done, byte_span_s low,
                                   const std::uint8_t* low_bytes, byte_span_s high,
                                   const std::uint8_t* high_bytes) {
        return record_progress(work, &progress, pairs_done, low, low_bytes, high, high_bytes);
    };
    pipeline_result_s result =
        run_job_pipeline(record, layout, files, work.target, *means.pool, *means.transfers,
                         means.schedule, resume, checkpoint, record.checkpoints);
    if (result.outcome == pipeline_outcome::converted && record.stop.load()) {
        result.outcome = pipeline_outcome::stopped; // a stopped run gives no final names
    }
    if (result.outcome == pipeline_outcome::converted) {
        finish_job(work);
    } else {
        report_pipeline_failure(work, result);
    }
    close_files(work);
}
