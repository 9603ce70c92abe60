#include "swizzler/in_place_recovery.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "catalogue/plot_format.h"
#include "util/crc32c.h"
#include "util/log.h"
#include "util/positioned_io.h"

namespace {

struct found_slot_s {
    unsigned index = 0;
    journal_slot_s slot;
};

bool fail_with(in_place_failure_s* failure, const file_handle_s& file, std::uint64_t offset,
               int error, bool reading) {
    *failure = {file.path, offset, error, reading};
    return false;
}

bool read_or_fail(transfer_backend_s& transfers, const file_handle_s& file, std::uint64_t offset,
                  std::uint64_t length, std::uint8_t* buffer, in_place_failure_s* failure) {
    return read_at(transfers, file, offset, length, buffer) ||
           fail_with(failure, file, offset, EIO, true);
}

bool write_or_fail(transfer_backend_s& transfers, const file_handle_s& file, std::uint64_t offset,
                   std::uint64_t length, const std::uint8_t* buffer, in_place_failure_s* failure) {
    int error = write_at(transfers, file, offset, length, buffer);
    return error == 0 || fail_with(failure, file, offset, error, false);
}

bool flush_or_fail(transfer_backend_s& transfers, const file_handle_s& file,
                   in_place_failure_s* failure) {
    int error = flush_through(transfers, file);
    if (error == 0) {
        return true;
    }
    log_message("Failed to flush %s to the disk, error %d\n", file.path.c_str(), error);
    return fail_with(failure, file, 0, error, false);
}

// Whether the slot at `index` is whole; its group in *slot. Reads its data through the journal
// buffer in pieces, since a slot written by a run with more memory may not fit at once.
bool slot_is_whole(transfer_backend_s& transfers, const in_place_files_s& files, unsigned index,
                   journal_slot_s* slot, in_place_failure_s* failure, bool* whole) {
    *whole = false;
    const journal_header_s& header = files.header;
    std::uint64_t offset = journal_slot_offset(header.slot_data_bytes, index);
    std::uint8_t* block = files.journal_buffer;
    if (!read_or_fail(transfers, *files.journal, offset, journal_block, block, failure)) {
        return false;
    }
    std::uint32_t expected = 0;
    if (!decode_journal_slot(header.plot, header.slot_data_bytes, block, slot, &expected)) {
        return true;
    }
    std::uint32_t crc = slot_crc_start(block);
    std::uint64_t data = slot->entry_count * journal_half_bytes;
    std::uint64_t piece = files.sizing.journal_bytes - journal_block;
    for (std::uint64_t done = 0; done < data;) {
        std::uint64_t length = std::min(piece, data - done);
        // Whole blocks, so that the read can go direct; only `length` bytes count.
        std::uint64_t padded = (length + journal_block - 1) / journal_block * journal_block;
        std::uint8_t* into = files.journal_buffer + journal_block;
        if (!read_or_fail(transfers, *files.journal, offset + journal_block + done, padded, into,
                          failure)) {
            return false;
        }
        crc = crc32c(into, length, crc);
        done += length;
    }
    *whole = crc == expected;
    return true;
}

// Replays entries [part.first, part.end()) of the slot at `index`, which holds group `group`.
bool replay_part(transfer_backend_s& transfers, const in_place_files_s& files, unsigned index,
                 const journal_slot_s& group, const in_place_group_s& part,
                 in_place_failure_s* failure) {
    const file_handle_s& plot = *files.plot;
    std::uint64_t nonces = files.header.plot.nonces;
    std::uint64_t a = files.sizing.alignment;
    byte_span_s low_span = group_low_span(nonces, part), high_span = group_high_span(nonces, part);
    byte_span_s low_hull = aligned_hull(low_span, a), high_hull = aligned_hull(high_span, a);

    std::uint64_t data_at = journal_slot_offset(files.header.slot_data_bytes, index) +
                            journal_block + (part.first - group.first_entry) * journal_half_bytes;
    // The read starts on a block boundary; the part's L2 begins `skew` bytes into it.
    std::uint64_t read_from = data_at / journal_block * journal_block;
    std::uint64_t skew = data_at - read_from;
    std::uint64_t length = (skew + part.count * journal_half_bytes + journal_block - 1) /
                           journal_block * journal_block;
    std::uint8_t* halves = files.journal_buffer;
    if (!read_or_fail(transfers, *files.journal, read_from, length, halves, failure) ||
        !read_or_fail(transfers, plot, low_hull.begin, low_hull.size(), files.low[0], failure) ||
        !read_or_fail(transfers, plot, high_hull.begin, high_hull.size(), files.high[0], failure)) {
        return false;
    }
    for (std::uint64_t entry = part.first; entry < part.end();) {
        std::uint64_t run_end = std::min(part.end(), (entry / nonces + 1) * nonces);
        std::uint64_t count = run_end - entry;
        finish_exchange(files.low[0] + (entry * scoop_size - low_hull.begin),
                        files.high[0] + (partner_offset(nonces, entry) - high_hull.begin),
                        halves + skew + (entry - part.first) * journal_half_bytes, count);
        entry = run_end;
    }
    if (!write_or_fail(transfers, plot, low_hull.begin, low_hull.size(), files.low[0], failure) ||
        !flush_or_fail(transfers, plot, failure)) {
        return false;
    }
    announce(transfers, "in-place replay low written", plot.path);
    if (!write_or_fail(transfers, plot, high_hull.begin, high_hull.size(), files.high[0],
                       failure) ||
        !flush_or_fail(transfers, plot, failure)) {
        return false;
    }
    announce(transfers, "in-place replay high written", plot.path);
    return true;
}

} // namespace

void carve_in_place_buffers(in_place_files_s& files, const in_place_sizing_s& sizing,
                            std::uint8_t* memory) {
    files.sizing = sizing;
    std::uint8_t* at = memory;
    for (unsigned set = 0; set < sizing.sets; ++set) {
        files.low[set] = at;
        files.high[set] = at + sizing.side_bytes;
        at += 2 * sizing.side_bytes;
    }
    files.journal_buffer = at;
}

void finish_exchange(std::uint8_t* low, std::uint8_t* high, const std::uint8_t* old_low_halves,
                     std::uint64_t count) {
    for (std::uint64_t e = 0; e < count; ++e) {
        std::uint8_t* l = low + e * scoop_size + half_size;
        std::uint8_t* h = high + e * scoop_size + half_size;
        const std::uint8_t* j = old_low_halves + e * journal_half_bytes;
        for (std::uint64_t b = 0; b < half_size; ++b) {
            std::uint8_t old_high = l[b] != j[b] ? l[b] : h[b];
            l[b] = old_high;
            h[b] = j[b];
        }
    }
}

bool replay_journal(transfer_backend_s& transfers, const in_place_files_s& files,
                    journal_position_s* position, in_place_failure_s* failure) {
    *position = journal_position_s{};
    std::vector<found_slot_s> whole;
    for (unsigned index = 0; index < journal_slots; ++index) {
        found_slot_s found{index, {}};
        bool is_whole = false;
        if (!slot_is_whole(transfers, files, index, &found.slot, failure, &is_whole)) {
            return false;
        }
        if (is_whole) {
            whole.push_back(found);
        } else {
            log_message("Journal slot %u of %s is empty or torn; its group never changed the "
                        "plot\n",
                        index, files.journal->path.c_str());
        }
    }
    std::sort(whole.begin(), whole.end(), [](const found_slot_s& a, const found_slot_s& b) {
        return a.slot.sequence < b.slot.sequence;
    });
    std::uint64_t nonces = files.header.plot.nonces;
    for (const found_slot_s& found : whole) {
        const journal_slot_s& group = found.slot;
        log_message("Replaying entries %llu to %llu of %s from the journal\n",
                    static_cast<unsigned long long>(group.first_entry),
                    static_cast<unsigned long long>(group.first_entry + group.entry_count),
                    files.plot->path.c_str());
        std::uint64_t end = group.first_entry + group.entry_count;
        for (std::uint64_t entry = group.first_entry; entry < end;) {
            in_place_group_s part =
                group_at(nonces, entry, std::min(files.sizing.most_entries, end - entry));
            if (!replay_part(transfers, files, found.index, group, part, failure)) {
                return false;
            }
            entry = part.end();
        }
        position->next_entry = end;
        position->next_sequence = group.sequence + 1;
        ++position->replayed;
    }
    return true;
}
