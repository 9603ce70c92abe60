#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "catalogue/conversion_plan.h"
#include "screen_fixture.h"
#include "swizzler/buffer_sizing.h"
#include "swizzler/farm.h"
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

TEST_F(ram_entry, a_limit_is_read_with_its_unit_and_anything_else_is_refused) {
    auto bytes = [](const char* text) {
        ram_text_reading_s reading = read_ram_text(text);
        EXPECT_TRUE(reading.valid) << text;
        return reading.bytes;
    };
    EXPECT_EQ(bytes("1.5"), 1610612736u);
    EXPECT_EQ(bytes("1,5"), 1610612736u) << "a decimal comma is a decimal mark";
    EXPECT_EQ(bytes("  12.0 "), 12 * gib);
    EXPECT_EQ(bytes("2e1"), 20 * gib);
    EXPECT_EQ(bytes("512 MB"), 512000000u) << "MB is the program's own 1,000-based unit";
    EXPECT_EQ(bytes("512M"), 512u << 20);
    EXPECT_EQ(bytes("52.0 KiB"), 53248u);
    EXPECT_EQ(bytes("8 gb"), 8000000000u);
    EXPECT_EQ(bytes("1e-300"), 1u) << "a positive limit is a limit, raised when kept";
    for (const char* automatic : {"", "0", "Automatic", " auto "}) {
        EXPECT_EQ(bytes(automatic), 0u) << automatic;
    }
    for (const char* nonsense :
         {"lots", "GB8", "3e", "inf", "0x10", "-4", "1e30", "17179869184", "12 parsecs"}) {
        ram_text_reading_s reading = read_ram_text(nonsense);
        EXPECT_FALSE(reading.valid) << nonsense;
        EXPECT_NE(std::string(reading.why), "") << nonsense;
    }
    EXPECT_TRUE(read_ram_text("17179869183").valid) << "just below 2^64 bytes";
}

// The entry opens on the limit as it is, and OK on it keeps exactly that: an automatic limit
// stays automatic, a small one is not rounded away.
TEST_F(ram_entry, opening_shows_the_limit_as_it_is_and_ok_on_it_changes_nothing) {
    paint(config_screen);
    click(100, 445);
    EXPECT_STREQ(ram_text, "Automatic");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].text, ram_text);
    EXPECT_EQ(created[0].capacity, 128);
    EXPECT_EQ(std::vector<int>({created[0].x, created[0].y, created[0].width, created[0].height}),
              std::vector<int>({110, 225, 420, 30}));
    repaint();
    save_screen(surface(), "ram_entry_automatic");
    // What "Automatic" stands for now is said under the box (its figure is the memory free at
    // that frame, which moves on a busy machine: only the note's place is compared).
    EXPECT_GT(count_color(surface(), 0, 298, 640, 16, accent_blue), 100);
    click(300, 350);
    EXPECT_EQ(max_ram_bytes, 0u);
    EXPECT_TRUE(record().child_controls.empty());

    for (std::uint64_t limit : {std::uint64_t{53248}, std::uint64_t{12} * gib, gib / 3}) {
        max_ram_bytes = limit;
        repaint();
        click(100, 445);
        EXPECT_STREQ(ram_text, size_text(limit, true));
        repaint();
        click(300, 350);
        EXPECT_EQ(max_ram_bytes, limit);
    }
}

TEST_F(ram_entry, nonsense_is_refused_with_a_note_and_cancel_leaves_the_limit_as_it_was) {
    max_ram_bytes = 2 * gib;
    paint(config_screen);
    click(100, 445);
    repaint();
    type("lots");
    save_screen(surface(), "ram_entry_refused");
    std::string why = read_ram_text("lots").why;
    int width = static_cast<int>(text_width(why, 10));
    EXPECT_TRUE(shows_text(why, 10, accent_blue, static_cast<float>((640 - width) / 2), 298));
    EXPECT_EQ(pixel_at(surface(), 275, 343), 0xffccccccu) << "OK is greyed";
    click(300, 350);
    created[0].on_enter();
    EXPECT_TRUE(draws(ram_entry_screen)) << "neither OK nor Enter takes a refused text";
    click(430, 350);
    EXPECT_TRUE(draws(config_screen));
    EXPECT_EQ(max_ram_bytes, 2 * gib);
    EXPECT_EQ(destroyed, 1);
}

TEST_F(ram_entry, the_screen_centres_its_texts) {
    paint(config_screen);
    click(100, 445);
    repaint();
    type("1.5");

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
    click(300, 350);

    // Over two drives every stream needs its own share: the limit kept holds them all, so the
    // plan line never uses more than the limit says.
    conversion_plan_s& plan = the_plan();
    plan.jobs.resize(2);
    for (std::size_t i = 0; i < 2; ++i) {
        plan.jobs[i].nonces = 8;
        plan.jobs[i].source_paths = {"/nowhere/" + std::to_string(i) + "/1_0_8_8"};
        plan.jobs[i].source_folder = "/nowhere/" + std::to_string(i);
        plan.jobs[i].destination_folder = "/nowhere/out" + std::to_string(i);
    }
    plan.bytes_total = plan.largest_job_bytes = 8 * 262144;
    ASSERT_EQ(plan_streams().size(), 2u);
    repaint();
    click(100, 445);
    repaint();
    type("0.000002");
    std::string raised = std::string("Too small to convert with: the limit will be ") +
                         size_text(2 * least, true) + ", the smallest that works.";
    width = static_cast<int>(text_width(raised.c_str(), 10));
    EXPECT_TRUE(shows_text(raised, 10, accent_blue, static_cast<float>((640 - width) / 2), 298));
    click(300, 350);
    EXPECT_EQ(max_ram_bytes, 2 * least);
    EXPECT_LE(farm_buffer_bytes(read_memory_status(), plan_streams(), max_ram_bytes),
              max_ram_bytes);
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
