#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "catalogue/drives.h"
#include "catalogue/planning.h"
#include "screen_fixture.h"
#include "support/plot_files.h"
#include "support/scripted_boxes.h"
#include "ui/click_regions.h"
#include "ui/draw.h"
#include "ui/drive_panel.h"
#include "ui/folder_selection.h"
#include "ui/host_hooks.h"

namespace {

constexpr std::uint32_t white = 0xffffffff;
constexpr std::uint32_t blue = 0xff117dbb;
constexpr std::uint32_t green = 0xff4da60c;
constexpr std::uint32_t purple = 0xff8b12ae;
constexpr std::uint32_t grey = 0xff707070;

// The source panel at y = 140: strip from y 154 to 217, cards from x = 40.
constexpr int source_top = 154;
// The destination panel at y = 230.
constexpr int destination_top = 244;

struct drive_panels : screen_fixture {
    std::vector<std::string> chooser_titles;
    std::optional<std::string> chosen;
    scripted_boxes_s boxes; // the questions a removal asks, answered No unless scripted

    void SetUp() override {
        screen_fixture::SetUp();
        install_scripted_boxes(boxes);
        host_hooks().choose_folder = [this](int, const char* title) {
            chooser_titles.push_back(title);
            return chosen;
        };
    }

    void paint_panels() {
        paint([this] {
            clear_surface(window, white);
            drive_panel("Source folders", source_list, 140);
            drive_panel("Destination folders", destination_list, 230);
        });
    }

    void TearDown() override {
        remove_scripted_boxes();
        screen_fixture::TearDown();
    }

    // True when every pixel of the rectangle is white or nearly so.
    bool nearly_white(int x, int y, int w, int h) {
        for (int yy = y; yy < y + h; ++yy) {
            for (int xx = x; xx < x + w; ++xx) {
                std::uint32_t p = pixel_at(surface(), xx, yy);
                if (((p >> 16) & 0xff) < 0xe0 || ((p >> 8) & 0xff) < 0xe0 || (p & 0xff) < 0xe0) {
                    return false;
                }
            }
        }
        return true;
    }
};

TEST_F(drive_panels, an_empty_list_offers_a_centred_link_that_opens_the_chooser) {
    paint_panels();
    save_screen(surface(), "panels_empty");
    float text = text_width("Click to select...", 12);
    ASSERT_GT(text, 32.0f);
    EXPECT_EQ(drive_panel_state[source_list].content_width, text);
    EXPECT_TRUE(shows_text("Source folders", 14, 0xff000000, 24, 140));
    EXPECT_TRUE(shows_text("Click to select...", 12, blue, 40, source_top + 16));
    EXPECT_TRUE(shows_text("Click to select...", 12, blue, 40, destination_top + 16));
    // The underline comes only with the pointer.
    int link_end = 40 + static_cast<int>(text);
    EXPECT_TRUE(all_color(surface(), 41, source_top + 34, link_end - 42, 1, white));
    move(60, source_top + 30);
    EXPECT_EQ(repaints, 1);
    repaint();
    EXPECT_TRUE(all_color(surface(), 41, source_top + 34, link_end - 42, 1, blue));
    EXPECT_TRUE(all_color(surface(), 41, destination_top + 34, link_end - 42, 1, white));

    // A cancelled chooser adds nothing but still asks the panel to scroll to its end.
    click(60, source_top + 30);
    EXPECT_EQ(chooser_titles, std::vector<std::string>{"Path to source"});
    EXPECT_TRUE(source_drives.empty());
    EXPECT_TRUE(drive_panel_state[source_list].scroll_to_end);

    chosen = logs.path + "/";
    click(60, destination_top + 30);
    EXPECT_EQ(chooser_titles.back(), "Path to destination");
    ASSERT_EQ(destination_drives.size(), 1u);
    EXPECT_EQ(destination_drives[0].path, logs.path + "/"); // unchanged, separator and all
    EXPECT_TRUE(drive_panel_state[destination_list].scroll_to_end);
    repaint();
    EXPECT_FALSE(drive_panel_state[destination_list].scroll_to_end);
    EXPECT_EQ(drive_panel_state[destination_list].offset, 0.0f); // fits: the end is the start
}

TEST_F(drive_panels, the_same_folder_may_be_source_and_destination) {
    chosen = logs.path;
    browse_for_folder(source_list);
    // Asked first, No being the default: PoC2 plots beside their PoC1 plots need room for both.
    boxes.answers = {false, true};
    browse_for_folder(destination_list);
    EXPECT_TRUE(destination_drives.empty());
    browse_for_folder(destination_list);
    EXPECT_EQ(shown_titles(boxes), (std::vector<std::string>{"Same folder", "Same folder"}));
    EXPECT_NE(boxes.shown[0].text.find(logs.path + " is also a source folder"), std::string::npos)
        << boxes.shown[0].text;
    ASSERT_EQ(source_drives.size(), 1u);
    ASSERT_EQ(destination_drives.size(), 1u);
    EXPECT_EQ(source_drives[0].path, destination_drives[0].path);
}

TEST_F(drive_panels, a_source_card_shows_its_plots_and_is_removed_by_its_cross_when_agreed) {
    source_drives.push_back({"/media/plots", 0, 2000000122880, {}});
    the_plan().outcome = plan_outcome::planned; // as planning leaves it after the scan
    paint_panels();
    save_screen(surface(), "panels_source_card");
    EXPECT_TRUE(shows_text("/media/plots", 12, green, 40, source_top + 16));
    EXPECT_TRUE(shows_text("2.0 TB plots", 9, grey, 42, source_top + 38));
    float card = std::max(text_width("/media/plots", 12), text_width("2.0 TB plots", 9)) + 20;
    float add = text_width("Click to select...", 12);
    EXPECT_EQ(drive_panel_state[source_list].content_width, card + add);
    EXPECT_TRUE(
        shows_text("Click to select...", 12, blue, 40 + static_cast<int>(card), source_top + 16));

    EXPECT_TRUE(all_color(surface(), 200, 136, 440, 18, white));
    move(45, source_top + 5);
    repaint();
    EXPECT_TRUE(shows_text("/media/plots", 12, purple, 40, source_top + 16));
    // The card in use shows its whole path beside the panel's label.
    EXPECT_TRUE(shows_text("/media/plots", 10, grey, 616 - text_width("/media/plots", 10), 142));
    // The detail line of a source card never lights up.
    move(45, source_top + 45);
    repaint();
    EXPECT_TRUE(shows_text("2.0 TB plots", 9, grey, 42, source_top + 38));

    // A click on the card, as the second of a double click lands there, removes nothing; its
    // cross asks, naming the folder whole, and only Yes removes it.
    click(45, source_top + 5);
    click(45, source_top + 20);
    EXPECT_TRUE(boxes.shown.empty());
    boxes.answers = {false, true};
    int cross = 40 + static_cast<int>(card) - 8;
    click(cross, source_top + 8);
    ASSERT_EQ(source_drives.size(), 1u);
    int before = repaints;
    click(cross, source_top + 8);
    EXPECT_TRUE(source_drives.empty());
    EXPECT_GT(repaints, before);
    EXPECT_EQ(shown_titles(boxes), (std::vector<std::string>{"Remove folder?", "Remove folder?"}));
    EXPECT_NE(boxes.shown[0].text.find("\n/media/plots\n"), std::string::npos);
    repaint();
    EXPECT_TRUE(shows_text("Click to select...", 12, blue, 40, source_top + 16));
}

TEST_F(drive_panels, a_destination_cards_free_space_line_lights_up_but_does_nothing) {
    destination_drives.push_back({"/mnt/target", 5000000000000, 0, {}});
    paint_panels();
    EXPECT_TRUE(shows_text("5.0 TB free", 9, grey, 42, destination_top + 38));
    move(45, destination_top + 44);
    EXPECT_EQ(repaints, 1);
    repaint();
    save_screen(surface(), "panels_destination_hover");
    EXPECT_TRUE(shows_text("5.0 TB free", 9, blue, 42, destination_top + 38));
    EXPECT_TRUE(shows_text("/mnt/target", 12, green, 40, destination_top + 16));
    click(45, destination_top + 44);
    EXPECT_EQ(destination_drives.size(), 1u);
}

TEST_F(drive_panels, an_overflowing_panel_clips_fades_and_scrolls_by_100) {
    std::string path = "/media/a-rather-long-folder-name/with/several/levels/of/plots/inside/it/0";
    source_drives.push_back({path, 0, 1000000000000, {}});
    paint_panels();
    save_screen(surface(), "panels_overflow_start");
    float content = drive_panel_state[source_list].content_width;
    ASSERT_GT(content, 560.0f);
    float lowest = 560 - content;

    // Clipped to x 40..600; nothing left of the strip while at the start.
    EXPECT_TRUE(all_color(surface(), 601, source_top, 7, 64, white));
    EXPECT_TRUE(all_color(surface(), 0, source_top, 24, 64, white));
    EXPECT_TRUE(all_color(surface(), 24, source_top + 8, 16, 56, white)); // below the label
    EXPECT_GT(count_color(surface(), 40, source_top + 16, 200, 20, green), 10);
    // The right fade hides the text at the cut, the right arrow points right in grey.
    EXPECT_GT(count_color(surface(), 540, source_top + 16, 20, 20, white), 0);
    EXPECT_LT(count_color(surface(), 540, source_top + 16, 20, 20, white), 400);
    EXPECT_TRUE(nearly_white(597, source_top + 4, 4, 64));
    EXPECT_LT(count_color(surface(), 608, source_top, 32, 64, white), 32 * 64 - 20);
    EXPECT_TRUE(all_color(surface(), 608, source_top, 10, 64, white));
    EXPECT_TRUE(all_color(surface(), 631, source_top, 9, 64, white));
    EXPECT_NE(pixel_at(surface(), 629, source_top + 32), white); // the tip, on the right

    click(620, source_top + 30);
    EXPECT_EQ(drive_panel_state[source_list].offset, std::max(-100.0f, lowest));
    repaint();
    save_screen(surface(), "panels_overflow_scrolled");
    EXPECT_LT(count_color(surface(), 0, source_top, 32, 64, white), 32 * 64 - 20);
    EXPECT_NE(pixel_at(surface(), 10, source_top + 32), white); // the tip, on the left
    EXPECT_TRUE(all_color(surface(), 0, source_top, 9, 64, white));
    EXPECT_TRUE(nearly_white(39, source_top + 4, 3, 64));
    EXPECT_TRUE(all_color(surface(), 32, source_top + 8, 7, 56, white));

    // The card, scrolled partly out, is clickable only inside the strip.
    click(35, source_top + 5);
    EXPECT_EQ(source_drives.size(), 1u);

    // Scrolling on stops at the right end, where the right arrow goes away.
    click(620, source_top + 30);
    click(620, source_top + 30);
    repaint();
    click(620, source_top + 30);
    EXPECT_EQ(drive_panel_state[source_list].offset, lowest);
    repaint();
    EXPECT_TRUE(all_color(surface(), 601, source_top, 39, 64, white));
    click(10, source_top + 30);
    EXPECT_EQ(drive_panel_state[source_list].offset, std::min(0.0f, lowest + 100));

    // The wheel scrolls too, a notch as far as an arrow.
    EXPECT_TRUE(dispatch_wheel(window, 300, source_top + 30, 1));
    EXPECT_EQ(drive_panel_state[source_list].offset, lowest);
    EXPECT_TRUE(dispatch_wheel(window, 300, source_top + 30, -2));
    EXPECT_EQ(drive_panel_state[source_list].offset, std::min(0.0f, lowest + 200));

    // The keyboard reaches the card's cross, scrolled out of sight at the start: the panel
    // brings it into view, and Delete asks before removing.
    drive_panel_state[source_list].offset = 0;
    repaint();
    EXPECT_TRUE(dispatch_key(window, screen_key::next));
    repaint();
    float card = content - text_width("Click to select...", 12);
    EXPECT_EQ(drive_panel_state[source_list].offset, 560 - card) << "the cross is in view";
    boxes.answers = {true};
    EXPECT_TRUE(dispatch_key(window, screen_key::remove));
    EXPECT_TRUE(source_drives.empty());
}

TEST_F(drive_panels, the_chooser_scrolls_the_panel_to_its_end_even_when_cancelled) {
    source_drives.push_back({std::string(90, 'x'), 0, 0, {}});
    paint_panels();
    float lowest = 560 - drive_panel_state[source_list].content_width;
    ASSERT_LT(lowest, 0.0f);
    browse_for_folder(source_list);
    EXPECT_EQ(source_drives.size(), 1u);
    repaint();
    EXPECT_EQ(drive_panel_state[source_list].offset, lowest);
}

TEST_F(drive_panels, scrolling_reaches_the_end_of_a_long_path) {
    std::string path = "/media/plots";
    while (path.size() < 236) {
        path += "/a-folder-with-a-long-name";
    }
    source_drives.push_back({path, 0, 0, {}});
    paint_panels();
    // The right arrow until it goes away, as a person reads on.
    int clicks = 0;
    while (count_color(surface(), 608, source_top, 32, 64, white) < 32 * 64 && clicks < 100) {
        click(620, source_top + 30);
        repaint();
        ++clicks;
    }
    save_screen(surface(), "panels_long_path_end");
    EXPECT_GT(clicks, 10) << "a 236-character path is far wider than two strips";
    // At the end the add card closes the strip, and the path's last letters stand left of the
    // card's 20-pixel margin before it: nothing of the path is left beyond the strip.
    float lowest = 560 - drive_panel_state[source_list].content_width;
    EXPECT_EQ(drive_panel_state[source_list].offset, lowest);
    float card = text_width(path, 12) + 20;
    int add_x = static_cast<int>(static_cast<int>(40 + lowest) + card);
    EXPECT_GE(add_x + text_width("Click to select...", 12), 598.0f);
    EXPECT_TRUE(shows_text("Click to select...", 12, blue, add_x, source_top + 16));
    int name_top = source_top + 16;
    EXPECT_GT(count_near(surface(), add_x - 40, name_top, 20, 20, green, 0x60), 5)
        << "no end of path";
    EXPECT_TRUE(all_color(surface(), add_x - 18, source_top, 18, 38, white)) << "the path goes on";
    EXPECT_TRUE(all_color(surface(), 601, source_top, 39, 64, white));
    // The way back is offered.
    EXPECT_LT(count_color(surface(), 0, source_top, 32, 64, white), 32 * 64 - 20);
    // Too long for one line beside the label: the whole path on two smaller lines there.
    int label_end = 24 + static_cast<int>(text_width("Source folders", 14)) + 16;
    EXPECT_TRUE(all_color(surface(), label_end, 136, 616 - label_end, 24, white));
    move(300, source_top + 5);
    repaint();
    EXPECT_GT(count_near(surface(), label_end, 136, 616 - label_end, 11, grey, 0x60), 100);
    EXPECT_GT(count_near(surface(), label_end, 148, 616 - label_end, 11, grey, 0x60), 100);
}

// A farm has many folders: the add card stays after the last folder card, a folder already in
// the list adds nothing, and any card removes its own folder.
TEST_F(drive_panels, the_add_card_follows_the_folder_cards_so_a_list_takes_many_folders) {
    temp_folder_s first, second, third;
    // Where the cards start: the chooser scrolls the strip to its end, which three folders of
    // this length overflow.
    auto start_x = [] { return static_cast<int>(40 + drive_panel_state[source_list].offset); };
    auto add_card_x = [&] {
        int x = start_x();
        for (const drive_info_s& drive : source_drives) {
            x = static_cast<int>(x + text_width(drive.path, 12) + 20);
        }
        return x;
    };
    paint_panels();
    for (const std::string* folder : {&first.path, &second.path, &first.path, &third.path}) {
        chosen = *folder;
        int x = add_card_x();
        EXPECT_TRUE(shows_text("Click to select...", 12, blue, x, source_top + 16)) << x;
        click(x + 10, source_top + 30);
        repaint();
    }
    save_screen(surface(), "panels_three_sources");
    ASSERT_EQ(source_drives.size(), 3u);
    EXPECT_EQ(source_drives[0].path, first.path);
    EXPECT_EQ(source_drives[1].path, second.path);
    EXPECT_EQ(source_drives[2].path, third.path);
    EXPECT_EQ(chooser_titles.size(), 4u);
    EXPECT_TRUE(shows_text("Click to select...", 12, blue, add_card_x(), source_top + 16));

    // The middle card, then the first.
    boxes.answers = {true, true};
    int second_end = static_cast<int>(start_x() + text_width(first.path, 12) + 20) +
                     static_cast<int>(text_width(second.path, 12) + 20);
    click(second_end - 8, source_top + 8);
    ASSERT_EQ(source_drives.size(), 2u);
    EXPECT_EQ(source_drives[1].path, third.path);
    repaint();
    click(start_x() + static_cast<int>(text_width(first.path, 12) + 20) - 8, source_top + 8);
    ASSERT_EQ(source_drives.size(), 1u);
    EXPECT_EQ(source_drives[0].path, third.path);
    EXPECT_TRUE(destination_drives.empty());
}

TEST_F(drive_panels, a_source_card_shows_no_size_until_its_folder_is_scanned) {
    for (std::uint64_t start : {0, 8, 16}) {
        ASSERT_NE(write_poc1_plot(logs.path, {1, start, 8}), "");
    }
    add_drive(source_list, logs.path);
    paint_panels();
    save_screen(surface(), "panels_source_unscanned");
    EXPECT_TRUE(shows_text(logs.path, 12, green, 40, source_top + 16));
    // The detail line is empty: no "0.0 KB plots" while nothing is known.
    EXPECT_TRUE(all_color(surface(), 40, source_top + 38, 560, 16, white));

    // With a destination the folder is scanned: 24 nonces of 262144 bytes.
    temp_folder_s destination;
    add_drive(destination_list, destination.path);
    repaint();
    EXPECT_TRUE(shows_text("6.3 MB plots", 9, grey, 42, source_top + 38));
}

} // namespace
