// Proof that a finished target holds exactly what its sources give.
//
// The check reads every scoop pair of the sources again, exchanges the halves
// and compares the result with the same nonces read back from the target. It
// shares nothing with the conversion but the exchange itself and the layout, so
// a wrong offset, a lost write or a block the device changed afterwards shows
// up as a difference. The target's cached pages are dropped first, so what is
// read back comes from the device wherever the file system allows it.
//
// Limits: reads twice the plot's size. Work thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "swizzler/conversion_record.h"
#include "util/file_handle.h"
#include "util/helper_thread.h"
#include "util/transfer_backend.h"

struct check_source_s {
    const file_handle_s* file = nullptr;
    std::uint64_t nonces = 0;
};

// Four working buffers of `capacity` nonces (64 bytes each), two helpers for reading and the
// run's back-end as it was handed to the run (each reading thread opens its own at depth one).
struct check_space_s {
    std::uint8_t* source_low = nullptr;
    std::uint8_t* source_high = nullptr;
    std::uint8_t* target_low = nullptr;
    std::uint8_t* target_high = nullptr;
    std::uint64_t capacity = 0;
    helper_thread_s* low_reader = nullptr;
    helper_thread_s* high_reader = nullptr;
    const transfer_backend_s* transfers = nullptr;
};

enum class check_result { same, different, read_failed, stopped };

// Compares the target of `nonces` nonces with its sources, in order; on a difference
// *first_difference is the target offset of the first differing byte. Adds to the record's
// bytes_verified as it goes; gives up when the record's stop is set.
check_result check_output(swizzler_s& record, const std::vector<check_source_s>& sources,
                          const file_handle_s& target, std::uint64_t nonces, check_space_s& space,
                          std::uint64_t* first_difference);
