#include "swizzler/worker.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "swizzler/buffer_sizing.h"
#include "swizzler/output_check.h"
#include "swizzler/swizzle.h"
#include "swizzler/write_back.h"
#include "util/helper_thread.h"
#include "util/keep_awake.h"
#include "util/log.h"
#include "util/memory_status.h"
#include "util/page_buffer.h"
#include "util/positioned_io.h"
#include "util/size_text.h"
#include "swizzler/target_creation.h"
#include "util/ui_tasks.h"

namespace {

constexpr int main_window = 0;

struct buffers_s {
    page_buffer_s write_low[2];
    page_buffer_s write_high[2];
    page_buffer_s read_low;
    page_buffer_s read_high;
};

struct source_s {
    file_handle_s file;
    std::uint64_t nonces = 0; // from its name
};

struct read_failure_s {
    std::string path;
    std::uint64_t offset = 0;
};

enum class pairs_result { converted, stopped, read_failed };

void release_buffers(buffers_s& buffers) {
    for (int set = 0; set < 2; ++set) {
        release_pages(buffers.write_low[set]);
        release_pages(buffers.write_high[set]);
    }
    release_pages(buffers.read_low);
    release_pages(buffers.read_high);
}

void report_allocation_failure(const char* which) {
    log_message("Failed to allocated RAM for %s buffers\n", which);
    show_message(main_window, "Error", "Failed to allocate RAM for %s buffers", which);
}

// The six buffers of `capacity` nonces each, or a report. Buffers that the machine's memory
// cannot hold count as a failed allocation: committing them would push other programs out
// until the kernel ends this one in the middle of a conversion.
bool allocate_buffers(buffers_s& buffers, std::uint64_t capacity, std::uint64_t physical_bytes) {
    std::uint64_t bytes = capacity * scoop_size;
    bool backable = capacity > 0 && (physical_bytes == 0 || bytes * 6 <= physical_bytes);
    bool written = backable;
    for (int set = 0; set < 2 && written; ++set) {
        buffers.write_low[set] = allocate_pages(bytes);
        buffers.write_high[set] = allocate_pages(bytes);
        written = buffers.write_low[set].data != nullptr && buffers.write_high[set].data != nullptr;
    }
    if (!written) {
        report_allocation_failure("write");
        return false;
    }
    buffers.read_low = allocate_pages(bytes);
    buffers.read_high = allocate_pages(bytes);
    if (buffers.read_low.data == nullptr || buffers.read_high.data == nullptr) {
        report_allocation_failure("read");
        return false;
    }
    return true;
}

// A limit that the run cannot keep to as given is said once, in the log.
void report_budget_change(const buffer_sizing_s& sizing, std::uint64_t limit,
                          const memory_status_s& memory) {
    if (sizing.change == budget_change::lowered_to_available) {
        log_message("The memory limit of %s is more than the %s available; using %s\n",
                    size_text(limit, true), size_text(memory.available_bytes, true),
                    size_text(sizing.budget_bytes, true));
    } else if (sizing.change == budget_change::raised_to_smallest) {
        log_message("The memory limit of %s cannot hold one chunk of buffers; using %s\n",
                    size_text(limit, true), size_text(sizing.budget_bytes, true));
    }
}

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

// Every source must hold exactly what its name promises and the names must add up to the job.
// A shorter source would leave blocks that no source filled; a longer one has its scoops at
// other offsets than its name says, so its conversion would be wrong from the first byte.
bool check_sources(conversion_job_s& job, std::vector<source_s>& sources) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        source_s& source = sources[i];
        source.nonces = i < job.source_nonces.size() ? job.source_nonces[i] : 0;
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

// A chunk: the nonces [done, done + count) of one source for one scoop pair, which go into the
// filling set at `fill`. Chunks follow each other by pair, then source, then nonce; a chunk
// that fills the set hands it over, so the next one starts an empty set, as does a new pair.
struct chunk_s {
    std::uint64_t scoop = 0;
    std::size_t source = 0;
    std::uint64_t done = 0;
    std::uint64_t count = 0; // 0: no chunk is left
    std::uint64_t fill = 0;
};

// Moves a position onto the next source or pair that has nonces left and sizes its chunk.
void place_chunk(chunk_s& chunk, const std::vector<source_s>& sources, std::uint64_t capacity) {
    while (chunk.scoop < scoop_pairs) {
        while (chunk.source < sources.size() && chunk.done >= sources[chunk.source].nonces) {
            ++chunk.source;
            chunk.done = 0;
        }
        if (chunk.source < sources.size()) {
            chunk.count =
                std::min(capacity - chunk.fill, sources[chunk.source].nonces - chunk.done);
            return;
        }
        ++chunk.scoop;
        chunk.source = 0;
        chunk.done = 0;
        chunk.fill = 0;
    }
    chunk.count = 0;
}

chunk_s next_chunk(const chunk_s& chunk, const std::vector<source_s>& sources,
                   std::uint64_t capacity) {
    chunk_s next = chunk;
    next.done += chunk.count;
    next.fill = chunk.fill + chunk.count == capacity ? 0 : chunk.fill + chunk.count;
    place_chunk(next, sources, capacity);
    return next;
}

// The two runs of a chunk are read by two helpers at once, and the next chunk is read while
// the worker hands the last one over: the disk always has both reads and the writes queued.
struct chunk_reads_s {
    helper_thread_s low_reader;
    helper_thread_s high_reader;
    const file_handle_s* file = nullptr;
    std::uint64_t low_offset = 0, high_offset = 0, bytes = 0;
    std::uint8_t* low = nullptr;
    std::uint8_t* high = nullptr;
    bool low_ok = false, high_ok = false;
};

void start_reads(chunk_reads_s& reads, const chunk_s& chunk, const std::vector<source_s>& sources) {
    const source_s& source = sources[chunk.source];
    std::uint64_t partner = scoops_per_nonce - 1 - chunk.scoop;
    reads.file = &source.file;
    reads.low_offset = scoop_offset(source.nonces, chunk.scoop, chunk.done);
    reads.high_offset = scoop_offset(source.nonces, partner, chunk.done);
    reads.bytes = chunk.count * scoop_size;
    start_on_helper(reads.low_reader, [&reads] {
        reads.low_ok = read_at(*reads.file, reads.low_offset, reads.bytes, reads.low);
    });
    start_on_helper(reads.high_reader, [&reads] {
        reads.high_ok = read_at(*reads.file, reads.high_offset, reads.bytes, reads.high);
    });
}

// Waits for both runs and counts them once they have arrived.
bool finish_reads(swizzler_s& record, chunk_reads_s& reads, read_failure_s* failure) {
    wait_for_helper(reads.low_reader);
    wait_for_helper(reads.high_reader);
    if (!reads.low_ok || !reads.high_ok) {
        *failure = {reads.file->path, reads.low_ok ? reads.high_offset : reads.low_offset};
        return false;
    }
    for (int run = 0; run < 2; ++run) {
        record.bytes_read.fetch_add(reads.bytes);
        record.bytes_buffered.fetch_add(reads.bytes);
    }
    return true;
}

pairs_result convert_pairs(swizzler_s& record, conversion_job_s& job,
                           const std::vector<source_s>& sources, const file_handle_s& target,
                           buffers_s& buffers, write_back_s& back, chunk_reads_s& reads,
                           std::uint64_t capacity, read_failure_s* failure) {
    chunk_s chunk;
    place_chunk(chunk, sources, capacity);
    back.target_offset = 0;
    back.filling.count = 0;
    if (chunk.count == 0 || record.stop.load()) {
        return record.stop.load() ? pairs_result::stopped : pairs_result::converted;
    }
    reads.low = buffers.read_low.data;
    reads.high = buffers.read_high.data;
    start_reads(reads, chunk, sources);
    for (;;) {
        if (!finish_reads(record, reads, failure)) {
            return pairs_result::read_failed;
        }
        std::uint64_t n = chunk.count;
        verify(back.filling.count + n <= capacity, "swizzler", 232);
        std::uint64_t at = back.filling.count * scoop_size;
        swizzle_pair_into(reads.low, reads.high, back.filling.low + at, back.filling.high + at, n);
        back.filling.count += n;

        chunk_s next = next_chunk(chunk, sources, capacity);
        bool stopping = record.stop.load();
        if (next.count > 0 && !stopping) {
            start_reads(reads, next, sources); // the read buffers are free again
        }
        if (back.filling.count == capacity) {
            flush_scoops(record, job, target, back, chunk.scoop);
        }
        if (next.count == 0 || next.scoop != chunk.scoop) {
            flush_scoops(record, job, target, back, chunk.scoop); // the end of the pair
            back.target_offset = 0;
            back.filling.count = 0;
        }
        if (stopping) {
            return pairs_result::stopped;
        }
        if (next.count == 0) {
            return pairs_result::converted;
        }
        chunk = next;
    }
}

// Reads the flushed target back against its sources; false (the job failed) unless it matches.
bool prove_output(swizzler_s& record, conversion_job_s& job, const std::vector<source_s>& sources,
                  const file_handle_s& target, const std::string& temporary_path,
                  buffers_s& buffers, chunk_reads_s& reads, std::uint64_t capacity) {
    std::vector<check_source_s> checked;
    for (const auto& source : sources) {
        checked.push_back({&source.file, source.nonces});
    }
    check_space_s space{buffers.read_low.data,
                        buffers.read_high.data,
                        buffers.write_low[0].data,
                        buffers.write_high[0].data,
                        capacity,
                        &reads.low_reader,
                        &reads.high_reader};
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
                const file_handle_s& target, const std::string& temporary_path, buffers_s& buffers,
                chunk_reads_s& reads, std::uint64_t capacity) {
    int error = 0;
    if (!flush_target(target, &error)) {
        log_message("Failed to flush %s to the disk, error %d\n", temporary_path.c_str(), error);
        fail_job(job,
                 "its data could not be flushed to the disk (error " + std::to_string(error) + ")");
        return;
    }
    if (record.verify_outputs &&
        !prove_output(record, job, sources, target, temporary_path, buffers, reads, capacity)) {
        return;
    }
    if (!rename_without_replacing(temporary_path, job.output_path, &error)) {
        log_message("Error renaming %s to %s\n", temporary_path.c_str(), job.output_path.c_str());
        fail_job(job, error == EEXIST
                          ? "a file of its final name already exists"
                          : "it could not be renamed (error " + std::to_string(error) + ")");
        return;
    }
    if (!sync_folder_of(job.output_path, &error)) {
        log_message("Failed to flush the folder of %s to the disk, error %d\n",
                    job.output_path.c_str(), error);
        fail_job(job, "its new name could not be flushed to the disk (error " +
                          std::to_string(error) + ")");
        return;
    }
    job.state = job_state::completed;
}

void report_read_failure(conversion_job_s& job, const read_failure_s& failure) {
    log_message("Abandoning %s: reading %s at offset %llu failed\n", job.output_path.c_str(),
                failure.path.c_str(), static_cast<unsigned long long>(failure.offset));
    show_message(main_window, "Error",
                 "Failed to read from file:\n %s\n%s will not be converted; its source files are "
                 "kept.",
                 failure.path.c_str(), job.output_path.c_str());
    fail_job(job, "its source " + failure.path + " could not be read");
}

// Opens every source of the job; false (the job failed, its box shown) when one cannot be.
bool open_sources(conversion_job_s& job, std::vector<source_s>& sources) {
    for (const auto& path : job.source_paths) {
        log_message("Opening source %s\n", path.c_str());
        int error = 0;
        file_handle_s file = open_source_file(path, &error);
        if (file.fd < 0) {
            show_message(main_window, "Error", "Could not open file:\n %s\nError code %d\n",
                         path.c_str(), error);
            log_message("Failed to open %s for reading!\n", path.c_str());
            fail_job(job, "its source " + path + " could not be opened");
            close_sources(sources);
            return false;
        }
        sources.push_back({std::move(file), 0});
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

// One job from its sources to its final name.
void convert_job(swizzler_s& record, conversion_job_s& job, buffers_s& buffers, write_back_s& back,
                 chunk_reads_s& reads, std::uint64_t capacity) {
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

    read_failure_s failure;
    pairs_result result =
        convert_pairs(record, job, sources, target, buffers, back, reads, capacity, &failure);
    wait_for_pending_write(back);
    if (result == pairs_result::converted && record.stop.load()) {
        result = pairs_result::stopped; // a stopped run gives no final names
    }
    switch (result) {
    case pairs_result::converted:
        finish_job(record, job, sources, target, temporary_path, buffers, reads, capacity);
        break;
    case pairs_result::read_failed:
        report_read_failure(job, failure);
        break;
    case pairs_result::stopped:
        fail_job(job, "the conversion was stopped");
        break;
    }
    close_file_handle(target);
    close_sources(sources);
}

void end_program_from_ui() {
    post_to_ui([] { request_quit(1); });
}

} // namespace

void start_work_thread(swizzler_s& record, std::uint64_t max_ram_bytes,
                       std::function<void()> on_complete) {
    if (record.thread.joinable()) {
        return;
    }
    record.ram_limit = max_ram_bytes;
    record.finished = false;
    record.on_complete = std::move(on_complete);
    record.stop.store(false);
    try {
        record.thread = std::thread(work_thread, std::ref(record));
    } catch (const std::system_error& failure) {
        log_message("Could not start the work thread, error %d\n", failure.code().value());
        show_message(main_window, "Error", "Could not start the conversion. Error %d",
                     failure.code().value());
        end_program_from_ui();
    }
}

void work_thread(swizzler_s& record) {
    int awake = begin_keep_awake();
    if (awake < 0) {
        log_message("Failed to disable system sleeping.\n");
    }
    log_message("Work thread started\n");

    memory_status_s memory = read_memory_status();
    buffer_sizing_s sizing = size_buffers(memory, record.plan.largest_job_bytes, record.ram_limit,
                                          has_merged_jobs(record.plan));
    log_message("%s RAM available, limiting use to %s\n", size_text(memory.available_bytes, true),
                size_text(sizing.budget_bytes, true));
    report_budget_change(sizing, record.ram_limit, memory);

    std::uint64_t capacity = sizing.capacity;
    verify(sizing.buffer_bytes <= sizing.budget_bytes, "swizzler", 81);
    log_message("Using %s read buffers and %s write buffers\n",
                size_text(capacity * scoop_size * 2, true),
                size_text(capacity * scoop_size * 4, true));

    buffers_s buffers;
    if (!allocate_buffers(buffers, capacity, memory.total_bytes)) {
        release_buffers(buffers);
        end_keep_awake(awake);
        end_program_from_ui();
        return;
    }
    record.buffer_bytes = capacity * scoop_size;

    write_back_s back;
    chunk_reads_s reads;
    back.filling = {0, buffers.write_low[0].data, buffers.write_high[0].data};
    back.writing = {0, buffers.write_low[1].data, buffers.write_high[1].data};
    for (auto& job : record.plan.jobs) {
        if (record.stop.load()) {
            break;
        }
        convert_job(record, job, buffers, back, reads, capacity);
    }
    stop_writer(back);
    stop_helper(reads.low_reader);
    stop_helper(reads.high_reader);
    release_buffers(buffers);

    log_message("Work thread ended\n");
    end_keep_awake(awake);
    if (!record.stop.load()) {
        post_to_ui([&record] {
            record.finished = true;
            if (record.on_complete) {
                record.on_complete();
            }
        });
    }
}
