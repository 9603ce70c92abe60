#include "swizzler/output_check.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>

#include "swizzler/swizzle.h"
#include "util/positioned_io.h"

namespace {

struct run_read_s {
    transfer_backend_s* transfers = nullptr;
    const file_handle_s* file = nullptr;
    std::uint64_t offset = 0;
    std::uint64_t bytes = 0;
    std::uint8_t* into = nullptr;
    bool ok = false;
};

void read_run(run_read_s& run) {
    run.ok = read_at(*run.transfers, *run.file, run.offset, run.bytes, run.into);
}

} // namespace

check_result check_output(swizzler_s& record, const std::vector<check_source_s>& sources,
                          const file_handle_s& target, std::uint64_t nonces, check_space_s& space,
                          std::uint64_t* first_difference) {
    posix_fadvise(target.fd, 0, 0, POSIX_FADV_DONTNEED);
    // One back-end for each reading thread: the low reader's, the high reader's, this thread's.
    transfer_backend_s readers[3] = {*space.transfers, *space.transfers, *space.transfers};
    for (transfer_backend_s& reader : readers) {
        if (!open_transfers(reader, 1, nullptr)) {
            return check_result::read_failed;
        }
    }
    for (std::uint64_t scoop = 0; scoop < scoop_pairs; ++scoop) {
        std::uint64_t partner = scoops_per_nonce - 1 - scoop;
        std::uint64_t first_nonce = 0; // of the current source, in the target
        for (const auto& source : sources) {
            for (std::uint64_t done = 0; done < source.nonces;) {
                if (record.stop.load()) {
                    return check_result::stopped;
                }
                std::uint64_t count = std::min(space.capacity, source.nonces - done);
                std::uint64_t bytes = count * scoop_size;
                std::uint64_t at = first_nonce + done;
                run_read_s low{&readers[0], source.file, scoop_offset(source.nonces, scoop, done),
                               bytes, space.source_low};
                run_read_s high{&readers[1], source.file,
                                scoop_offset(source.nonces, partner, done), bytes,
                                space.source_high};
                run_read_s written_low{&readers[2], &target, scoop_offset(nonces, scoop, at), bytes,
                                       space.target_low};
                run_read_s written_high{&readers[2], &target, scoop_offset(nonces, partner, at),
                                        bytes, space.target_high};
                start_on_helper(*space.low_reader, [&low] { read_run(low); });
                start_on_helper(*space.high_reader, [&high] { read_run(high); });
                read_run(written_low);
                read_run(written_high);
                wait_for_helper(*space.low_reader);
                wait_for_helper(*space.high_reader);
                if (!low.ok || !high.ok || !written_low.ok || !written_high.ok) {
                    return check_result::read_failed;
                }
                swizzle_pair(space.source_low, space.source_high, count);
                for (const run_read_s* run : {&written_low, &written_high}) {
                    const std::uint8_t* expected =
                        run == &written_low ? space.source_low : space.source_high;
                    if (std::memcmp(expected, run->into, bytes) != 0) {
                        std::uint64_t i = 0;
                        while (expected[i] == run->into[i]) {
                            ++i;
                        }
                        *first_difference = run->offset + i;
                        return check_result::different;
                    }
                }
                record.bytes_verified.fetch_add(2 * bytes);
                done += count;
            }
            first_nonce += source.nonces;
        }
    }
    return check_result::same;
}
