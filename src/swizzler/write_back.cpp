#include "swizzler/write_back.h"

#include <system_error>
#include <utility>

#include "swizzler/plot_layout.h"
#include "util/log.h"
#include "util/positioned_io.h"

namespace {

void run_task(write_task_s& task) {
    write_scoops(*task.record, task.nonces, *task.target, *task.set, task.scoop, task.base);
    task.done.set_value();
}

void writer_loop(write_back_s& back) {
    for (;;) {
        write_task_s task;
        {
            std::unique_lock hold(back.lock);
            back.wake.wait(hold, [&back] { return back.slot.has_value() || back.closing; });
            if (!back.slot) {
                return;
            }
            task = std::move(*back.slot);
            back.slot.reset();
        }
        run_task(task);
    }
}

void start_writer(write_back_s& back) {
    try {
        back.writer = std::thread(writer_loop, std::ref(back));
    } catch (const std::system_error& failure) {
        log_message("Could not start the writer thread, error %d; writing on the work thread\n",
                    failure.code().value());
        back.write_inline = true;
    }
}

} // namespace

void flush_scoops(swizzler_s& record, conversion_job_s& job, const file_handle_s& target,
                  write_back_s& back, std::uint64_t scoop) {
    wait_for_pending_write(job);
    if (record.stop.load()) {
        return;
    }
    // The set just written is empty (its write emptied it, or it was handed over empty).
    std::swap(back.filling, back.writing);
    std::uint64_t count = back.writing.count;
    record.bytes_buffered.exchange(0);
    record.bytes_in_flight.exchange(count * scoop_size * 2);
    verify(back.target_offset + count <= job.nonces, "swizzler", 172);
    std::uint64_t base = back.target_offset;
    back.target_offset += count;
    if (count == 0) {
        return;
    }

    write_task_s task;
    task.record = &record;
    task.target = &target;
    task.set = &back.writing;
    task.nonces = job.nonces;
    task.scoop = scoop;
    task.base = base;
    job.pending_write = task.done.get_future();

    if (!back.writer.joinable() && !back.write_inline) {
        start_writer(back);
    }
    if (back.write_inline) {
        run_task(task);
        return;
    }
    {
        std::lock_guard hold(back.lock);
        back.slot = std::move(task);
    }
    back.wake.notify_one();
}

void wait_for_pending_write(conversion_job_s& job) {
    if (job.pending_write.valid()) {
        job.pending_write.get();
    }
}

void write_scoops(swizzler_s& record, std::uint64_t nonces, const file_handle_s& target,
                  write_set_s& set, std::uint64_t scoop, std::uint64_t base) {
    std::uint64_t partner = scoops_per_nonce - 1 - scoop;
    std::uint64_t bytes = set.count * scoop_size;
    std::uint64_t target_bytes = plot_size(nonces);

    verify(scoop_offset(nonces, scoop, base + set.count) <= target_bytes, "swizzler", 184);
    write_at(target, scoop_offset(nonces, scoop, base), bytes, set.low);
    record.bytes_written.fetch_add(bytes);
    record.bytes_in_flight.fetch_sub(bytes);

    verify(scoop_offset(nonces, partner, base + set.count) <= target_bytes, "swizzler", 189);
    write_at(target, scoop_offset(nonces, partner, base), bytes, set.high);
    record.bytes_written.fetch_add(bytes);
    record.bytes_in_flight.fetch_sub(bytes);

    set.count = 0;
}

void stop_writer(write_back_s& back) {
    if (!back.writer.joinable()) {
        return;
    }
    {
        std::lock_guard hold(back.lock);
        back.closing = true;
    }
    back.wake.notify_one();
    back.writer.join();
}
