// A window record for tests: record 0 with a 640 x 480 back buffer, a counter
// of repaint requests, and pixel helpers for what a screen drew.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "ui/window_record.h"

// Pixels of a back buffer as 0xAARRGGBB (equal to the colour drawn where it is opaque).
std::uint32_t pixel_at(cairo_surface_t* surface, int x, int y);

// How many pixels of the rectangle hold exactly this colour.
int count_color(cairo_surface_t* surface, int x, int y, int w, int h, std::uint32_t color);

// How many pixels of the rectangle are within `tolerance` of the colour in every channel.
int count_near(cairo_surface_t* surface, int x, int y, int w, int h, std::uint32_t color,
               int tolerance);

// True when every pixel of the rectangle holds this colour.
bool all_color(cairo_surface_t* surface, int x, int y, int w, int h, std::uint32_t color);

// Writes the back buffer to <build folder>/screens/<name>.png for people to look at.
void save_screen(cairo_surface_t* surface, const std::string& name);

struct ui_window_fixture : testing::Test {
    int window = 0;
    int repaints = 0; // invalidate_window calls for the record since set-up

    void SetUp() override;
    void TearDown() override;

    window_record_s& record() { return window_table[window]; }
    cairo_surface_t* surface() { return record().back_buffer; }

    // One paint of the record with this screen, as the host does it.
    void paint(std::function<void()> screen);
    // A paint of the screen already installed.
    void repaint();
    // Pointer events as the host routes them.
    void press(int x, int y);
    void move(int x, int y);
    void release(int x, int y);
    void click(int x, int y);

    // Whether `text` drawn in the screens' font at `size` and `color` at (x, y) on white looks
    // exactly like the back buffer around the text's ink (widened by `margin` pixels).
    bool shows_text(const std::string& text, float size, std::uint32_t color, float x, float y,
                    int margin = 1);

    // For text over a background that is not plain white: every pixel that the text alone
    // covers mostly is as close to `color` as that coverage allows, whatever lies under it.
    bool shows_text_ink(const std::string& text, float size, std::uint32_t color, float x, float y);

    // The width measure_text gives for the text in the screens' font at `size`.
    float text_width(const std::string& text, float size);

  private:
    // Renders the text alone on white into a second record and calls check with its surface.
    bool with_reference(const std::string& text, float size, std::uint32_t color, float x, float y,
                        const std::function<bool(cairo_surface_t*)>& check);
};
