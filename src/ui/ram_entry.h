// The memory-limit entry: a screen with a native text box in which the user
// types the limit in GiB, and an OK button back to the configuration screen.
//
// The limit follows the text on every frame while the user types; OK or Enter
// keeps it and replans, Escape goes back with the limit the entry opened with.
// The text is read as a decimal number at its start (letters after it are
// ignored): no number, zero or a negative number means automatic, and a
// number too large for 64 bits of bytes is capped at the largest limit. A
// limit too small for one chunk of buffers is raised to the smallest that
// works when it is kept; the screen says so while it is typed, and says when
// a limit is more than the memory free now. Interface thread only.
#pragma once

#include <cstdint>

inline constexpr int ram_text_capacity = 128;

// The text box's text (the host copies every change here). Interface thread only.
extern char ram_text[ram_text_capacity];

// The memory-limit line's action: fills ram_text with the limit in GiB (while automatic, the
// budget an automatic limit gives now), opens the text box and installs ram_entry_screen.
void open_ram_entry();

// Draws one frame of the entry screen and takes the limit from ram_text.
void ram_entry_screen();

// OK and Enter: takes the limit from ram_text (raised to the smallest workable budget when
// below it), closes the text box, installs the configuration screen and replans.
void confirm_ram_entry();

// Escape: closes the text box and installs the configuration screen with the limit as it was
// when the entry opened.
void cancel_ram_entry();

// The limit in bytes that a text gives: its leading decimal number of GiB (decimal point or
// comma), truncated; 0 for no number or a negative one, UINT64_MAX for one beyond 64 bits.
std::uint64_t ram_limit_from_text(const char* text);
