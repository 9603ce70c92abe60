// Click regions: the clickable rectangles a screen registers while it draws.
//
// Screens have no child widgets for their buttons. Drawing a button registers
// its rectangle with an action, and the registration answers whether the
// pointer is over it, so the same call decides the hover look. The host clears
// the 64 entries of a record before every paint (prepare_back_buffer) and
// routes every press, move and release of the left button to
// dispatch_click_regions. A click is a press and a release inside the same
// entry. Limits: 64 regions per paint; the 65th is refused. Interface thread
// only; actions run there and may open modal dialogs.
#pragma once

#include <functional>

#include "ui/window_record.h"

// Keys a screen answers: Tab and Shift+Tab move the focus, Return or space activates the
// focused region, Delete asks it to remove what it stands for.
enum class screen_key { next, previous, activate, remove };

// Kinds of pointer event for dispatch_click_regions.
inline constexpr int pointer_press = 0;
inline constexpr int pointer_move = 1;
inline constexpr int pointer_release = 2;

// Registers a rectangle for this paint: (x, y, width, height, action) -> the pointer is over it.
using add_region_fn = std::function<bool(int, int, int, int, std::function<void()>)>;

// Draws the content of a scroll panel with its left and top edge at (x, y), registering its
// regions through the given add_region_fn.
using panel_content_fn = std::function<void(int, int, const add_region_fn&)>;

// Stores the rectangle and action in the first free entry of the record; true when the record's
// last pointer position lies inside it. False, with the action dropped, when all 64 are taken.
// An empty action leaves the entry free for the next registration.
bool add_click_region(int window, int x, int y, int width, int height,
                      std::function<void()> action);

// How a focusable region is to be drawn.
struct region_look_s {
    bool hovered = false; // the pointer is over it
    bool focused = false; // it has the keyboard focus and a key has been used: draw the ring
    int order = -1;       // its place in the Tab order of this paint
};

// add_click_region for a region that the keyboard also reaches: it takes the next place in the
// Tab order, Return runs `action` and Delete runs `on_delete` while it has the focus. Cut to
// the visible span [left, right) like clipping_add_region, but a region wholly outside it keeps
// its place in the Tab order (with no area the pointer can reach), so that the keyboard still
// gets to it and its screen can scroll it into view.
region_look_s add_focusable_region(int window, int x, int y, int width, int height,
                                   std::function<void()> action,
                                   std::function<void()> on_delete = {}, int left = -1,
                                   int right = -1);

// A region that only lights up: its action does nothing, but it takes an entry, so that the
// pointer entering and leaving it repaints. Cut to [left, right) like clipping_add_region when
// right > left. True when the pointer is over it.
bool add_hover_region(int window, int x, int y, int width, int height, int left = -1,
                      int right = -1);

// add_click_region bound to a window.
add_region_fn plain_add_region(int window);

// An add_region_fn for scrolled content visible only from x = left to x = right (exclusive):
// rectangles are cut to that span horizontally (never vertically); one wholly outside it is
// not registered and reports no hover.
add_region_fn clipping_add_region(int window, int left, int right);

// Registers a rectangle that the mouse wheel scrolls for this paint.
void add_wheel_region(int window, int x, int y, int width, int height,
                      std::function<void(double steps)> scroll);

// Empties all 64 entries, the Tab order and the wheel regions (before each paint).
void clear_click_regions(int window);

// Routes a wheel turn at client (x, y) to the last wheel region registered there; false when
// none is.
bool dispatch_wheel(int window, int x, int y, double steps);

// Routes a key to the focusable regions of the last paint: moves the focus (wrapping around),
// runs the focused region's action or removal, and repaints; false when the key does nothing
// here (no focusable region, or no focus to act on).
bool dispatch_key(int window, screen_key key);

// Routes one pointer event (pointer_press, pointer_move or pointer_release at client (x, y)) to
// the record's entries: tracks the pressed and hovered entries, repaints when the hovered entry
// changes and runs an action when a release ends in the entry that was pressed. The host stores
// pointer_x and pointer_y before calling.
void dispatch_click_regions(int window, int kind, int x, int y);
