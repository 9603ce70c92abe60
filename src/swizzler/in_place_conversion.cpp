#include "swizzler/in_place_conversion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "catalogue/in_place_journal.h"
#include "catalogue/job_result.h"
#include "catalogue/plot_format.h"
#include "catalogue/plot_name.h"
#include "swizzler/crash_points.h"
#include "swizzler/in_place_pipeline.h"
#include "util/log.h"
#include "util/positioned_io.h"
#include "util/target_file.h"

namespace {

constexpr int main_window = 0;

bool exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

std::string error_text(int error) {
    return std::string(": ") + error_name(error);
}

// What the job works with once its plot is taken.
struct in_place_job_s {
    swizzler_s& record;
    conversion_job_s& job;
    job_means_s& means;
    std::string temporary; // output + ".swizzling"
    std::string journal_path;
    file_handle_s plot;
    file_handle_s journal;
    in_place_files_s files;
};

void close_files(in_place_job_s& work) {
    close_file_handle(work.journal);
    close_file_handle(work.plot);
}

// The plot must hold exactly what its name promises: its scoops lie where its nonce count says.
bool plot_has_its_size(in_place_job_s& work) {
    struct stat status {};
    std::uint64_t promised = plot_size(work.job.nonces);
    if (fstat(work.plot.fd, &status) != 0) {
        fail_job(work.job, "the length of its plot could not be read" + error_text(errno));
        return false;
    }
    auto length = static_cast<std::uint64_t>(status.st_size);
    if (length == promised) {
        return true;
    }
    const char* relation = length < promised ? "less" : "more";
    log_message("%s holds %llu bytes, %s than the %llu bytes its name gives\n",
                work.plot.path.c_str(), static_cast<unsigned long long>(length), relation,
                static_cast<unsigned long long>(promised));
    show_message(main_window, "Error",
                 "The file\n %s\nholds %llu bytes, %s than the %llu bytes its name gives.\nIt "
                 "will not be converted; it is left as it is.",
                 work.plot.path.c_str(), static_cast<unsigned long long>(length), relation,
                 static_cast<unsigned long long>(promised));
    fail_job(work.job, std::string("its plot is ") + (length < promised ? "shorter" : "longer") +
                           " than its name says");
    return false;
}

// Divides the run's buffers for this plot; groups never hold more than `most_entries`.
bool size_buffers_for(in_place_job_s& work, std::uint64_t most_entries) {
    tile_pool_s& pool = *work.means.pool;
    // Every tile must be back in the pool: the groups are carved out of all of its memory.
    if (!always(pool.free.size() == pool.tiles, "swizzler", 410)) {
        fail_job(work.job, "an internal check failed (swizzler 410)");
        return false;
    }
    in_place_sizing_s sizing =
        size_in_place(pool.tiles * pool.tile_bytes, work.plot.io_alignment, most_entries);
    if (sizing.sets == 0) {
        log_message("The buffers of %s cannot hold one group of %s\n", work.job.output_path.c_str(),
                    work.plot.path.c_str());
        fail_job(work.job, "the memory for buffers is too small to convert it in place");
        return false;
    }
    in_place_files_s& files = work.files;
    files.plot = &work.plot;
    files.journal = &work.journal;
    files.sizing = sizing;
    std::uint8_t* at = pool.memory;
    for (unsigned set = 0; set < sizing.sets; ++set) {
        files.low[set] = at;
        files.high[set] = at + sizing.side_bytes;
        at += 2 * sizing.side_bytes;
    }
    files.journal_buffer = at;
    log_message("Converting %s in place in groups of up to %llu entries, %u at a time\n",
                work.plot.path.c_str(), static_cast<unsigned long long>(sizing.most_entries),
                sizing.sets);
    return true;
}

bool flush_folder(in_place_job_s& work, const std::string& path) {
    int error = 0;
    if (sync_folder_of(path, &error)) {
        return true;
    }
    log_message("Failed to flush the folder of %s to the disk, error %d\n", path.c_str(), error);
    fail_job(work.job, "its folder could not be flushed to the disk" + error_text(error));
    return false;
}

// A new journal for the plot, durable with its name before the plot changes in any way.
bool create_journal(in_place_job_s& work) {
    journal_header_s& header = work.files.header;
    header.plot = {work.job.account_id, work.job.start_nonce, work.job.nonces,
                   std::string(file_name_of(work.plot.path))};
    header.slot_data_bytes = journal_slot_data_for(work.files.sizing.most_entries);
    // Created anew and never through a link: a file planted under its name is not written.
    int error = open_file_handle(work.journal_path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0644,
                                 &work.journal);
    if (error != 0) {
        log_message("Could not create the journal %s, error %d\n", work.journal_path.c_str(),
                    error);
        fail_job(work.job, "its journal could not be created" + error_text(error));
        return false;
    }
    std::uint64_t bytes = journal_file_bytes(header.slot_data_bytes);
    if (size_target_file(work.journal, bytes, &error) == target_sizing::failed) {
        log_message("Could not make room for the journal %s of %llu bytes, error %d\n",
                    work.journal_path.c_str(), static_cast<unsigned long long>(bytes), error);
        unlink(work.journal_path.c_str());
        fail_job(work.job, "there was no room for its journal" + error_text(error));
        return false;
    }
    std::uint8_t* block = work.files.journal_buffer;
    encode_journal_header(header, block);
    if ((error = write_at(work.journal, 0, journal_block, block)) != 0 ||
        !flush_target(work.journal, &error)) {
        log_message("Could not write the journal %s, error %d\n", work.journal_path.c_str(), error);
        unlink(work.journal_path.c_str());
        fail_job(work.job, "its journal could not be written" + error_text(error));
        return false;
    }
    if (!flush_folder(work, work.journal_path)) {
        return false;
    }
    crash_point("in-place journal created", work.journal_path);
    return true;
}

// From here on the plot's bytes may change: no miner may read it under a plot name.
bool take_temporary_name(in_place_job_s& work) {
    int error = 0;
    if (!rename_without_replacing(work.plot.path, work.temporary, &error)) {
        log_message("Error renaming %s to %s\n", work.plot.path.c_str(), work.temporary.c_str());
        unlink(work.journal_path.c_str());
        fail_job(work.job, error == EEXIST ? "a file named " + work.temporary + " is in the way"
                                           : "it could not be renamed" + error_text(error));
        return false;
    }
    work.plot.path = work.temporary;
    if (!flush_folder(work, work.temporary)) {
        return false;
    }
    crash_point("in-place plot renamed", work.temporary);
    return true;
}

// Why the open plot may not be converted in place, or empty: it must be the file planning
// found, and no other name may show its data.
std::string taken_elsewhere(const in_place_job_s& work) {
    struct stat status {};
    if (fstat(work.plot.fd, &status) != 0) {
        return "its plot could not be examined" + error_text(errno);
    }
    const std::vector<file_identity_s>& planned = work.job.source_identities;
    if (!planned.empty() && planned.front().inode != 0 &&
        (planned.front().device != static_cast<std::uint64_t>(status.st_dev) ||
         planned.front().inode != static_cast<std::uint64_t>(status.st_ino))) {
        return "its plot was replaced since the plan was made";
    }
    return "";
}

void report_not_plain(in_place_job_s& work, const std::string& path) {
    log_message("Leaving %s alone: it is a symbolic link or another name shares its data\n",
                path.c_str());
    fail_job(work.job, "it is a symbolic link or another name shares its data; converting it in "
                       "place would change that file too");
}

// The plot under its PoC1 name: taken, sized, journaled and renamed.
bool start_fresh(in_place_job_s& work, const std::string& plot_path) {
    target_failure why = target_failure::none;
    int error = 0;
    work.plot = open_existing_locked(plot_path, &why, &error);
    if (work.plot.fd < 0) {
        if (why == target_failure::not_plain) {
            report_not_plain(work, plot_path);
        } else if (why == target_failure::in_use) {
            log_message("%s is being converted by another run; leaving it alone\n",
                        plot_path.c_str());
            fail_job(work.job, "it is being converted by another run");
        } else {
            log_message("Could not open %s, error %d\n", plot_path.c_str(), error);
            fail_job(work.job, error == ENOENT
                                   ? "its plot is gone"
                                   : "its plot could not be opened" + error_text(error));
        }
        return false;
    }
    std::string elsewhere = taken_elsewhere(work);
    if (!elsewhere.empty()) {
        log_message("Leaving %s alone: %s\n", plot_path.c_str(), elsewhere.c_str());
        fail_job(work.job, elsewhere);
        return false;
    }
    if (!plot_has_its_size(work)) {
        return false;
    }
    // The plot still has its PoC1 name, so no byte of it was changed: a journal beside it is
    // from a run that ended before it renamed the plot. Anything else under that name (a link,
    // a file shared with another name) is not ours, and the plot waits until it is gone.
    struct stat journal {};
    if (lstat(work.journal_path.c_str(), &journal) == 0) {
        if (!S_ISREG(journal.st_mode) || journal.st_nlink != 1) {
            log_message("Leaving %s alone: %s is not a journal of this program's\n",
                        plot_path.c_str(), work.journal_path.c_str());
            fail_job(work.job, "the name of its journal, " + work.journal_path +
                                   ", is taken by a symbolic link or a shared file");
            return false;
        }
        log_message("Removing the journal %s: %s was not changed yet\n", work.journal_path.c_str(),
                    plot_path.c_str());
        if (unlink(work.journal_path.c_str()) != 0) {
            fail_job(work.job, "an old journal could not be removed" + error_text(errno));
            return false;
        }
    }
    std::uint64_t most =
        std::min(low_entries(work.job.nonces), journal_slot_data_limit / journal_half_bytes);
    return size_buffers_for(work, most) && create_journal(work) && take_temporary_name(work);
}

// Reads the journal's header into work.files.header; false when there is no whole one for this
// plot.
bool read_journal_header(in_place_job_s& work, std::uint8_t* block) {
    if (open_file_handle(work.journal_path, O_RDWR | O_NOFOLLOW, 0, &work.journal) != 0) {
        return false;
    }
    struct stat status {};
    if (fstat(work.journal.fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) {
        return false; // a journal is a plain file of its own, or it is not ours to write
    }
    journal_header_s& header = work.files.header;
    if (!read_at(work.journal, 0, journal_block, block) || !decode_journal_header(block, &header)) {
        return false;
    }
    return header.plot.nonces == work.job.nonces && header.plot.account_id == work.job.account_id &&
           header.plot.start_nonce == work.job.start_nonce;
}

// A rename that links the new name before it removes the old one was interrupted in between:
// both names show the plot, and no byte of it has changed since (its journal came first).
// Removing the PoC1 name finishes the rename, so that the plot again has one name.
bool finish_interrupted_rename(in_place_job_s& work) {
    const std::string& poc1 = work.job.source_paths.front();
    struct stat plot {
    }, temporary{};
    if (lstat(poc1.c_str(), &plot) != 0 || lstat(work.temporary.c_str(), &temporary) != 0 ||
        plot.st_dev != temporary.st_dev || plot.st_ino != temporary.st_ino) {
        return true;
    }
    log_message("Finishing the rename of %s to %s that an interrupted run began\n", poc1.c_str(),
                work.temporary.c_str());
    if (unlink(poc1.c_str()) != 0) {
        fail_job(work.job, "its PoC1 name could not be removed" + error_text(errno));
        return false;
    }
    return flush_folder(work, work.temporary);
}

// The plot under its temporary name: taken, and its journal's groups finished.
bool resume(in_place_job_s& work, journal_position_s* position) {
    if (!work.job.source_paths.empty() && !finish_interrupted_rename(work)) {
        return false;
    }
    target_failure why = target_failure::none;
    int error = 0;
    work.plot = open_existing_locked(work.temporary, &why, &error);
    if (work.plot.fd < 0) {
        if (why == target_failure::not_plain) {
            report_not_plain(work, work.temporary);
        } else if (why == target_failure::in_use) {
            log_message("%s is being written by another run; leaving it alone\n",
                        work.temporary.c_str());
            fail_job(work.job, "it is being converted by another run");
        } else {
            fail_job(work.job, "its plot could not be opened" + error_text(error));
        }
        return false;
    }
    // The header is read through the first buffer, before the buffers are divided.
    if (!read_journal_header(work, work.means.pool->memory)) {
        log_message("Leaving %s alone: it has no journal of an in-place conversion\n",
                    work.temporary.c_str());
        fail_job(work.job, "its temporary file has no journal to finish it from");
        return false;
    }
    if (!plot_has_its_size(work)) {
        return false;
    }
    std::uint64_t most = std::min(low_entries(work.job.nonces),
                                  work.files.header.slot_data_bytes / journal_half_bytes);
    if (!size_buffers_for(work, most)) {
        return false;
    }
    log_message("Resuming the in-place conversion of %s\n", work.temporary.c_str());
    in_place_failure_s failure;
    if (!replay_journal(work.files, position, &failure)) {
        log_message("Could not finish the journaled groups of %s: %s at offset %llu failed, "
                    "error %d\n",
                    work.temporary.c_str(), failure.path.c_str(),
                    static_cast<unsigned long long>(failure.offset), failure.error);
        fail_job(work.job, "its journal could not be replayed" + error_text(failure.error));
        return false;
    }
    // The resumed part counts as done, and the rates only this run's work, so that the
    // remaining time is honest.
    work.record.bytes_resumed.fetch_add(position->next_entry * 2 * scoop_size);
    return true;
}

void report_failure(in_place_job_s& work, in_place_outcome outcome,
                    const in_place_failure_s& failure) {
    if (outcome == in_place_outcome::stopped) {
        fail_job(work.job, "the conversion was stopped");
        return;
    }
    if (failure.check != 0) {
        log_message("Abandoning the in-place conversion of %s: an internal check (%d) did not "
                    "hold\n",
                    work.temporary.c_str(), failure.check);
        show_message(main_window, "Error",
                     "An internal check failed while converting\n %s\nThe plot keeps the name "
                     "%s and its journal; the next run in place finishes it.",
                     work.plot.path.c_str(), work.temporary.c_str());
        fail_job(work.job, "an internal check failed (swizzler " + std::to_string(failure.check) +
                               "); the next run finishes it");
        return;
    }
    const char* verb = failure.reading ? "read from" : "write to";
    log_message("Abandoning the in-place conversion of %s: %s %s at offset %llu failed, error "
                "%d (%s)\n",
                work.temporary.c_str(), failure.reading ? "reading" : "writing",
                failure.path.c_str(), static_cast<unsigned long long>(failure.offset),
                failure.error, error_name(failure.error));
    show_message(main_window, "Error",
                 "Failed to %s file. Error %d (%s)\n %s\nThe plot keeps the name %s and its "
                 "journal; the next run in place finishes it.",
                 verb, failure.error, error_name(failure.error), failure.path.c_str(),
                 work.temporary.c_str());
    fail_job(work.job, std::string(failure.reading ? "reading" : "writing") + " " + failure.path +
                           " failed" + error_text(failure.error) + "; the next run finishes it");
}

// Data on the device, then the final name, then the name on the device, then no journal.
void finish(in_place_job_s& work) {
    int error = 0;
    if (!flush_target(work.plot, &error)) {
        log_message("Failed to flush %s to the disk, error %d (%s)\n", work.temporary.c_str(),
                    error, error_name(error));
        fail_job(work.job, "its data could not be flushed to the disk" + error_text(error));
        return;
    }
    crash_point("in-place data flushed", work.temporary);
    if (!rename_without_replacing(work.temporary, work.job.output_path, &error)) {
        log_message("Error renaming %s to %s\n", work.temporary.c_str(),
                    work.job.output_path.c_str());
        fail_job(work.job, error == EEXIST ? "a file of its final name already exists"
                                           : "it could not be renamed" + error_text(error));
        return;
    }
    crash_point("in-place renamed", work.job.output_path);
    if (!flush_folder(work, work.job.output_path)) {
        return;
    }
    // The plot is whole under its final name; a journal left beside it is cleared by the next
    // run, but this run must not call the job done while it is there.
    if (unlink(work.journal_path.c_str()) != 0) {
        log_message("Could not delete the journal %s, error %d (%s)\n", work.journal_path.c_str(),
                    errno, error_name(errno));
        fail_job(work.job, "its journal could not be deleted" + error_text(errno) +
                               "; the plot is converted and the next run removes the journal");
        return;
    }
    if (complete_job(work.job)) {
        log_message("Converted %s in place\n", work.job.output_path.c_str());
    }
}

} // namespace

void convert_in_place(swizzler_s& record, conversion_job_s& job, job_means_s& means) {
    in_place_job_s work{
        record, job, means, job.output_path + ".swizzling", in_place_journal_path(job.output_path),
        {},     {},  {}};
    std::string plot_path = job.source_paths.empty() ? std::string() : job.source_paths.front();
    if (exists(job.output_path)) {
        bool plot_left = !plot_path.empty() && exists(plot_path);
        if (exists(work.journal_path) && !exists(work.temporary)) {
            // A run ended between the final name and the journal's deletion, or before it
            // renamed the plot: the journal has nothing left to finish.
            log_message("Removing the journal %s, which has nothing left to finish\n",
                        work.journal_path.c_str());
            unlink(work.journal_path.c_str());
            if (!plot_left && complete_job(job)) {
                log_message("Converted %s in place\n", job.output_path.c_str());
                return;
            }
        }
        log_message("Skipping %s: it is already there\n", job.output_path.c_str());
        set_job_existing(job);
        return;
    }
    journal_position_s position;
    bool ready = exists(work.temporary) ? resume(work, &position) : start_fresh(work, plot_path);
    if (!ready) {
        close_files(work);
        return;
    }
    in_place_failure_s failure;
    in_place_outcome outcome =
        convert_in_place_groups(record, work.files, *means.queue, position, &failure);
    if (outcome == in_place_outcome::converted && record.stop.load()) {
        outcome = in_place_outcome::stopped; // a stopped run gives no final names
    }
    if (outcome == in_place_outcome::converted) {
        finish(work);
    } else {
        report_failure(work, outcome, failure);
    }
    close_files(work);
}
