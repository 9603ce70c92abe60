#include "swizzler/in_place_pipeline.h"

#include <cerrno>
#include <cstring>
#include <tuple>

#include "catalogue/plot_format.h"
#include "swizzler/swizzle.h"
#include "util/log.h"

namespace {

enum transfer_kind : std::uint64_t { read_low, read_high, write_low, write_high, write_journal };

// One buffer set and the group in it.
struct set_s {
    bool holds = false;
    in_place_group_s group;
    byte_span_s low_hull, high_hull;
    byte_span_s low_taken, high_taken; // blocks taken from the previous group's set, not read
    unsigned reads = 0;                // in flight
    bool converted = false;
    bool high_writing = false;
    bool high_written = false;
    bool passed_on = false; // the next group no longer needs this set's blocks
};

struct groups_s {
    swizzler_s& record;
    const in_place_files_s& files;
    transfer_backend_s& transfers;
    std::uint64_t nonces = 0;
    std::uint64_t total = 0; // low entries
    unsigned set_count = 1;
    set_s sets[2];
    std::uint64_t filled = 0;    // groups filled so far; group n goes to set n % set_count
    std::uint64_t next_fill = 0; // first entry of the next group to fill
    unsigned in_flight = 0;
    bool journal_writing = false;
    bool low_writing = false;
    bool failing = false;
    in_place_failure_s failure;
};

std::uint64_t tag_of(unsigned set, transfer_kind kind) {
    return set * 8 + kind;
}

void fail(groups_s& g, const file_handle_s& file, std::uint64_t offset, int error, bool reading) {
    if (!g.failing) {
        g.failing = true;
        g.failure = {file.path, offset, error, reading, 0};
    }
}

// An internal check that did not hold ends the plot's conversion before its next write; the
// journal lets the next run finish the groups already under way.
bool check_holds(groups_s& g, bool condition, int number) {
    if (!always(condition, "swizzler", number)) {
        if (!g.failing) {
            g.failing = true;
            g.failure = {g.files.plot->path, 0, 0, false, number};
        }
        return false;
    }
    return true;
}

void submit(groups_s& g, unsigned set, transfer_kind kind, const file_handle_s& file,
            byte_span_s span, std::uint8_t* buffer) {
    if (span.empty()) {
        return;
    }
    io_request_s request;
    request.file = &file;
    request.direction =
        kind == read_low || kind == read_high ? io_direction::read : io_direction::write;
    request.offset = span.begin;
    request.length = span.size();
    request.buffer = buffer;
    request.tag = tag_of(set, kind);
    submit_io(g.transfers, request);
    ++g.in_flight;
}

// The hull without the block taken from the previous group, which lies at one of its ends.
byte_span_s part_to_read(byte_span_s hull, byte_span_s taken) {
    if (taken.empty()) {
        return hull;
    }
    if (taken.begin == hull.begin) {
        return {taken.end, hull.end};
    }
    return {hull.begin, taken.begin}; // taken ends where the hull does: fill_one checks it
}

// The block of `hull` that also lies in one of the previous group's hulls (at most one: the
// spans of two groups never overlap, so their hulls share at most an edge block).
byte_span_s shared_with(byte_span_s hull, const set_s& previous) {
    byte_span_s with_low = overlap(hull, previous.low_hull);
    byte_span_s with_high = overlap(hull, previous.high_hull);
    return with_low.empty() ? with_high : with_low; // at most one of them: fill_one checks it
}

set_s* previous_of(groups_s& g, std::uint64_t group_number) {
    if (g.set_count < 2 || group_number == 0) {
        return nullptr;
    }
    set_s& previous = g.sets[(group_number - 1) % 2];
    return previous.holds ? &previous : nullptr;
}

// Starts reading the next group when its set is free; false when it is not.
bool fill_one(groups_s& g) {
    if (g.failing || g.next_fill >= g.total) {
        return false;
    }
    unsigned index = static_cast<unsigned>(g.filled % g.set_count);
    set_s& set = g.sets[index];
    if (set.holds) {
        return false;
    }
    std::uint64_t a = g.files.sizing.alignment;
    set = set_s{};
    set.holds = true;
    set.group = group_at(g.nonces, g.next_fill, g.files.sizing.most_entries);
    set.low_hull = aligned_hull(group_low_span(g.nonces, set.group), a);
    set.high_hull = aligned_hull(group_high_span(g.nonces, set.group), a);
    if (const set_s* previous = previous_of(g, g.filled)) {
        set.low_taken = shared_with(set.low_hull, *previous);
        set.high_taken = shared_with(set.high_hull, *previous);
        for (byte_span_s hull : {set.low_hull, set.high_hull}) {
            bool one_side = overlap(hull, previous->low_hull).empty() ||
                            overlap(hull, previous->high_hull).empty();
            if (!check_holds(g, one_side, 402)) {
                return false;
            }
        }
    }
    for (auto [hull, taken] :
         {std::pair{set.low_hull, set.low_taken}, std::pair{set.high_hull, set.high_taken}}) {
        bool at_an_end = taken.empty() || taken.begin == hull.begin || taken.end == hull.end;
        if (!check_holds(g, at_an_end, 401)) {
            return false;
        }
    }
    byte_span_s low_read = part_to_read(set.low_hull, set.low_taken);
    byte_span_s high_read = part_to_read(set.high_hull, set.high_taken);
    const file_handle_s& plot = *g.files.plot;
    submit(g, index, read_low, plot, low_read,
           g.files.low[index] + (low_read.begin - set.low_hull.begin));
    submit(g, index, read_high, plot, high_read,
           g.files.high[index] + (high_read.begin - set.high_hull.begin));
    set.reads = (low_read.empty() ? 0 : 1) + (high_read.empty() ? 0 : 1);
    g.next_fill = set.group.end();
    ++g.filled;
    return true;
}

// Starts reading every group that a free set can take.
void try_fill(groups_s& g) {
    while (fill_one(g)) {
    }
}

void release_if_done(groups_s& g, set_s& set) {
    if (set.holds && set.high_written && set.passed_on) {
        set.holds = false;
        try_fill(g);
    }
}

void take_completion(groups_s& g, const io_completion_s& completion) {
    --g.in_flight;
    auto kind = static_cast<transfer_kind>(completion.tag % 8);
    unsigned index = static_cast<unsigned>(completion.tag / 8);
    set_s& set = g.sets[index];
    std::uint64_t bytes = set.group.count * scoop_size;
    const file_handle_s& file = kind == write_journal ? *g.files.journal : *g.files.plot;
    if (completion.error != 0) {
        std::uint64_t offset = kind == read_low || kind == write_low ? set.low_hull.begin
                               : kind == write_journal               ? 0
                                                                     : set.high_hull.begin;
        bool reading = kind == read_low || kind == read_high;
        log_message("Failed to %s %s at offset %llu, error %d\n", reading ? "read" : "write",
                    file.path.c_str(), static_cast<unsigned long long>(offset), completion.error);
        fail(g, file, offset, completion.error, reading);
    }
    switch (kind) {
    case read_low:
    case read_high:
        --set.reads;
        break;
    case write_low:
        g.low_writing = false;
        g.record.bytes_in_flight.fetch_sub(bytes);
        g.record.bytes_written.fetch_add(completion.error == 0 ? bytes : 0);
        break;
    case write_high:
        set.high_writing = false;
        set.high_written = true;
        g.record.bytes_in_flight.fetch_sub(bytes);
        g.record.bytes_written.fetch_add(completion.error == 0 ? bytes : 0);
        if (completion.error == 0) {
            announce(g.transfers, "in-place high runs written", file.path);
            release_if_done(g, set);
        }
        break;
    case write_journal:
        g.journal_writing = false;
        break;
    }
}

// Takes one completion (waiting for one when `block`); false when none was taken. Also hands
// the transfers submitted since the last call to the kernel.
bool service(groups_s& g, bool block) {
    io_completion_s completion;
    if (g.in_flight == 0 || !wait_for_io(g.transfers, &completion, block)) {
        return false;
    }
    take_completion(g, completion);
    return true;
}

// Waits while `busy` holds (and nothing failed); false when it cannot end.
template <typename Busy> bool wait_while(groups_s& g, Busy busy) {
    while (!g.failing && busy()) {
        if (!service(g, true)) {
            check_holds(g, false, 403); // waiting for a transfer that is not in flight
            return false;
        }
    }
    return !g.failing;
}

bool flush(groups_s& g, const file_handle_s& file) {
    while (service(g, false)) {
    }
    int error = flush_through(g.transfers, file);
    if (error != 0) {
        log_message("Failed to flush %s to the disk, error %d\n", file.path.c_str(), error);
        fail(g, file, 0, error, false);
        return false;
    }
    return true;
}

// The previous group's blocks, then the exchange with the old low halves kept for the journal.
void convert(groups_s& g, unsigned index) {
    set_s& set = g.sets[index];
    const in_place_files_s& files = g.files;
    std::uint8_t* low = files.low[index];
    std::uint8_t* high = files.high[index];
    unsigned other = 1 - index;
    set_s* previous = g.set_count == 2 && g.sets[other].holds &&
                              g.sets[other].group.end() == set.group.first &&
                              g.sets[other].converted
                          ? &g.sets[other]
                          : nullptr;
    // A block taken from the previous group must still be in its set to be copied.
    if (!check_holds(g, previous != nullptr || (set.low_taken.empty() && set.high_taken.empty()),
                     404)) {
        return;
    }
    if (previous != nullptr) {
        for (auto [taken, into, hull] : {std::tuple{set.low_taken, low, set.low_hull},
                                         std::tuple{set.high_taken, high, set.high_hull}}) {
            if (taken.empty()) {
                continue;
            }
            bool in_low = overlap(taken, previous->low_hull).size() == taken.size();
            const std::uint8_t* from =
                in_low ? files.low[other] + (taken.begin - previous->low_hull.begin)
                       : files.high[other] + (taken.begin - previous->high_hull.begin);
            std::memcpy(into + (taken.begin - hull.begin), from, taken.size());
        }
    }
    std::uint8_t* halves = files.journal_buffer + journal_block;
    const in_place_group_s& group = set.group;
    // A back-end that only keeps time delivered no bytes: there is nothing to exchange.
    for (std::uint64_t entry = group.first; entry < group.end() && g.transfers.moves_data;) {
        std::uint64_t run_end = std::min(group.end(), (entry / g.nonces + 1) * g.nonces);
        std::uint8_t* l = low + (entry * scoop_size - set.low_hull.begin);
        std::uint8_t* h = high + (partner_offset(g.nonces, entry) - set.high_hull.begin);
        std::uint8_t* j = halves + (entry - group.first) * journal_half_bytes;
        for (std::uint64_t e = 0; e < run_end - entry; ++e) {
            std::memcpy(j + e * journal_half_bytes, l + e * scoop_size + half_size, half_size);
        }
        swizzle_pair(l, h, run_end - entry);
        entry = run_end;
    }
    set.converted = true;
    g.record.bytes_read.fetch_add(2 * group.count * scoop_size);
    g.record.bytes_buffered.fetch_add(2 * group.count * scoop_size);
    if (g.set_count == 1) {
        set.passed_on = true; // the next group reads everything after this one is written
    } else if (previous != nullptr) {
        previous->passed_on = true;
        release_if_done(g, *previous);
    } else {
        // The first group of the run: no earlier group holds a set.
        try_fill(g);
    }
}

// Journal, low entries, flush, high entries: one group from its buffer to the disk.
bool write_group(groups_s& g, unsigned index, std::uint64_t sequence) {
    set_s& set = g.sets[index];
    const in_place_files_s& files = g.files;
    const file_handle_s& journal = *files.journal;
    const file_handle_s& plot = *files.plot;
    journal_slot_s slot{sequence, set.group.first, set.group.count};
    if (g.transfers.moves_data) {
        seal_journal_slot(files.header.plot, slot, files.journal_buffer);
    }
    std::uint64_t slot_at = journal_slot_offset(files.header.slot_data_bytes,
                                                static_cast<unsigned>(sequence % journal_slots));
    g.journal_writing = true;
    submit(g, 0, write_journal, journal,
           {slot_at, slot_at + journal_slot_write_bytes(set.group.count)}, files.journal_buffer);
    if (!wait_while(g, [&] { return g.journal_writing; })) {
        return false;
    }
    announce(g.transfers, "in-place journal slot written", journal.path);
    if (!flush(g, journal)) {
        return false;
    }
    announce(g.transfers, "in-place journal flushed", journal.path);

    std::uint64_t bytes = set.group.count * scoop_size;
    g.record.bytes_buffered.fetch_sub(bytes);
    g.record.bytes_in_flight.fetch_add(bytes);
    g.low_writing = true;
    submit(g, index, write_low, plot, set.low_hull, files.low[index]);
    // The flush makes the previous group's high entries durable too: they must be written.
    if (!wait_while(g, [&] {
            return g.low_writing || (g.set_count == 2 && g.sets[1 - index].high_writing);
        })) {
        return false;
    }
    announce(g.transfers, "in-place low runs written", plot.path);
    if (!flush(g, plot)) {
        return false;
    }
    announce(g.transfers, "in-place low runs flushed", plot.path);
    g.record.bytes_buffered.fetch_sub(bytes);
    g.record.bytes_in_flight.fetch_add(bytes);
    set.high_writing = true;
    submit(g, index, write_high, plot, set.high_hull, files.high[index]);
    // Hands the write to the kernel before the next group is waited for.
    while (service(g, false)) {
    }
    return true;
}

} // namespace

in_place_outcome convert_in_place_groups(swizzler_s& record, const in_place_files_s& files,
                                         transfer_backend_s& transfers,
                                         const journal_position_s& position,
                                         in_place_failure_s* failure) {
    groups_s g{record, files, transfers, 0, 0, 1, {}, 0, 0, 0, false, false, false, {}};
    g.nonces = files.header.plot.nonces;
    g.total = low_entries(g.nonces);
    g.set_count = files.sizing.sets;
    g.next_fill = position.next_entry;

    bool stopped = false;
    std::uint64_t sequence = position.next_sequence;
    std::uint64_t converted_to = position.next_entry;
    try_fill(g);
    for (std::uint64_t turn = 0; converted_to < g.total && !g.failing; ++turn) {
        if (record.stop.load()) {
            stopped = true;
            break;
        }
        unsigned index = static_cast<unsigned>(turn % g.set_count);
        set_s& set = g.sets[index];
        if (!wait_while(g, [&] {
                return !(set.holds && set.group.first == converted_to && set.reads == 0);
            })) {
            break;
        }
        // Once its high entries are written the set may at once take the next group.
        std::uint64_t end = set.group.end();
        convert(g, index);
        // A group whose exchange did not hold must not reach the journal: a slot is trusted.
        if (g.failing || !write_group(g, index, sequence)) {
            break;
        }
        ++sequence;
        converted_to = end;
    }
    while (service(g, true)) {
    }
    // What was exchanged and never written is no longer waiting for anything.
    record.bytes_buffered.store(0);
    if (g.failing) {
        *failure = g.failure;
        return in_place_outcome::failed;
    }
    return stopped ? in_place_outcome::stopped : in_place_outcome::converted;
}
