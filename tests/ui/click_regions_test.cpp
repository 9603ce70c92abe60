#include <gtest/gtest.h>

#include <vector>

#include "ui/click_regions.h"
#include "ui_fixture.h"

namespace {

using click_regions = ui_window_fixture;

TEST_F(click_regions, a_click_needs_press_and_release_in_the_same_region) {
    int ok_runs = 0;
    int cancel_runs = 0;
    paint([&] {
        add_click_region(window, 10, 10, 100, 30, [&] { ++ok_runs; });
        add_click_region(window, 200, 10, 100, 30, [&] { ++cancel_runs; });
    });

    // Press on a button, move off and release on empty space: nothing.
    press(20, 20);
    move(150, 100);
    release(150, 100);
    // Press on one button and release on the other: neither.
    press(20, 20);
    move(250, 20);
    release(250, 20);
    EXPECT_EQ(ok_runs, 0);
    EXPECT_EQ(cancel_runs, 0);

    // The bottom-right edges are outside; the top-left ones inside.
    click(109, 39);
    EXPECT_EQ(ok_runs, 1);
    click(110, 20);
    click(50, 40);
    EXPECT_EQ(ok_runs, 1);
    click(200, 10);
    EXPECT_EQ(cancel_runs, 1);
}

TEST_F(click_regions, hover_repaints_on_entering_and_leaving_only) {
    std::vector<bool> hovered;
    paint([&] { hovered.push_back(add_click_region(window, 100, 100, 50, 20, [] {})); });
    move(10, 10);
    EXPECT_EQ(repaints, 0);

    move(120, 110);
    EXPECT_EQ(repaints, 1);
    EXPECT_EQ(record().hover_region, 0);
    repaint();
    move(125, 112);
    move(149, 119);
    EXPECT_EQ(repaints, 1);

    move(150, 110);
    EXPECT_EQ(repaints, 2);
    EXPECT_EQ(record().hover_region, -1);
    repaint();
    EXPECT_EQ(hovered, (std::vector<bool>{false, true, false}));
}

TEST_F(click_regions, the_last_position_still_hovers_after_the_pointer_left_the_window) {
    bool hovered = false;
    move(120, 110);
    paint([&] { hovered = add_click_region(window, 100, 100, 50, 20, [] {}); });
    // Leaving the window sends no move: the record keeps the last position.
    repaint();
    EXPECT_TRUE(hovered);
}

TEST_F(click_regions, zero_sized_regions_never_receive_events) {
    int runs = 0;
    bool hovered_flat = true;
    bool hovered_thin = true;
    move(10, 10);
    paint([&] {
        hovered_flat = add_click_region(window, 10, 10, 40, 0, [&] { ++runs; });
        hovered_thin = add_click_region(window, 10, 10, 0, 40, [&] { ++runs; });
    });
    EXPECT_FALSE(hovered_flat);
    EXPECT_FALSE(hovered_thin);
    move(11, 10);
    click(10, 10);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(repaints, 0);
    EXPECT_EQ(record().hover_region, -1);
    EXPECT_EQ(record().pressed_region, -1);
}

TEST_F(click_regions, the_sixty_fifth_registration_is_refused) {
    std::vector<int> runs(65, 0);
    bool last_accepted_hover = false;
    bool refused_hover = true;
    move(5, 700); // under the 65th region below
    paint([&] {
        for (int i = 0; i < 64; ++i) {
            bool hovered = add_click_region(window, 0, i * 10, 10, 10, [&runs, i] { ++runs[i]; });
            if (i == 63) {
                last_accepted_hover = hovered;
            }
        }
        refused_hover = add_click_region(window, 0, 695, 10, 10, [&runs] { ++runs[64]; });
    });
    EXPECT_FALSE(last_accepted_hover);
    EXPECT_FALSE(refused_hover);
    click(5, 700);
    EXPECT_EQ(runs[64], 0);
    click(5, 635);
    EXPECT_EQ(runs[63], 1);
}

TEST_F(click_regions, an_empty_action_leaves_its_entry_to_the_next_registration) {
    int runs = 0;
    paint([&] {
        add_click_region(window, 0, 0, 50, 50, {});
        add_click_region(window, 100, 0, 50, 50, [&] { ++runs; });
    });
    EXPECT_FALSE(record().click_regions[1].action);
    EXPECT_EQ(record().click_regions[0].x, 100);
    click(10, 10);
    EXPECT_EQ(runs, 0);
    click(110, 10);
    EXPECT_EQ(runs, 1);
}

TEST_F(click_regions, overlapping_regions_cancel_each_others_click) {
    // The press marks the higher entry, the release clears it in the lower one first.
    int low = 0;
    int high = 0;
    paint([&] {
        add_click_region(window, 0, 0, 100, 100, [&] { ++low; });
        add_click_region(window, 50, 50, 100, 100, [&] { ++high; });
    });
    click(75, 75);
    EXPECT_EQ(low + high, 0);
    click(25, 25);
    click(125, 125);
    EXPECT_EQ(low, 1);
    EXPECT_EQ(high, 1);
}

TEST_F(click_regions, the_clipping_add_region_cuts_horizontally_only) {
    int left_runs = 0;
    int right_runs = 0;
    int tall_runs = 0;
    bool outside_hover = true;
    bool cut_part_hover = true;
    move(30, 105); // over the part of the left card that is scrolled away
    paint([&] {
        add_region_fn add = clipping_add_region(window, 40, 600);
        cut_part_hover = add(20, 100, 50, 10, [&] { ++left_runs; });
        add(590, 100, 30, 10, [&] { ++right_runs; });
        add(300, -50, 20, 1000, [&] { ++tall_runs; });
        outside_hover = add(0, 100, 40, 10, [] {});
        add(600, 100, 40, 10, [] {});
    });
    EXPECT_FALSE(cut_part_hover);
    EXPECT_FALSE(outside_hover);

    click(39, 105);
    EXPECT_EQ(left_runs, 0);
    click(40, 105);
    click(69, 105);
    EXPECT_EQ(left_runs, 2);

    click(599, 105);
    click(600, 105);
    EXPECT_EQ(right_runs, 1);

    click(310, -50);
    click(310, 949);
    EXPECT_EQ(tall_runs, 2);

    // Only the three visible rectangles took entries.
    EXPECT_TRUE(record().click_regions[2].action);
    EXPECT_FALSE(record().click_regions[3].action);
    EXPECT_EQ(record().click_regions[0].x, 40);
    EXPECT_EQ(record().click_regions[0].width, 30);
    EXPECT_EQ(record().click_regions[1].width, 10);
}

} // namespace
