#include <gtest/gtest.h>

#include <string>

#include "util/checksum.h"

namespace {

TEST(checksum, crc32c_matches_the_standard_check_value_and_continues_across_pieces) {
    std::string text = "123456789";
    EXPECT_EQ(crc32c(text.data(), text.size()), 0xe3069283u);
    std::uint32_t first = crc32c(text.data(), 4);
    EXPECT_EQ(crc32c(text.data() + 4, 5, first), 0xe3069283u);
    std::string flipped = "123456788";
    EXPECT_NE(crc32c(flipped.data(), flipped.size()), 0xe3069283u);
}

} // namespace
