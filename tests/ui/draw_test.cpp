#include <glib.h>
#include <gtest/gtest.h>

#include <string>

#include "ui/click_regions.h"
#include "ui/draw.h"
#include "ui_fixture.h"

namespace {

using drawing = ui_window_fixture;

constexpr std::uint32_t white = 0xffffffff;
constexpr std::uint32_t red = 0xffff0000;

// The ink's bounding box of everything not white in the back buffer.
struct ink_box_s {
    int left = 640, top = 480, right = 0, bottom = 0;
};

ink_box_s ink_box(cairo_surface_t* surface) {
    ink_box_s box;
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) {
            if (pixel_at(surface, x, y) != white) {
                box.left = std::min(box.left, x);
                box.top = std::min(box.top, y);
                box.right = std::max(box.right, x + 1);
                box.bottom = std::max(box.bottom, y + 1);
            }
        }
    }
    return box;
}

TEST_F(drawing, a_disabled_button_is_grey_and_cannot_be_clicked) {
    int runs = 0;
    move(165, 120);
    paint([&] {
        clear_surface(window, white);
        draw_button(
            window, "Start Swizzling!", false, 100, 100, 130, 40, [&] { ++runs; }, 12);
    });
    save_screen(surface(), "button_disabled");
    EXPECT_EQ(pixel_at(surface(), 103, 103), 0xffccccccu);
    EXPECT_EQ(pixel_at(surface(), 226, 136), 0xffccccccu);
    // The outline lies on the rectangle's edges, on whole pixels.
    EXPECT_TRUE(all_color(surface(), 100, 100, 131, 1, 0xffadadad));
    EXPECT_TRUE(all_color(surface(), 100, 140, 131, 1, 0xffadadad));
    EXPECT_TRUE(all_color(surface(), 100, 100, 1, 41, 0xffadadad));
    EXPECT_TRUE(all_color(surface(), 230, 100, 1, 41, 0xffadadad));
    EXPECT_EQ(pixel_at(surface(), 99, 120), white);
    EXPECT_EQ(pixel_at(surface(), 231, 120), white);
    // The label is in the disabled text colour, and only its anti-aliased edges mix.
    EXPECT_GT(count_color(surface(), 101, 101, 129, 39, 0xff7e859c), 20);
    EXPECT_EQ(count_color(surface(), 101, 101, 129, 39, 0xff000000), 0);

    EXPECT_FALSE(record().click_regions[0].action);
    click(165, 120);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(repaints, 0);
}

TEST_F(drawing, an_enabled_button_lights_up_under_the_pointer_and_runs_its_action) {
    int runs = 0;
    auto screen = [&] {
        clear_surface(window, white);
        draw_button(
            window, "OK", true, 270, 339, 100, 34, [&] { ++runs; }, 12);
    };
    paint(screen);
    EXPECT_EQ(pixel_at(surface(), 275, 343), 0xffe1e1e1u);
    EXPECT_EQ(pixel_at(surface(), 270, 350), 0xffadadadu);
    EXPECT_GT(count_color(surface(), 271, 340, 99, 33, 0xff000000), 5);

    move(300, 350);
    EXPECT_EQ(repaints, 1);
    repaint();
    save_screen(surface(), "button_hovered");
    EXPECT_EQ(pixel_at(surface(), 275, 343), 0xffe5f1fbu);
    EXPECT_TRUE(all_color(surface(), 270, 339, 1, 35, 0xff0078d7));
    EXPECT_TRUE(all_color(surface(), 270, 373, 101, 1, 0xff0078d7));
    // The colours stay in the drawing state afterwards.
    EXPECT_EQ(record().fill_color, 0xff000000u);
    EXPECT_EQ(record().line_color, 0xff0078d7u);

    click(300, 350);
    EXPECT_EQ(runs, 1);
}

TEST_F(drawing, fill_fade_is_always_32_pixels_wide) {
    paint([&] {
        clear_surface(window, white);
        fill_fade(window, 100, 50, 20, 0xff000000, 0xff0000ff);
    });
    for (int x = 100; x < 132; ++x) {
        EXPECT_NE(pixel_at(surface(), x, 60), white) << x;
    }
    EXPECT_EQ(pixel_at(surface(), 99, 60), white);
    EXPECT_EQ(pixel_at(surface(), 132, 60), white);
    EXPECT_EQ(pixel_at(surface(), 110, 49), white);
    EXPECT_EQ(pixel_at(surface(), 110, 70), white);
    EXPECT_NE(pixel_at(surface(), 110, 69), white);
    // From the first colour at the left to the second at the right.
    std::uint32_t left = pixel_at(surface(), 100, 60);
    std::uint32_t right = pixel_at(surface(), 131, 60);
    EXPECT_LT(left & 0xff, 0x10u);
    EXPECT_GT(right & 0xff, 0xe8u);
    EXPECT_LT((right >> 16) & 0xff, 0x10u);
}

TEST_F(drawing, draw_rect_puts_its_outline_on_whole_pixels) {
    paint([&] {
        clear_surface(window, white);
        record().fill_color = 0;
        record().line_color = 0;
        draw_rect(window, 300, 300, 50, 50); // neither colour: nothing at all
        record().line_color = red;
        draw_rect(window, 10.7f, 20.2f, 30.9f, 40.5f);
    });
    // Drawn at (10, 20, 30, 40): the four lines are solid one-pixel lines.
    EXPECT_TRUE(all_color(surface(), 10, 20, 1, 41, red));
    EXPECT_TRUE(all_color(surface(), 40, 20, 1, 41, red));
    EXPECT_TRUE(all_color(surface(), 10, 20, 31, 1, red));
    EXPECT_TRUE(all_color(surface(), 10, 60, 31, 1, red));
    EXPECT_TRUE(all_color(surface(), 11, 21, 29, 39, white));
    EXPECT_TRUE(all_color(surface(), 9, 19, 1, 43, white));
    EXPECT_TRUE(all_color(surface(), 41, 19, 1, 43, white));
    ink_box_s box = ink_box(surface());
    EXPECT_EQ(box.left, 10);
    EXPECT_EQ(box.top, 20);
    EXPECT_EQ(box.right, 41);
    EXPECT_EQ(box.bottom, 61);
}

TEST_F(drawing, pop_clip_unclips_after_the_outermost_push_and_restores_inner_ones) {
    paint([&] {
        clear_surface(window, white);
        // A clip in force before the push does not come back.
        cairo_rectangle(record().back_graphics, 0, 0, 10, 10);
        cairo_clip(record().back_graphics);
        push_clip_rect(window, 100, 100, 200, 200);
        push_clip_rect(window, 250, 250, 200, 200);
        clear_surface(window, red); // only (250, 250)-(300, 300)
        pop_clip(window);
        clear_surface(window, 0xff00ff00); // (100, 100)-(300, 300)
        pop_clip(window);
        record().fill_color = 0xff0000ff;
        record().line_color = 0;
        draw_rect(window, 500, 400, 20, 20);
    });
    EXPECT_EQ(pixel_at(surface(), 5, 5), white);
    EXPECT_EQ(pixel_at(surface(), 99, 150), white);
    EXPECT_EQ(pixel_at(surface(), 150, 150), 0xff00ff00u);
    EXPECT_EQ(pixel_at(surface(), 299, 299), 0xff00ff00u);
    EXPECT_EQ(pixel_at(surface(), 300, 300), white);
    EXPECT_EQ(pixel_at(surface(), 350, 350), white);
    EXPECT_EQ(pixel_at(surface(), 510, 410), 0xff0000ffu);
    EXPECT_TRUE(record().clip_stack.empty());
}

TEST_F(drawing, draw_polygon_fills_even_odd_and_always_forgets_its_points) {
    auto star = [&] {
        // A five-pointed star drawn in one stroke: its centre is covered twice.
        add_point(window, 200, 100);
        add_point(window, 259, 281);
        add_point(window, 105, 169);
        add_point(window, 295, 169);
        add_point(window, 141, 281);
    };
    paint([&] {
        clear_surface(window, white);
        record().fill_color = 0;
        record().line_color = 0;
        star();
        draw_polygon(window);
        EXPECT_TRUE(record().polygon_points.empty());
        EXPECT_EQ(ink_box(surface()).right, 0);

        record().fill_color = red;
        star();
        draw_polygon(window);
        EXPECT_TRUE(record().polygon_points.empty());
    });
    EXPECT_EQ(pixel_at(surface(), 200, 200), white); // the centre: twice inside, so outside
    EXPECT_EQ(pixel_at(surface(), 200, 130), red);   // the top point
    EXPECT_EQ(pixel_at(surface(), 130, 172), red);   // the left point
}

TEST_F(drawing, draw_text_without_a_font_uses_arial_10_and_keeps_it) {
    float default_width = 0;
    float arial_width = 0;
    float larger_width = 0;
    float missing = 0;
    float generic = 0;
    float substitute = 0;
    paint([&] {
        // A family that is not installed gives the generic sans-serif family, not whatever
        // look-alike the font configuration would pick for it (Nimbus Sans for Arial, here).
        set_font(window, "Arial", 12);
        missing = measure_text(window, "Select source");
        set_font(window, "sans-serif", 12);
        generic = measure_text(window, "Select source");
        set_font(window, "Nimbus Sans", 12);
        substitute = measure_text(window, "Select source");
    });
    paint([&] {
        clear_surface(window, white);
        EXPECT_EQ(record().font, nullptr);
        EXPECT_EQ(measure_text(window, "Hello"), 0.0f); // nothing to measure with
        draw_text(window, "Hello", 50, 60);
        EXPECT_NE(record().font, nullptr);
        default_width = measure_text(window, "Hello");
        set_font(window, "Arial", 10);
        arial_width = measure_text(window, "Hello");
        set_font(window, "Arial", 20);
        larger_width = measure_text(window, "Hello");
    });
    EXPECT_GT(missing, 50.0f);
    EXPECT_EQ(missing, generic);
    EXPECT_GT(default_width, 20.0f);
    EXPECT_EQ(default_width, arial_width);
    EXPECT_NEAR(larger_width / arial_width, 2.0f, 0.15f);
    // The layout's top-left corner is at (50, 60): the ink starts just inside it.
    ink_box_s box = ink_box(surface());
    EXPECT_GE(box.left, 50);
    EXPECT_LE(box.left, 53);
    EXPECT_GE(box.top, 60);
    EXPECT_LE(box.top, 66);
    EXPECT_NEAR(box.right - box.left, default_width, 3.0f);
    if (substitute == generic) {
        GTEST_SKIP() << "no look-alike of Arial installed to tell the fallback from";
    }
}

TEST_F(drawing, texts_are_cut_to_1023_characters_and_foreign_bytes_still_show) {
    EXPECT_EQ(display_text(std::string(2000, 'x')), std::string(1023, 'x'));
    std::string accents;
    for (int i = 0; i < 1100; ++i) {
        accents += "\xc3\xa9"; // é
    }
    EXPECT_EQ(display_text(accents).size(), 2046u);
    // A byte that is neither UTF-8 nor valid in the locale shows as a replacement character.
    EXPECT_EQ(display_text("D:\xff"
                           "a"),
              "D:\xef\xbf\xbd"
              "a");
    EXPECT_EQ(display_text(""), "");
}

TEST_F(drawing, a_paint_resets_the_drawing_state_and_needs_a_window) {
    int draws = 0;
    paint([&] {
        ++draws;
        set_font(window, "sans-serif", 30);
        record().fill_color = 0;
        record().line_color = red;
        record().line_width = 3;
        add_click_region(window, 0, 0, 10, 10, [] {});
    });
    repaint();
    EXPECT_EQ(draws, 2);
    record().draw = [&] {
        ++draws;
        EXPECT_EQ(record().font, nullptr);
        EXPECT_EQ(record().fill_color, 0xff000000u);
        EXPECT_EQ(record().line_color, 0xff000000u);
        EXPECT_EQ(record().line_width, 1.0f);
        EXPECT_FALSE(record().click_regions[0].action);
    };
    repaint();
    EXPECT_EQ(draws, 3);
    record().handle = nullptr;
    repaint();
    EXPECT_EQ(draws, 3);
}

TEST_F(drawing, a_text_wider_than_a_thousand_pixels_measures_as_wide_as_it_is_drawn) {
    std::string path = "/media/plots";
    while (path.size() < 236) {
        path += "/a-folder-with-a-long-name";
    }
    // Placed by its measure to end at x = 600, as a scrolled panel places a path at its end.
    float width = 0;
    paint([&] {
        clear_surface(window, white);
        set_font(window, "Microsoft Sans Serif", 12);
        width = measure_text(window, path);
        draw_text(window, path, 600 - width, 100);
    });
    EXPECT_GT(width, 1000.0f);
    ink_box_s box = ink_box(surface());
    EXPECT_EQ(box.left, 0) << "the text starts far left of the window";
    EXPECT_GE(box.right, 596) << "the text's end is missing";
    EXPECT_LE(box.right, 601) << "the text runs on past where its measure ends";
}

TEST_F(drawing, a_text_shortened_in_the_middle_keeps_its_start_and_its_end_within_the_width) {
    const std::string ellipsis = "\xe2\x80\xa6";
    paint([&] {
        set_font(window, "Microsoft Sans Serif", 11);
        EXPECT_EQ(shorten_in_middle(window, "/media/disk", 400), "/media/disk");

        std::string path = "/media/plot-disk-7/" + std::string(200, 'x') + "/last-folder";
        std::string shown = shorten_in_middle(window, path, 300);
        EXPECT_LE(measure_text(window, shown), 300.0f);
        // As much as fits: one more character of either end would not.
        EXPECT_GT(measure_text(window, shown), 280.0f);
        EXPECT_EQ(shown.rfind("/media/plot-disk-7/", 0), 0u) << shown;
        EXPECT_EQ(shown.size() - shown.rfind("x/last-folder"), std::string("x/last-folder").size())
            << shown;
        EXPECT_NE(shown.find(ellipsis), std::string::npos) << shown;

        // The cut falls between characters of two bytes, never inside one.
        std::string accented = "/media/";
        for (int i = 0; i < 150; ++i) {
            accented += "\xc3\xa9"; // U+00E9
        }
        shown = shorten_in_middle(window, accented + "/end", 200);
        EXPECT_TRUE(g_utf8_validate(shown.data(), static_cast<gssize>(shown.size()), nullptr));
        EXPECT_EQ(shown.rfind("/media/\xc3\xa9", 0), 0u);
        EXPECT_EQ(shown.substr(shown.size() - 6), "\xc3\xa9/end");

        // Not even the ellipsis fits: nothing is shown.
        EXPECT_EQ(shorten_in_middle(window, path, 2), "");
    });
}

} // namespace
