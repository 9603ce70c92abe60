// The pieces of an in-place conversion that need no disk: groups cover every low entry once
// and their high spans hold exactly their partners; the buffers fit the budget; the journal's
// records survive a round trip and its checksums reject every torn or foreign record; and the
// recovery rule rebuilds the PoC2 entries from every state a crash can leave.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "catalogue/in_place_journal.h"
#include "catalogue/plot_format.h"
#include "swizzler/in_place_layout.h"
#include "swizzler/in_place_recovery.h"
#include "util/crc32c.h"

namespace {

// Every low entry in exactly one group, in order; each group one run's part or whole runs; each
// high span exactly the partners of the group's entries.
TEST(in_place_layout, groups_cover_every_entry_once_with_contiguous_partners) {
    struct geometry_s {
        std::uint64_t nonces, most;
    } geometries[] = {{1, 1},  {1, 5000}, {7, 3},          {7, 7},
                      {7, 50}, {64, 100}, {13, 13 * 2048}, {1000, 333}};
    for (const auto& [nonces, most] : geometries) {
        SCOPED_TRACE("nonces " + std::to_string(nonces) + ", most " + std::to_string(most));
        std::uint64_t entry = 0;
        std::uint64_t groups = 0;
        while (entry < low_entries(nonces)) {
            in_place_group_s group = group_at(nonces, entry, most);
            ASSERT_EQ(group.first, entry);
            ASSERT_GE(group.count, 1u);
            ASSERT_LE(group.count, std::max(most, std::uint64_t{1}));
            bool within_run = group.first / nonces == (group.end() - 1) / nonces;
            bool whole_runs = group.first % nonces == 0 && group.end() % nonces == 0;
            ASSERT_TRUE(within_run || whole_runs) << "group at " << entry;
            byte_span_s low = group_low_span(nonces, group);
            byte_span_s high = group_high_span(nonces, group);
            ASSERT_EQ(low.size(), group.count * scoop_size);
            ASSERT_EQ(high.size(), group.count * scoop_size);
            ASSERT_GE(high.begin, low_entries(nonces) * scoop_size) << "partners are high";
            for (std::uint64_t e = group.first; e < group.end(); e += 1 + group.count / 7) {
                std::uint64_t pair = e / nonces, nonce = e % nonces;
                ASSERT_EQ(e * scoop_size, scoop_offset(nonces, pair, nonce));
                std::uint64_t partner = scoop_offset(nonces, 4095 - pair, nonce);
                ASSERT_EQ(partner_offset(nonces, e), partner);
                ASSERT_TRUE(partner >= high.begin && partner + scoop_size <= high.end)
                    << "entry " << e;
            }
            entry = group.end();
            ++groups;
        }
        EXPECT_EQ(entry, low_entries(nonces));
        if (most >= nonces) {
            EXPECT_EQ(groups, (2048 + most / nonces - 1) / (most / nonces)) << "whole runs";
        }
    }
    // A group may start inside a run (a run resumed where another run's groups ended).
    in_place_group_s rest = group_at(10, 23, 100);
    EXPECT_EQ(rest.first, 23u);
    EXPECT_EQ(rest.count, 7u) << "the rest of pair 2, then whole runs";
    EXPECT_EQ(group_at(10, 30, 100).count, 100u);
    EXPECT_EQ(group_at(10, 2047 * 10, 100).count, 10u) << "the last run only";
}

TEST(in_place_layout, the_buffers_fit_the_budget_and_two_sets_come_with_room) {
    std::uint64_t budgets[] = {24 * 1024, 32 * 1024, 96 * 1024, 1 << 20, 6 << 20, 512u << 20};
    for (std::uint64_t budget : budgets) {
        for (std::uint64_t alignment : {512u, 4096u, 65536u}) {
            SCOPED_TRACE("budget " + std::to_string(budget) + ", alignment " +
                         std::to_string(alignment));
            in_place_sizing_s sizing = size_in_place(budget, alignment, 2048 * 16384);
            ASSERT_NE(sizing.sets, 0u);
            EXPECT_LE(sizing.sets * 2 * sizing.side_bytes + sizing.journal_bytes, budget);
            EXPECT_LE(sizing.alignment, alignment);
            EXPECT_EQ(sizing.side_bytes % 4096, 0u);
            // A hull of the largest group fits its buffer wherever the group lies.
            EXPECT_GE(sizing.side_bytes, sizing.most_entries * scoop_size + 2 * sizing.alignment);
            EXPECT_GE(sizing.journal_bytes, journal_slot_write_bytes(sizing.most_entries));
            if (budget >= (1u << 20)) {
                EXPECT_EQ(sizing.sets, 2u);
                EXPECT_EQ(sizing.alignment, alignment);
            }
        }
    }
    in_place_sizing_s least = size_in_place(24 * 1024, 4096, 2048 * 16);
    EXPECT_EQ(least.sets, 1u);
    EXPECT_LT(least.alignment, 4096u) << "24 KiB cannot hold two blocks a side and a slot";
    EXPECT_EQ(size_in_place(4096, 4096, 100).sets, 0u);
    EXPECT_EQ(size_in_place(512u << 20, 4096, 5000).most_entries, 5000u) << "a small plot";
}

TEST(in_place_journal, crc32c_has_the_standard_values_both_ways_and_in_pieces) {
    const char* digits = "123456789";
    EXPECT_EQ(crc32c(digits, 9), 0xe3069283u);
    EXPECT_EQ(crc32c_by_table(digits, 9), 0xe3069283u);
    std::vector<std::uint8_t> zeros(32, 0), ones(32, 0xff);
    EXPECT_EQ(crc32c(zeros.data(), 32), 0x8a9136aau);
    EXPECT_EQ(crc32c(ones.data(), 32), 0x62a8ab43u);
    std::vector<std::uint8_t> data(10007);
    std::mt19937 random(11);
    for (auto& byte : data) {
        byte = static_cast<std::uint8_t>(random());
    }
    std::uint32_t whole = crc32c(data.data(), data.size());
    EXPECT_EQ(crc32c_by_table(data.data(), data.size()), whole);
    std::uint32_t pieces = crc32c(data.data(), 3);
    pieces = crc32c(data.data() + 3, 4000, pieces);
    pieces = crc32c_by_table(data.data() + 4003, data.size() - 4003, pieces);
    EXPECT_EQ(pieces, whole);
}

class journal_records : public ::testing::Test {
  protected:
    journal_plot_s plot{77, 1000, 24, "77_1000_24_24"};
    journal_slot_s group{5, 24 * 9 + 3, 300};
    std::vector<std::uint8_t> slot = std::vector<std::uint8_t>(journal_slot_write_bytes(300));

    void SetUp() override {
        for (std::size_t i = journal_block; i < journal_block + 300 * 32; ++i) {
            slot[i] = static_cast<std::uint8_t>(i * 7 + 1);
        }
        seal_journal_slot(plot, group, slot.data());
    }

    // Whether the slot in `bytes` reads as whole, the way a replay checks it.
    bool whole(const std::vector<std::uint8_t>& bytes, journal_slot_s* read = nullptr) {
        journal_slot_s found;
        std::uint32_t expected = 0;
        if (!decode_journal_slot(plot, 16384, bytes.data(), &found, &expected)) {
            return false;
        }
        std::uint32_t crc = crc32c(bytes.data() + journal_block, found.entry_count * 32,
                                   slot_crc_start(bytes.data()));
        if (read != nullptr) {
            *read = found;
        }
        return crc == expected;
    }
};

TEST_F(journal_records, the_header_and_a_slot_read_back_as_written) {
    std::vector<std::uint8_t> block(journal_block);
    encode_journal_header({plot, 16384}, block.data());
    journal_header_s header;
    ASSERT_TRUE(decode_journal_header(block.data(), &header));
    EXPECT_EQ(header.plot.account_id, 77u);
    EXPECT_EQ(header.plot.start_nonce, 1000u);
    EXPECT_EQ(header.plot.nonces, 24u);
    EXPECT_EQ(header.plot.poc1_name, "77_1000_24_24");
    EXPECT_EQ(header.slot_data_bytes, 16384u);
    for (std::size_t at : {0ul, 20ul, 60ul, 4095ul}) {
        std::vector<std::uint8_t> torn = block;
        torn[at] ^= 0x10;
        EXPECT_FALSE(decode_journal_header(torn.data(), &header)) << "byte " << at;
    }

    journal_slot_s read;
    ASSERT_TRUE(whole(slot, &read));
    EXPECT_EQ(read.sequence, 5u);
    EXPECT_EQ(read.first_entry, 24u * 9 + 3);
    EXPECT_EQ(read.entry_count, 300u);
    EXPECT_EQ(journal_slot_offset(16384, 1), 4096u + 4096 + 16384);
    EXPECT_EQ(journal_file_bytes(16384), 4096u + 2 * (4096 + 16384));
}

// A crash tears a slot's write at sector boundaries: new sectors and old ones side by side.
TEST_F(journal_records, a_torn_or_changed_slot_is_never_taken_for_whole) {
    std::vector<std::uint8_t> old_slot(slot.size());
    journal_slot_s older{3, 24 * 5, 300};
    for (std::size_t i = journal_block; i < journal_block + 300 * 32; ++i) {
        old_slot[i] = static_cast<std::uint8_t>(i * 13 + 5);
    }
    seal_journal_slot(plot, older, old_slot.data());
    ASSERT_TRUE(whole(old_slot));
    for (std::size_t cut = 512; cut < slot.size(); cut += 512) {
        std::vector<std::uint8_t> new_then_old = slot, old_then_new = old_slot;
        std::memcpy(new_then_old.data() + cut, old_slot.data() + cut, slot.size() - cut);
        std::memcpy(old_then_new.data() + cut, slot.data() + cut, slot.size() - cut);
        // Only a cut in the padding (zeroes in both) leaves a whole slot: the one written first.
        bool padding_only = cut >= journal_block + 300 * 32;
        journal_slot_s read;
        EXPECT_EQ(whole(new_then_old, &read), padding_only) << "cut at " << cut;
        EXPECT_TRUE(!padding_only || read.sequence == 5);
        EXPECT_EQ(whole(old_then_new, &read), padding_only) << "cut at " << cut;
        EXPECT_TRUE(!padding_only || read.sequence == 3);
    }
    for (std::size_t at : {8ul, 40ul, 50ul, 63ul, 64ul, 4096ul, 4096ul + 9599}) {
        std::vector<std::uint8_t> changed = slot;
        changed[at] ^= 1;
        EXPECT_FALSE(whole(changed)) << "byte " << at;
    }
    journal_plot_s other = plot;
    other.start_nonce = 1024;
    std::vector<std::uint8_t> foreign(slot.size());
    std::memcpy(foreign.data() + journal_block, slot.data() + journal_block, 300 * 32);
    seal_journal_slot(other, group, foreign.data());
    EXPECT_FALSE(whole(foreign)) << "a slot of another plot";
    std::vector<std::uint8_t> empty(slot.size(), 0);
    EXPECT_FALSE(whole(empty)) << "a slot never written";
}

// Old and new halves of one entry pair, and what each byte of it may hold after a crash.
TEST(in_place_recovery, every_state_a_crash_leaves_is_finished_to_the_poc2_entries) {
    constexpr std::uint64_t count = 64;
    std::mt19937 random(5);
    auto fill = [&](std::vector<std::uint8_t>& bytes) {
        for (auto& byte : bytes) {
            byte = static_cast<std::uint8_t>(random());
        }
    };
    std::vector<std::uint8_t> low(count * 64), high(count * 64);
    fill(low);
    fill(high);
    // Some second halves equal their partners' in some bytes, the case where a byte of the
    // disk cannot tell whether the low entry was written.
    for (std::uint64_t e = 0; e < count; e += 3) {
        std::memcpy(low.data() + e * 64 + 32 + e % 32, high.data() + e * 64 + 32 + e % 32,
                    32 - e % 32);
    }
    std::vector<std::uint8_t> new_low = low, new_high = high;
    for (std::uint64_t e = 0; e < count; ++e) {
        std::memcpy(new_low.data() + e * 64 + 32, high.data() + e * 64 + 32, 32);
        std::memcpy(new_high.data() + e * 64 + 32, low.data() + e * 64 + 32, 32);
    }
    std::vector<std::uint8_t> journal(count * 32);
    for (std::uint64_t e = 0; e < count; ++e) {
        std::memcpy(journal.data() + e * 32, low.data() + e * 64 + 32, 32);
    }
    // Each side: old, new, or torn (each byte old or new at random). High is written only once
    // low is whole, so a torn or old low side comes with an old high side.
    enum state { old_state, new_state, torn_state };
    auto side = [&](const std::vector<std::uint8_t>& old_bytes,
                    const std::vector<std::uint8_t>& new_bytes, state s) {
        std::vector<std::uint8_t> bytes = old_bytes;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (s == new_state || (s == torn_state && random() % 2 == 0)) {
                bytes[i] = new_bytes[i];
            }
        }
        return bytes;
    };
    for (state low_state : {old_state, torn_state, new_state}) {
        for (state high_state : {old_state, torn_state, new_state}) {
            if (low_state != new_state && high_state != old_state) {
                continue;
            }
            for (int round = 0; round < 4; ++round) {
                std::vector<std::uint8_t> l = side(low, new_low, low_state);
                std::vector<std::uint8_t> h = side(high, new_high, high_state);
                finish_exchange(l.data(), h.data(), journal.data(), count);
                ASSERT_EQ(l, new_low) << "low " << low_state << ", high " << high_state;
                ASSERT_EQ(h, new_high) << "low " << low_state << ", high " << high_state;
                // A second replay (a crash during the first) changes nothing.
                finish_exchange(l.data(), h.data(), journal.data(), count);
                ASSERT_EQ(l, new_low);
                ASSERT_EQ(h, new_high);
            }
        }
    }
}

} // namespace
