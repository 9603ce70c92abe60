// Finishing the groups an interrupted in-place conversion left in its journal.
//
// Order is what makes one journal slot enough: within a group the low entries
// are written and flushed before any high entry is written. So for each byte b
// of the second half of a journaled entry, with J the old low byte from the
// journal, Lc and Hc the low and high bytes on the disk now:
//   - Lc != J: the low entry was written (Lc is the old high byte), or
//   - Lc == J: either the low entry was not written, and the high one cannot
//     have been, so Hc is the old high byte; or it was, and the old high byte
//     equals J, and Hc is J or the old high byte, which are the same.
// Old high byte = Lc != J ? Lc : Hc, in every state a crash can leave: low not
// written, torn at any byte, written; high not written, torn, written. The new
// entries follow from that and J, and replaying them keeps the same order, so a
// crash during a replay is repaired by the next one. Replaying a group that had
// finished writes the same bytes again. Entries outside a group, which share a
// hull block with it, are written back exactly as they were read.
//
// Threading: the work thread; nothing else may write the plot meanwhile (the
// caller holds its lock).
#pragma once

#include <cstdint>
#include <string>

#include "catalogue/in_place_journal.h"
#include "swizzler/in_place_layout.h"
#include "util/file_handle.h"
#include "util/transfer_backend.h"

// Rebuilds the PoC2 form of `count` entry pairs: `low` and `high` (64 bytes an entry) hold them
// as they are on the disk, `old_low_halves` the journal's L2 (32 bytes an entry). In place.
void finish_exchange(std::uint8_t* low, std::uint8_t* high, const std::uint8_t* old_low_halves,
                     std::uint64_t count);

// An in-place conversion's open files and buffers.
struct in_place_files_s {
    const file_handle_s* plot = nullptr; // locked, under its temporary name
    const file_handle_s* journal = nullptr;
    journal_header_s header;
    in_place_sizing_s sizing;
    std::uint8_t* low[2] = {nullptr, nullptr}; // one per set, sizing.side_bytes each
    std::uint8_t* high[2] = {nullptr, nullptr};
    std::uint8_t* journal_buffer = nullptr; // sizing.journal_bytes
};

// Gives the files the sizing and carves its sets and journal buffer out of `memory`, which holds
// at least what the sizing asks for.
void carve_in_place_buffers(in_place_files_s& files, const in_place_sizing_s& sizing,
                            std::uint8_t* memory);

// A transfer that failed: which file, where, errno; for the job's report.
struct in_place_failure_s {
    std::string path;
    std::uint64_t offset = 0;
    int error = 0;
    bool reading = false;
    int check = 0; // an internal check that did not hold (its number); 0: a transfer failed
};

// Where the conversion goes on after the replay.
struct journal_position_s {
    std::uint64_t next_entry = 0;    // the first low entry not yet converted
    std::uint64_t next_sequence = 0; // the sequence number of the next group
    unsigned replayed = 0;           // groups replayed
};

// Replays every whole slot of the journal in the order of its sequence numbers, through the
// run's back-end (with nothing else in flight), and says where the conversion goes on (the
// start, when no slot is whole). False on a failed transfer or flush, with *failure set; the
// plot is then no worse than before.
bool replay_journal(transfer_backend_s& transfers, const in_place_files_s& files,
                    journal_position_s* position, in_place_failure_s* failure);
