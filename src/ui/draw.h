// Drawing primitives: immediate-mode drawing on a window record's back buffer.
//
// A screen sets the record's drawing state (font, fill colour, line colour,
// line width), then calls a primitive, like a pen plotter: text and filled
// shapes use the fill colour, lines and outlines the line colour and width.
// A primitive never restores what it changed. Colours are 0xAARRGGBB; a fill
// or line colour of 0 means "no fill" or "no outline" for rectangles and
// polygons. Coordinates are window pixels (a back buffer of device scale 2 has
// four device pixels to each); strokes are centred on pixel centres, so a
// 1-pixel line at a whole coordinate covers exactly one row or column of
// pixels. Texts are in the program's narrow character set and at
// most 1023 characters of them are drawn or measured.
//
// Every primitive does nothing on a record without a back buffer, and a
// failing drawing call leaves the surface as it was. Interface thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "ui/window_record.h"

// Makes the record's back buffer an ARGB32 image surface of width x height pixels with an
// anti-aliasing cairo context on it, reusing the present one when the size and scale match.
// On a screen of device scale `scale` (2 on a high-density screen) the surface holds width x
// scale by height x scale device pixels and maps the screens' pixels onto them, so that text,
// lines and shapes are drawn at the screen's own resolution. False when the surface cannot be
// made (the record then has no back buffer).
bool ensure_back_buffer(int window, int width, int height, int scale = 1);

// Frees the record's back buffer, its context and its font.
void release_back_buffer(int window);

// Starts a paint: for a record with a window, resets the drawing state (no font, fill and line
// colour 0xff000000, line width 1) and, when a screen is installed, empties the click regions
// and runs the screen, which redraws every pixel of the back buffer.
void prepare_back_buffer(int window);

// Fills the whole back buffer (within the current clip) with a colour.
void clear_surface(int window, std::uint32_t color);

// Makes the font current: the family, regular, em size size x 1.333 pixels. A family that is
// not installed gives the generic sans-serif family at that size.
void set_font(int window, std::string_view family, float size);

// Draws text in the fill colour and current font with its layout box's top-left corner at
// (x, y), unwrapped and unclipped. Without a current font, sets "Arial" 10 first.
void draw_text(int window, std::string_view text, float x, float y);

// Width of the text in the current font, laid out on one line as draw_text draws it. 0 without
// a current font or when it cannot be measured.
float measure_text(int window, std::string_view text);

// The text as it fits `width` pixels in the current font: whole when it fits, else its start
// and its end joined by an ellipsis (U+2026), as much of both as fits. Returned as UTF-8.
std::string shorten_in_middle(int window, std::string_view text, float width);

// A straight line in the line colour and width.
void draw_line(int window, float x1, float y1, float x2, float y2);

// Fills the rectangle unless the fill colour is 0, then outlines it unless the line colour is
// 0, the outline with each of x, y, w and h truncated to a whole pixel.
void draw_rect(int window, float x, float y, float w, float h);

// Appends a point to the polygon under construction.
void add_point(int window, float x, float y);

// Fills (even-odd rule) and outlines the closed polygon through the added points as the colours
// say, then forgets the points in every case.
void draw_polygon(int window);

// Fills (x, y, 32, h) with a horizontal gradient from color1 at x to color2 at x + 32.
void fill_fade(int window, int x, int y, int h, std::uint32_t color1, std::uint32_t color2);

// Saves the clip in force and clips to the rectangle: intersected with the current clip when
// pushes are nested, replacing it for the outermost push.
void push_clip_rect(int window, int x, int y, int w, int h);

// Restores the clip saved by the matching push; after the outermost pop the surface is
// unclipped, whatever clip was in force before the push.
void pop_clip(int window);

// The keyboard focus around the rectangle (x, y, w, h): a thin blue frame two pixels outside it.
// Leaves the line colour set.
void draw_focus_ring(int window, int x, int y, int w, int h);

// A push button: enabled, it registers its rectangle with the action (the keyboard reaches it
// too, and then it shows its focus ring) and is drawn highlighted while the pointer is over it;
// disabled, it is greyed, registers nothing and never hovers.
// The label is centred in font size `font_size`. The button's colours stay set afterwards.
void draw_button(int window, std::string_view label, bool enabled, int x, int y, int w, int h,
                 std::function<void()> action, float font_size);

// The text as pango draws it: UTF-8 text is kept, any other byte is decoded in the current
// locale (or replaced by U+FFFD); cut to 1023 characters.
std::string display_text(std::string_view narrow);
