// Drive panels: the labelled strips of folder cards on the configuration
// screen, one for the source list and one for the destination list.
//
// Each chosen folder is a card with its path and one detail line (the size of
// the plots found, blank until planning has scanned the folder; or the free
// space); after the last one a "Click to select..." card opens the folder
// chooser, so a list takes as many folders as a person likes. A card lights
// up under the pointer or the keyboard's focus, shows its whole path beside
// the panel's label and a small cross that removes the folder once the person
// has said yes (a stray click removes nothing). Cards wider than the strip
// scroll sideways with two arrows, the mouse wheel or the keyboard's focus,
// with white fades at the cut edges. Interface thread only.
#pragma once

#include <string_view>

// Scroll state of one panel, kept between frames.
struct drive_panel_state_s {
    float content_width = 0;    // total width of the cards, measured every frame
    float offset = 0;           // horizontal scroll of the cards, <= 0; 0 shows the first card
    bool scroll_to_end = false; // the next frame scrolls to the right end (after the chooser)
};

// One per list: [source_list] and [destination_list]. Interface thread only.
extern drive_panel_state_s drive_panel_state[2];

// Draws the panel of list `list` (source_list or destination_list) with its label at y = `y`
// into the current window and registers its click regions.
void drive_panel(std::string_view label, int list, int y);

// A panel that is not used with the options chosen: its label greyed, and a note in place of
// its cards. Registers nothing.
void disabled_drive_panel(std::string_view label, int y, std::string_view note);
