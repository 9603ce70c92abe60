#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "screen_fixture.h"
#include "swizzler/buffer_sizing.h"
#include "ui/config_screen.h"
#include "ui/host_hooks.h"
#include "ui/ram_entry.h"
#include "util/memory_status.h"
#include "util/size_text.h"

namespace {

constexpr std::uint64_t gib = 1024ull * 1024 * 1024;
constexpr std::uint32_t white = 0xffffffff;
constexpr std::uint32_t grey = 0xff707070;
constexpr std::uint32_t accent_blue = 0xff117dbb;

struct ram_entry : screen_fixture {
    std::vector<child_control_s> created;
    int destroyed = 0;

    void SetUp() override {
        screen_fixture::SetUp();
        host_hooks().create_text_box = [this](int, child_control_s& control) {
            control.handle = &created;
            created.push_back(control);
        };
        host_hooks().destroy_text_box = [this](int, child_control_s&) { ++destroyed; };
    }

    bool draws(void (*screen)()) {
        auto* installed = record().draw.target<void (*)()>();
        return installed && *installed == screen;
    }

    void type(const char* text) {
        std::strcpy(ram_text, text);
        repaint();
    }

    // Ink rows' left and right white margins of a band of rows.
    std::pair<int, int> margins(int top, int bottom) {
        int left = 640;
        int right = 0;
        for (int y = top; y < bottom; ++y) {
            for (int x = 0; x < 640; ++x) {
                if (pixel_at(surface(), x, y) != white) {
                    left = std::min(left, x);
                    right = std::max(right, x + 1);
                }
            }
        }
        return {left, 640 - right};
    }
};

TEST_F(ram_entry, the_limit_follows_the_number_at_the_start_of_the_text) {
    EXPECT_EQ(ram_limit_from_text("1.5"), 1610612736u);
    EXPECT_EQ(ram_limit_from_text("1,5"), 1610612736u) << "a decimal comma is a decimal mark";
    EXPECT_EQ(ram_limit_from_text(",5"), gib / 2);
    EXPECT_EQ(ram_limit_from_text("8GB"), 8 * gib);
    EXPECT_EQ(ram_limit_from_text("  12.0"), 12 * gib);
    EXPECT_EQ(ram_limit_from_text(".5"), gib / 2);
    EXPECT_EQ(ram_limit_from_text("2e1"), 20 * gib);
    EXPECT_EQ(ram_limit_from_text("3e"), 3 * gib);
    // Nothing that reads as a number: automatic.
    EXPECT_EQ(ram_limit_from_text(""), 0u);
    EXPECT_EQ(ram_limit_from_text("0"), 0u);
    EXPECT_EQ(ram_limit_from_text("GB8"), 0u);
    EXPECT_EQ(ram_limit_from_text("inf"), 0u);
    EXPECT_EQ(ram_limit_from_text("0x10"), 0u);
    EXPECT_EQ(ram_limit_from_text("1e-300"), 0u);
    EXPECT_EQ(ram_limit_from_text("1e-999"), 0u);
    // Negative numbers are automatic; numbers beyond 64 bits of bytes are capped.
    EXPECT_EQ(ram_limit_from_text("-4"), 0u);
    EXPECT_EQ(ram_limit_from_text("-1e999"), 0u);
    const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(ram_limit_from_text("17179869184"), most); // 2^34 GiB = 2^64 bytes
    EXPECT_EQ(ram_limit_from_text("17179869183"), 17179869183ull * gib);
    EXPECT_EQ(ram_limit_from_text("1e30"), most);
    EXPECT_EQ(ram_limit_from_text("1e999"), most);
}

TEST_F(ram_entry, opening_prefills_the_limit_and_ok_keeps_it) {
    max_ram_bytes = 12 * gib;
    paint(config_screen);
    move(300, 445);
    repaint();
    EXPECT_TRUE(shows_text("Max RAM: 12.0 GiB", 12, 0xff0066cc, 24, 438));
    click(300, 445);
    EXPECT_STREQ(ram_text, "12.0");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].text, ram_text);
    EXPECT_EQ(created[0].capacity, 128);
    EXPECT_EQ(created[0].x, 110);
    EXPECT_EQ(created[0].y, 225);
    EXPECT_EQ(created[0].width, 420);
    EXPECT_EQ(created[0].height, 30);
    ASSERT_EQ(record().child_controls.size(), 1u);
    EXPECT_EQ(record().child_controls[0].handle, &created);

    repaint();
    save_screen(surface(), "ram_entry");
    click(300, 350);
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(record().child_controls.empty());
    EXPECT_EQ(max_ram_bytes, 12884901888u);
    repaint();
    EXPECT_TRUE(shows_text("Max RAM: 12.0 GiB", 12, grey, 24, 438));
}

// The figure offered is the one "Automatic" stands for, not a second estimate of its own.
TEST_F(ram_entry, while_automatic_it_offers_the_automatic_budget) {
    paint(config_screen);
    click(100, 445);
    double offered = std::stod(ram_text) * gib;
    double expected = static_cast<double>(automatic_budget(read_memory_status()));
    EXPECT_NEAR(offered, expected, 0.06 * gib + expected * 0.02);
    // Emptying the box makes the limit automatic again.
    repaint();
    type("");
    click(300, 350);
    EXPECT_EQ(max_ram_bytes, 0u);
    repaint();
    EXPECT_TRUE(shows_text("Max RAM: Automatic", 12, grey, 24, 438));
}

TEST_F(ram_entry, the_screen_centres_its_texts_and_reads_the_box_on_every_frame) {
    paint(config_screen);
    click(100, 445);
    repaint();
    type("1.5");
    EXPECT_EQ(max_ram_bytes, 1610612736u);
    type("8GB");
    EXPECT_EQ(max_ram_bytes, 8 * gib);

    const char* question = "Enter new max RAM size to use in GiB";
    int width = static_cast<int>(text_width(question, 22));
    EXPECT_TRUE(shows_text(question, 22, grey, static_cast<float>((640 - width) / 2), 150));
    auto [left, right] = margins(150, 200);
    EXPECT_LE(std::abs(left - right), 3);
    auto [memory_left, memory_right] = margins(274, 300);
    EXPECT_LE(std::abs(memory_left - memory_right), 3);
    EXPECT_LT(memory_left, 320);
    // The underline of the box, from 110 to 530 (its ends are half pixels).
    EXPECT_TRUE(all_color(surface(), 111, 259, 419, 1, grey));
    EXPECT_TRUE(all_color(surface(), 110, 258, 421, 1, white));
    EXPECT_TRUE(all_color(surface(), 110, 225, 420, 30, white));
    EXPECT_EQ(pixel_at(surface(), 275, 343), 0xffe1e1e1u);
}

TEST_F(ram_entry, a_limit_too_small_for_one_chunk_is_raised_and_said_so) {
    paint(config_screen);
    click(100, 445);
    repaint();
    // 0.000002 GiB is 2147 bytes, less than the six tiles of one block the least run needs.
    type("0.000002");
    save_screen(surface(), "ram_entry_too_small");
    std::uint64_t least = smallest_budget(false);
    ASSERT_GT(least, 2147u);
    std::string note = std::string("Too small to convert with: the limit will be ") +
                       size_text(least, true) + ", the smallest that works.";
    int width = static_cast<int>(text_width(note.c_str(), 10));
    EXPECT_TRUE(shows_text(note, 10, accent_blue, static_cast<float>((640 - width) / 2), 298));

    click(300, 350);
    EXPECT_EQ(max_ram_bytes, least) << "the limit kept is the one the run can keep to";
    repaint();
    EXPECT_TRUE(shows_text(std::string("Max RAM: ") + size_text(least, true), 12, grey, 24, 438));

    // A workable limit has no note.
    click(100, 445);
    repaint();
    type("1");
    EXPECT_TRUE(all_color(surface(), 0, 294, 640, 30, white));
}

TEST_F(ram_entry, enter_keeps_the_text_and_escape_goes_back_to_the_old_limit) {
    max_ram_bytes = 12 * gib;
    paint(config_screen);
    click(100, 445);
    ASSERT_EQ(created.size(), 1u);
    ASSERT_TRUE(created[0].on_enter);
    ASSERT_TRUE(created[0].on_escape);
    repaint();
    type("3");
    EXPECT_EQ(max_ram_bytes, 3 * gib);
    created[0].on_escape();
    EXPECT_TRUE(draws(config_screen));
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(record().child_controls.empty());
    EXPECT_EQ(max_ram_bytes, 12 * gib) << "Escape must not change the limit";
    move(5, 5);
    repaint();
    EXPECT_TRUE(shows_text("Max RAM: 12.0 GiB", 12, grey, 24, 438));

    // Enter right after the last keystroke, before a frame has read the text.
    click(100, 445);
    ASSERT_EQ(created.size(), 2u);
    std::strcpy(ram_text, "2");
    created[1].on_enter();
    EXPECT_TRUE(draws(config_screen));
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(max_ram_bytes, 2 * gib);
    move(5, 5);
    repaint();
    EXPECT_TRUE(shows_text("Max RAM: 2.0 GiB", 12, grey, 24, 438));
}

} // namespace
