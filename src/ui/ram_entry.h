// The memory-limit entry: a screen with a native text box in which the user
// types the limit in GiB, and an OK button back to the configuration screen.
//
// The limit follows the text on every frame while the user types; OK keeps
// it and replans. There is no cancel. The text is read as a decimal number
// at its start (letters after it are ignored): no number, zero or a negative
// number means automatic, and a number too large for 64 bits of bytes is
// capped at the largest limit. Interface thread only.
#pragma once

#include <cstdint>

inline constexpr int ram_text_capacity = 128;

// The text box's text (the host copies every change here). Interface thread only.
extern char ram_text[ram_text_capacity];

// The memory-limit line's action: fills ram_text with the limit in GiB (three quarters of the
// available memory while automatic), opens the text box and installs ram_entry_screen.
void open_ram_entry();

// Draws one frame of the entry screen and takes the limit from ram_text.
void ram_entry_screen();

// The OK button's action: closes the text box, installs the configuration screen and replans.
void confirm_ram_entry();

// The limit in bytes that a text gives: its leading decimal number of GiB (decimal point or
// comma), truncated; 0 for no number or a negative one, UINT64_MAX for one beyond 64 bits.
std::uint64_t ram_limit_from_text(const char* text);
