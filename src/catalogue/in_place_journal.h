// The journal of an in-place conversion: what the plot needs to be finished
// after a crash or a power cut, in a small file beside it
// (<PoC2 name>.swizzling.journal).
//
// The exchange of halves in one file overwrites data that exists nowhere else:
// the second halves of the low entries (scoops 0..2047) are written over by
// those of their partners before the partners receive them. Each group of low
// entries therefore first puts those old second halves ("L2", 32 bytes an
// entry) in a journal slot, flushed before the first byte of the group changes;
// the low entries are then written and flushed before the high ones, and with
// that order the slot alone lets the next run finish the group from whatever
// state a crash left (see in_place_recovery.h).
//
// Layout, every number little-endian, every record on a 4096-byte boundary:
//   [0, 4096)    header: "SCOOPJNL", version, plot (account, start nonce,
//                nonces, PoC1 file name), slot data capacity, slot count (2),
//                CRC-32C of the block's first 4092 bytes in its last four.
//   slot k at 4096 + k * (4096 + capacity):
//                a 4096-byte slot header ("SCOOPSLT", version, the plot's
//                numbers, sequence number, first entry, entry count, CRC-32C
//                of the header's first 64 bytes followed by the data), then the
//                data: entry count * 32 bytes of L2, padded to 4096 bytes.
// Group n goes to slot n % 2; a slot is rewritten only once the group it held
// is durable in the plot. A slot whose checksum fails was torn by a crash in its
// write, and its group had not changed a byte of the plot yet.
//
// The catalogue reads a journal's header to find plots under conversion; the
// engine writes and replays the slots. Nothing here does I/O: these functions
// lay out and check bytes in memory.
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::uint64_t journal_block = 4096;
inline constexpr std::uint64_t journal_half_bytes = 32; // L2 bytes of one entry
inline constexpr unsigned journal_slots = 2;
// No slot holds more than this, so that a journal stays small beside a plot of terabytes.
inline constexpr std::uint64_t journal_slot_data_limit = std::uint64_t{32} << 20;

// The plot a journal belongs to.
struct journal_plot_s {
    std::uint64_t account_id = 0;
    std::uint64_t start_nonce = 0;
    std::uint64_t nonces = 0;
    std::string poc1_name; // the plot's optimized PoC1 file name, no folder
};

struct journal_header_s {
    journal_plot_s plot;
    std::uint64_t slot_data_bytes = 0; // capacity of each slot's data, a multiple of 4096
};

// One group as its slot records it: low entries [first_entry, first_entry + entry_count).
struct journal_slot_s {
    std::uint64_t sequence = 0;
    std::uint64_t first_entry = 0;
    std::uint64_t entry_count = 0;
};

// "<output>.swizzling.journal": the journal of the plot whose PoC2 path is `output_path`.
std::string in_place_journal_path(const std::string& output_path);

// The slot data capacity for groups of up to `entries` low entries (within the limit).
std::uint64_t journal_slot_data_for(std::uint64_t entries);

// The most bytes the journal of a plot of `nonces` nonces takes, whatever the memory budget.
std::uint64_t journal_bytes_at_most(std::uint64_t nonces);

// Bytes of a journal whose slots hold `slot_data_bytes` each, and where slot `slot` begins.
std::uint64_t journal_file_bytes(std::uint64_t slot_data_bytes);
std::uint64_t journal_slot_offset(std::uint64_t slot_data_bytes, unsigned slot);

// Bytes of a slot's write: its header block and its data padded to whole blocks.
std::uint64_t journal_slot_write_bytes(std::uint64_t entry_count);

// Fills the 4096-byte header block.
void encode_journal_header(const journal_header_s& header, std::uint8_t* block);

// Reads a header block; false when it is not a whole, checksummed header of this version.
bool decode_journal_header(const std::uint8_t* block, journal_header_s* header);

// Fills the slot header block in front of the data (which the caller has put at
// slot + 4096), sealing header and data with their checksum.
void seal_journal_slot(const journal_plot_s& plot, const journal_slot_s& slot,
                       std::uint8_t* slot_bytes);

// Reads a slot header block. False unless it is a slot of this plot whose group lies within the
// plot and within the capacity; *data_bytes is then the data length its checksum covers and
// *expected_crc the value that check_journal_slot_data must end with.
bool decode_journal_slot(const journal_plot_s& plot, std::uint64_t slot_data_bytes,
                         const std::uint8_t* header_block, journal_slot_s* slot,
                         std::uint32_t* expected_crc);

// The checksum of a slot: its header's first 64 bytes, then its data, which may be fed in
// pieces: start with slot_crc_start(header_block), continue with crc32c(piece, length, crc).
std::uint32_t slot_crc_start(const std::uint8_t* header_block);
