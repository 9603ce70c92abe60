#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <thread>

#include "util/size_text.h"

namespace {

std::string size(std::uint64_t bytes, bool base_1024) {
    return size_text(bytes, base_1024);
}

TEST(size_text, units_switch_at_three_quarters_and_stop_at_tera) {
    EXPECT_EQ(size(0, false), "0.0 KB");
    EXPECT_EQ(size(0, true), "0.0 KiB");
    EXPECT_EQ(size(100, false), "0.1 KB");
    EXPECT_EQ(size(749999, false), "750.0 KB");
    EXPECT_EQ(size(750000, false), "0.8 MB");
    EXPECT_EQ(size(786431, true), "768.0 KiB");
    EXPECT_EQ(size(786432, true), "0.8 MiB");
    EXPECT_EQ(size(10485760000ull, false), "10.5 GB");
    EXPECT_EQ(size(5000000000000000ull, false), "5000.0 TB");
    EXPECT_EQ(size(std::numeric_limits<std::uint64_t>::max(), true), "16777216.0 TiB");
}

TEST(size_text, format_size_appends_the_suffix_and_respects_the_capacity) {
    char buffer[32];
    format_size(sizeof buffer, buffer, 2500000, false, "/s");
    EXPECT_STREQ(buffer, "2.5 MB/s");
    char tiny[5];
    format_size(sizeof tiny, tiny, 2500000, false, "/s");
    EXPECT_STREQ(tiny, "2.5 ");
}

TEST(size_text, the_fourth_text_reuses_the_first_buffer) {
    const char* first = size_text(1000, false);
    const char* second = size_text(2000, false);
    const char* third = size_text(3000, false);
    EXPECT_STREQ(first, "1.0 KB");
    EXPECT_STREQ(second, "2.0 KB");
    EXPECT_STREQ(third, "3.0 KB");
    const char* fourth = size_text(4000, false);
    EXPECT_EQ(fourth, first);
    EXPECT_STREQ(first, "4.0 KB");
    EXPECT_STREQ(second, "2.0 KB");
}

TEST(size_text, each_thread_has_its_own_ring) {
    const char* mine = size_text(1000, false);
    std::thread other([] {
        for (int i = 0; i < 10; ++i) {
            size_text(9000000, false);
        }
    });
    other.join();
    EXPECT_STREQ(mine, "1.0 KB");
}

TEST(duration_text, hours_and_minutes_truncated_with_plurals) {
    EXPECT_STREQ(duration_text(3600), "1 hour, 0 minutes");
    EXPECT_STREQ(duration_text(7320), "2 hours, 2 minutes");
    EXPECT_STREQ(duration_text(60), "1 minute");
    EXPECT_STREQ(duration_text(119), "1 minute");
    EXPECT_STREQ(duration_text(59), "0 minutes");
    EXPECT_STREQ(duration_text(3661), "1 hour, 1 minute");
    EXPECT_STREQ(duration_text(-120), "-2 minutes");
}

TEST(duration_text, two_texts_survive_and_the_third_reuses_the_first) {
    const char* a = duration_text(60);
    const char* b = duration_text(120);
    EXPECT_STREQ(a, "1 minute");
    EXPECT_STREQ(b, "2 minutes");
    EXPECT_EQ(duration_text(180), a);
}

TEST(duration_text, values_without_a_meaningful_minute_count_read_unknown) {
    EXPECT_STREQ(duration_text(std::numeric_limits<double>::infinity()), "unknown");
    EXPECT_STREQ(duration_text(std::nan("")), "unknown");
    EXPECT_STREQ(duration_text(1e300), "unknown");
    EXPECT_STREQ(duration_text(60.0 * 2147483647.0), "35791394 hours, 7 minutes");
    EXPECT_STREQ(duration_text(60.0 * 2147483648.0), "unknown");
}

} // namespace
