// The window table: the record of the main window with its current screen,
// back buffer, drawing state and click regions.
//
// The host (the GTK window in src/sys, or a test) owns the real window and
// fills `handle`, `back_buffer` and `back_graphics`; everything here is plain
// cairo and pango so that screens render into an image surface without a
// display. Interface thread only.
#pragma once

#include <cairo.h>
#include <pango/pango.h>

#include <array>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

struct click_region_s {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    std::function<void()> action;    // empty: a free entry
    int focus_order = -1;            // its place in the Tab order of this paint; -1: not focusable
    std::function<void()> on_delete; // the Delete key while it has the focus; empty: nothing
};

// A rectangle that the mouse wheel scrolls: steps > 0 towards the end (down or right).
struct wheel_region_s {
    int x = 0, y = 0, width = 0, height = 0;
    std::function<void(double steps)> scroll;
};

// A native text box over the window (the memory-limit entry).
struct child_control_s {
    void* handle = nullptr; // the host's widget
    int capacity = 0;       // bytes of `text`, terminator included
    char* text = nullptr;   // the host copies the box's text here on every change
    int index = 0;          // position in child_controls
    int x = 0, y = 0, width = 0, height = 0;
    // Enter and Escape in the box; empty: the key does nothing. The host calls a copy, since
    // either may close the box and so destroy this record.
    std::function<void()> on_enter;
    std::function<void()> on_escape;
};

inline constexpr int max_click_regions = 64;
inline constexpr int window_table_size = 4;

struct window_record_s {
    void* handle = nullptr; // the host's window; null when the record is free
    int pointer_x = 0;      // last pointer position, client pixels
    int pointer_y = 0;
    std::function<void()> draw; // the current screen
    std::vector<child_control_s> child_controls;
    cairo_surface_t* back_buffer = nullptr; // ARGB32, client size times the device scale
    cairo_t* back_graphics = nullptr;
    PangoFontDescription* font = nullptr;  // null: none set in this frame
    std::uint32_t fill_color = 0xff000000; // 0: shapes are not filled
    std::uint32_t line_color = 0xff000000; // 0: no outline
    float line_width = 1.0f;
    std::vector<std::pair<float, float>> polygon_points;
    std::vector<cairo_rectangle_t> clip_stack; // clips saved by push_clip_rect
    std::array<click_region_s, max_click_regions> click_regions;
    int pressed_region = -1;
    int hover_region = -1;
    // The keyboard: which focusable region has the focus (its place in the Tab order, kept
    // across paints; -1: none), how many the last paint registered, and whether a key has been
    // used, after which the focused region shows its focus ring.
    int focus_order = -1;
    int focusable_count = 0;
    bool focus_visible = false;
    std::vector<wheel_region_s> wheel_regions; // rebuilt by every paint
};

extern window_record_s window_table[window_table_size];
extern int current_window; // index of the main window's record

// Asks the host to repaint the whole window of that record (no erase). Nothing without a host.
void invalidate_window(int window);

// Installs the host's repaint request. Threading: at start-up.
void set_invalidate_handler(std::function<void(int)> invalidate);
