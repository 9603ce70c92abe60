#include "swizzler/worker.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

#include "swizzler/buffer_sizing.h"
#include "swizzler/in_place_conversion.h"
#include "swizzler/job_conversion.h"
#include "swizzler/progress_record.h"
#include "util/keep_awake.h"
#include "util/log.h"
#include "util/memory_status.h"
#include "util/page_buffer.h"
#include "util/size_text.h"
#include "util/ui_tasks.h"

namespace {

constexpr int main_window = 0;

void end_program_from_ui() {
    post_to_ui([] { request_quit(1); });
}

// The tiles of the run, or a report. Tiles that the machine's memory cannot hold count as a
// failed allocation: committing them would push other programs out until the kernel ends this
// one in the middle of a conversion.
bool allocate_tiles(page_buffer_s& memory, const buffer_sizing_s& sizing,
                    std::uint64_t physical_bytes) {
    bool backable =
        sizing.buffer_bytes > 0 && (physical_bytes == 0 || sizing.buffer_bytes <= physical_bytes);
    if (backable) {
        memory = allocate_pages(sizing.buffer_bytes);
    }
    if (memory.data == nullptr) {
        log_message("Failed to allocated RAM for write buffers\n");
        show_message(main_window, "Error", "Failed to allocate RAM for write buffers");
        return false;
    }
    return true;
}

// A run that ended between an output's final name and the removal of its progress record left
// the record behind; nothing will ever resume from it.
// A rename that links the final name before it removes the temporary one, interrupted in
// between, left the output under both names; removing the temporary one finishes it.
void remove_stray_records(const conversion_plan_s& plan) {
    for (const conversion_job_s& job : plan.existing_jobs) {
        std::string temporary = job.output_path + ".swizzling";
        struct stat status {
        }, output{};
        if (lstat(temporary.c_str(), &status) == 0 &&
            lstat(job.output_path.c_str(), &output) == 0 && status.st_dev == output.st_dev &&
            status.st_ino == output.st_ino && !job.in_place) {
            log_message("Finishing the rename of %s to %s that an interrupted run began\n",
                        temporary.c_str(), job.output_path.c_str());
            if (unlink(temporary.c_str()) != 0) {
                continue;
            }
        }
        if (lstat(temporary.c_str(), &status) != 0 && errno == ENOENT) {
            remove_progress_record(progress_record_path(temporary));
        }
    }
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
    log_budget_change(sizing, record.ram_limit, memory);
    verify(sizing.buffer_bytes <= sizing.budget_bytes, "swizzler", 81);
    log_message("Using %s of buffers: %llu tiles of %s for reads and writes\n",
                size_text(sizing.buffer_bytes, true), static_cast<unsigned long long>(sizing.tiles),
                size_text(sizing.tile_bytes, true));

    page_buffer_s memory_for_tiles;
    if (!allocate_tiles(memory_for_tiles, sizing, memory.total_bytes)) {
        end_keep_awake(awake);
        end_program_from_ui();
        return;
    }
    record.buffer_bytes = sizing.tile_bytes;
    tile_pool_s pool;
    init_tile_pool(pool, memory_for_tiles.data, sizing.tile_bytes, sizing.tiles);

    io_queue_s queue;
    std::string why;
    if (!open_io_queue(queue, static_cast<unsigned>(sizing.tiles), record.transfers, &why)) {
        log_message("Could not start the transfers: %s\n", why.c_str());
        show_message(main_window, "Error", "Could not start the conversion: %s", why.c_str());
        release_pages(memory_for_tiles);
        end_keep_awake(awake);
        end_program_from_ui();
        return;
    }
    log_message("Transfers go through %s%s%s\n", io_backend_name(queue.backend),
                why.empty() ? "" : ": ", why.c_str());

    remove_stray_records(record.plan);
    helper_thread_s low_reader, high_reader;
    job_means_s means{&pool, &queue, &low_reader, &high_reader};
    for (auto& job : record.plan.jobs) {
        if (record.stop.load()) {
            break;
        }
        if (job.in_place) {
            convert_in_place(record, job, means);
        } else {
            convert_job(record, job, means);
        }
    }
    close_io_queue(queue);
    stop_helper(low_reader);
    stop_helper(high_reader);
    release_pages(memory_for_tiles);

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
