// Where the data of an in-place conversion lies, cut into groups, and how a
// run's buffers are divided for it.
//
// A plot of N nonces has 2048 * N low entries (scoops 0..2047, 64 bytes each)
// in the contiguous low region [0, 2048 * N * 64); low entry e is scoop e / N
// of nonce e % N at e * 64, and its partner (scoop 4095 - e / N, same nonce)
// lies in the high region. The conversion visits the low entries in order, in
// groups: a group is either whole runs (pairs s .. s + r - 1, whose high runs
// 4095 - s - r + 1 .. 4095 - s are one contiguous stretch, in reverse order of
// pairs) or part of one run (nonces [a, b) of one pair, whose high entries are
// contiguous too). So each group has one low span and one high span, and is
// read and written through their aligned hulls. A hull's edge blocks carry
// neighbouring entries, which are written back exactly as they are.
//
// The run's buffers hold one or two sets (low hull and high hull of one group)
// and the journal buffer (a slot header and the group's L2): with two sets the
// next group is read while this one is written. On a spinning drive that would
// send the head back and forth between the groups, so there one set takes all
// the buffers and groups are as long as they hold (and the journal allows):
// every group costs its seeks and two flushes, whatever its length.
#pragma once

#include <cstdint>

#include "swizzler/job_layout.h"

// Low entries [first, first + count).
struct in_place_group_s {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    std::uint64_t end() const { return first + count; }
};

// Low entries of a plot of `nonces` nonces.
std::uint64_t low_entries(std::uint64_t nonces);

// The group that starts at low entry `first` with at most `most` entries (at least one): the
// rest of the run `first` lies in when it does not start a run or a run is more than `most`
// entries, else as many whole runs as fit. `first` must be below low_entries(nonces).
in_place_group_s group_at(std::uint64_t nonces, std::uint64_t first, std::uint64_t most);

// The bytes of a group's low entries and of their partners.
byte_span_s group_low_span(std::uint64_t nonces, const in_place_group_s& group);
byte_span_s group_high_span(std::uint64_t nonces, const in_place_group_s& group);

// Offset of the partner of low entry `entry`.
std::uint64_t partner_offset(std::uint64_t nonces, std::uint64_t entry);

// [down(span.begin), up(span.end)) for the alignment.
byte_span_s aligned_hull(byte_span_s span, std::uint64_t alignment);

// How a run's buffers serve an in-place conversion.
struct in_place_sizing_s {
    std::uint64_t alignment = 0;     // transfers start and end on it; 0: the buffers are too small
    unsigned sets = 0;               // 1 or 2
    std::uint64_t most_entries = 0;  // per group
    std::uint64_t side_bytes = 0;    // each hull buffer; a multiple of 4096
    std::uint64_t journal_bytes = 0; // the journal buffer: slot header and L2 of a group
};

// The sizing for `buffer_bytes` of buffers, transfers aligned to `alignment` (a power of two,
// lowered when the buffers cannot hold it), groups of at most `most_entries` entries (the
// plot's low entries, or what its journal's slots hold), on a spinning drive (one set) or not.
in_place_sizing_s size_in_place(std::uint64_t buffer_bytes, std::uint64_t alignment,
                                std::uint64_t most_entries, bool rotational = false);
