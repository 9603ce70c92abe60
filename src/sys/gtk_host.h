// The GTK window host: the one fixed 640 x 480 window, its main loop, and the
// handlers that let the rest of the program reach them.
//
// The window is a thin shell around the window table of src/ui: every paint
// lets the current screen redraw the whole back buffer and copies it to the
// screen, mouse input goes to the click regions, and the text boxes of the
// screens live in an overlay above the drawing area. The main loop also runs
// the interface-task queue when another thread has posted to it.
//
// Limits: one display, one main window (the table has four records; a window
// beyond them is refused). Everything here runs on the interface thread, the
// thread that called open_display, except the wake-up installed by
// install_gtk_host, which any thread may call.
#pragma once

#include <gtk/gtk.h>

#include <functional>

// Connects to the display and initialises GTK; false when there is no display to connect to.
bool open_display();

// Installs the GTK handlers: repaint requests, message boxes, the interface-task wake-up,
// the quit request and the host hooks of the screens. After open_display, before other threads.
void install_gtk_host();

// Creates and shows the main window in the first free record of the window table and returns
// that record's index, or -1 when every record is taken.
int create_main_window();

// The GTK window of a record, or null when the record holds none.
GtkWindow* gtk_window_of(int window);

// The overlay above a record's drawing area, where text boxes go; null without a window.
GtkOverlay* gtk_overlay_of(int window);

// Installs what closing the main window asks first: the window closes only when `may_close`
// returns true. While it asks, further requests to close are ignored. Interface thread.
void set_close_guard(std::function<bool()> may_close);

// Makes a box or chooser give the focus back to its window when the person closes it, and
// count for program_in_use meanwhile. Interface thread.
void track_program_use(GtkWindow* dialog);

// Whether the person is using the program: one of its windows has the focus, or the focus is on
// its way back to the main window from a box or chooser the person has just closed (a box that
// follows at once is seen by the person, who is there). Interface thread.
bool program_in_use();

// Runs the main loop until the last window is closed (status 0) or request_quit(status);
// returns the status.
int run_main_loop();
