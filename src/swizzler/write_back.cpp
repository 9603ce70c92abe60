#include "swizzler/write_back.h"

#include <future>
#include <memory>
#include <utility>

#include "swizzler/swizzle.h"
#include "util/log.h"
#include "util/positioned_io.h"

namespace {

// What one write task needs, fixed at its hand-over.
struct write_task_s {
    swizzler_s* record = nullptr;
    const file_handle_s* target = nullptr;
    write_set_s* set = nullptr; // the writing set; read when the task runs
    helper_thread_s* partner = nullptr;
    std::uint64_t nonces = 0; // N of the target
    std::uint64_t scoop = 0;
    std::uint64_t base = 0; // first target nonce of the set
    std::promise<void> done;
};

void write_run(swizzler_s& record, const file_handle_s& target, std::uint64_t offset,
               std::uint64_t bytes, const std::uint8_t* run) {
    write_at(target, offset, bytes, run);
    record.bytes_written.fetch_add(bytes);
    record.bytes_in_flight.fetch_sub(bytes);
}

} // namespace

void flush_scoops(swizzler_s& record, conversion_job_s& job, const file_handle_s& target,
                  write_back_s& back, std::uint64_t scoop) {
    std::uint64_t count = back.filling.count;
    if (count == 0) {
        // Nothing to write (a pair whose nonces filled the last set exactly): the write still
        // running goes on while the worker reads the next pair, instead of being waited for
        // here; the next hand-over or the end of the job waits for it.
        record.bytes_buffered.exchange(0);
        return;
    }
    wait_for_pending_write(back);
    if (record.stop.load()) {
        return;
    }
    // The set just written is empty: its write emptied it.
    std::swap(back.filling, back.writing);
    record.bytes_buffered.exchange(0);
    record.bytes_in_flight.exchange(count * scoop_size * 2);
    verify(back.target_offset + count <= job.nonces, "swizzler", 172);
    std::uint64_t base = back.target_offset;
    back.target_offset += count;

    auto task = std::make_shared<write_task_s>();
    task->record = &record;
    task->target = &target;
    task->set = &back.writing;
    task->partner = &back.partner_writer;
    task->nonces = job.nonces;
    task->scoop = scoop;
    task->base = base;
    back.pending_write = task->done.get_future();
    start_on_helper(back.writer, [task] {
        write_scoops(*task->record, task->nonces, *task->target, *task->set, task->scoop,
                     task->base, task->partner);
        task->done.set_value();
    });
}

void wait_for_pending_write(write_back_s& back) {
    if (back.pending_write.valid()) {
        back.pending_write.get();
    }
}

void write_scoops(swizzler_s& record, std::uint64_t nonces, const file_handle_s& target,
                  write_set_s& set, std::uint64_t scoop, std::uint64_t base,
                  helper_thread_s* partner) {
    std::uint64_t bytes = set.count * scoop_size;
    std::uint64_t target_bytes = plot_size(nonces);
    std::uint64_t low_offset = scoop_offset(nonces, scoop, base);
    std::uint64_t high_offset = scoop_offset(nonces, scoops_per_nonce - 1 - scoop, base);

    verify(low_offset + bytes <= target_bytes, "swizzler", 184);
    verify(high_offset + bytes <= target_bytes, "swizzler", 189);
    if (partner != nullptr) {
        struct high_run_s {
            swizzler_s* record;
            const file_handle_s* target;
            std::uint64_t offset, bytes;
            const std::uint8_t* run;
        } high{&record, &target, high_offset, bytes, set.high};
        start_on_helper(*partner, [&high] {
            write_run(*high.record, *high.target, high.offset, high.bytes, high.run);
        });
        write_run(record, target, low_offset, bytes, set.low);
        wait_for_helper(*partner);
    } else {
        write_run(record, target, low_offset, bytes, set.low);
        write_run(record, target, high_offset, bytes, set.high);
    }
    set.count = 0;
}

void stop_writer(write_back_s& back) {
    stop_helper(back.writer);
    stop_helper(back.partner_writer);
}
