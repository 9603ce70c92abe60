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

// add_click_region bound to a window.
add_region_fn plain_add_region(int window);

// An add_region_fn for scrolled content visible only from x = left to x = right (exclusive):
// rectangles are cut to that span horizontally (never vertically); one wholly outside it is
// not registered and reports no hover.
add_region_fn clipping_add_region(int window, int left, int right);

// Empties all 64 entries (before each paint).
void clear_click_regions(int window);

// Routes one pointer event (pointer_press, pointer_move or pointer_release at client (x, y)) to
// the record's entries: tracks the pressed and hovered entries, repaints when the hovered entry
// changes and runs an action when a release ends in the entry that was pressed. The host stores
// pointer_x and pointer_y before calling.
void dispatch_click_regions(int window, int kind, int x, int y);
