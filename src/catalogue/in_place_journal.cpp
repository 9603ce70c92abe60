#include "catalogue/in_place_journal.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "catalogue/plot_format.h"
#include "util/crc32c.h"

namespace {

static_assert(std::endian::native == std::endian::little,
              "journal numbers are stored as the machine holds them: little-endian");
static_assert(journal_block % scoop_size == 0 && journal_half_bytes == half_size);

constexpr char header_magic[8] = {'S', 'C', 'O', 'O', 'P', 'J', 'N', 'L'};
constexpr char slot_magic[8] = {'S', 'C', 'O', 'O', 'P', 'S', 'L', 'T'};
constexpr std::uint32_t version = 1;

// Header block fields (byte offsets).
constexpr std::size_t at_version = 8, at_header_size = 12, at_account = 16, at_start = 24,
                      at_nonces = 32, at_capacity = 40, at_slot_count = 48, at_name_length = 52,
                      at_name = 56, at_header_crc = journal_block - 4;
constexpr std::size_t longest_name = at_header_crc - at_name;

// Slot header fields; the checksum covers [0, slot_covered) and then the data.
constexpr std::size_t at_sequence = 40, at_first = 48, at_count = 56, slot_covered = 64,
                      at_slot_crc = 64;

void put32(std::uint8_t* block, std::size_t at, std::uint32_t value) {
    std::memcpy(block + at, &value, 4);
}
void put64(std::uint8_t* block, std::size_t at, std::uint64_t value) {
    std::memcpy(block + at, &value, 8);
}
std::uint32_t get32(const std::uint8_t* block, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, block + at, 4);
    return value;
}
std::uint64_t get64(const std::uint8_t* block, std::size_t at) {
    std::uint64_t value;
    std::memcpy(&value, block + at, 8);
    return value;
}

std::uint64_t round_up(std::uint64_t value, std::uint64_t unit) {
    return (value + unit - 1) / unit * unit;
}

void put_plot_numbers(std::uint8_t* block, const journal_plot_s& plot) {
    put64(block, at_account, plot.account_id);
    put64(block, at_start, plot.start_nonce);
    put64(block, at_nonces, plot.nonces);
}

bool same_plot_numbers(const std::uint8_t* block, const journal_plot_s& plot) {
    return get64(block, at_account) == plot.account_id &&
           get64(block, at_start) == plot.start_nonce && get64(block, at_nonces) == plot.nonces;
}

} // namespace

std::string in_place_journal_path(const std::string& output_path) {
    return output_path + ".swizzling.journal";
}

std::uint64_t journal_slot_data_for(std::uint64_t entries) {
    return std::min(round_up(entries * journal_half_bytes, journal_block), journal_slot_data_limit);
}

std::uint64_t journal_bytes_at_most(std::uint64_t nonces) {
    return journal_file_bytes(journal_slot_data_for(nonces * scoop_pairs));
}

std::uint64_t journal_file_bytes(std::uint64_t slot_data_bytes) {
    return journal_slot_offset(slot_data_bytes, journal_slots);
}

std::uint64_t journal_slot_offset(std::uint64_t slot_data_bytes, unsigned slot) {
    return journal_block + slot * (journal_block + slot_data_bytes);
}

std::uint64_t journal_slot_write_bytes(std::uint64_t entry_count) {
    return journal_block + round_up(entry_count * journal_half_bytes, journal_block);
}

void encode_journal_header(const journal_header_s& header, std::uint8_t* block) {
    std::memset(block, 0, journal_block);
    std::memcpy(block, header_magic, sizeof header_magic);
    put32(block, at_version, version);
    put32(block, at_header_size, static_cast<std::uint32_t>(journal_block));
    put_plot_numbers(block, header.plot);
    put64(block, at_capacity, header.slot_data_bytes);
    put32(block, at_slot_count, journal_slots);
    // A file name is at most 255 bytes on Linux; the block holds far more.
    std::size_t length = std::min(header.plot.poc1_name.size(), longest_name);
    put32(block, at_name_length, static_cast<std::uint32_t>(length));
    std::memcpy(block + at_name, header.plot.poc1_name.data(), length);
    put32(block, at_header_crc, crc32c(block, at_header_crc));
}

bool decode_journal_header(const std::uint8_t* block, journal_header_s* header) {
    if (std::memcmp(block, header_magic, sizeof header_magic) != 0 ||
        get32(block, at_header_crc) != crc32c(block, at_header_crc) ||
        get32(block, at_version) != version || get32(block, at_header_size) != journal_block ||
        get32(block, at_slot_count) != journal_slots) {
        return false;
    }
    std::uint32_t length = get32(block, at_name_length);
    std::uint64_t capacity = get64(block, at_capacity);
    if (length > longest_name || capacity == 0 || capacity % journal_block != 0 ||
        capacity > journal_slot_data_limit) {
        return false;
    }
    header->plot.account_id = get64(block, at_account);
    header->plot.start_nonce = get64(block, at_start);
    header->plot.nonces = get64(block, at_nonces);
    header->plot.poc1_name.assign(reinterpret_cast<const char*>(block + at_name), length);
    header->slot_data_bytes = capacity;
    return true;
}

void seal_journal_slot(const journal_plot_s& plot, const journal_slot_s& slot,
                       std::uint8_t* slot_bytes) {
    std::memset(slot_bytes, 0, journal_block);
    std::memcpy(slot_bytes, slot_magic, sizeof slot_magic);
    put32(slot_bytes, at_version, version);
    put_plot_numbers(slot_bytes, plot);
    put64(slot_bytes, at_sequence, slot.sequence);
    put64(slot_bytes, at_first, slot.first_entry);
    put64(slot_bytes, at_count, slot.entry_count);
    std::uint64_t data_bytes = slot.entry_count * journal_half_bytes;
    // The padding is written too: zeroes, so that a slot's bytes never depend on old memory.
    std::memset(slot_bytes + journal_block + data_bytes, 0,
                journal_slot_write_bytes(slot.entry_count) - journal_block - data_bytes);
    std::uint32_t crc = crc32c(slot_bytes + journal_block, data_bytes, slot_crc_start(slot_bytes));
    put32(slot_bytes, at_slot_crc, crc);
}

bool decode_journal_slot(const journal_plot_s& plot, std::uint64_t slot_data_bytes,
                         const std::uint8_t* header_block, journal_slot_s* slot,
                         std::uint32_t* expected_crc) {
    if (std::memcmp(header_block, slot_magic, sizeof slot_magic) != 0 ||
        get32(header_block, at_version) != version || !same_plot_numbers(header_block, plot)) {
        return false;
    }
    journal_slot_s read;
    read.sequence = get64(header_block, at_sequence);
    read.first_entry = get64(header_block, at_first);
    read.entry_count = get64(header_block, at_count);
    std::uint64_t entries = plot.nonces * scoop_pairs;
    if (read.entry_count == 0 || read.entry_count > slot_data_bytes / journal_half_bytes ||
        read.first_entry >= entries || read.entry_count > entries - read.first_entry) {
        return false;
    }
    *slot = read;
    *expected_crc = get32(header_block, at_slot_crc);
    return true;
}

std::uint32_t slot_crc_start(const std::uint8_t* header_block) {
    return crc32c(header_block, slot_covered);
}
