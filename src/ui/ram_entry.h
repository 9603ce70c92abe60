// The memory-limit entry: a screen with a native text box in which the user
// types the limit, in GiB or with a unit, and OK and Cancel buttons back to
// the configuration screen.
//
// The box opens with the limit as it is ("Automatic", or the limit with its
// unit); OK or Enter keeps what the text says and replans, Cancel or Escape
// goes back with the limit unchanged, and OK on the text as it opened changes
// nothing either. A number alone is GiB; a unit after it counts: B, KiB, MiB,
// GiB, TiB (K, M, G and T alike) or KB, MB, GB, TB of 1,000. Empty, 0 or
// "Automatic" mean automatic. Anything else (a word, a negative number, a
// size beyond 64 bits) is refused: the screen says why and OK does nothing
// until the text is mended. A limit too small for every drive's share of
// buffers is raised to the smallest that works when it is kept; the screen
// says so while it is typed, and says when a limit is more than the memory
// free now. Interface thread only.
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
// below it), closes the text box, installs the configuration screen and replans. Does nothing
// while the text is refused.
void confirm_ram_entry();

// Cancel and Escape: closes the text box and installs the configuration screen with the limit
// as it was when the entry opened.
void cancel_ram_entry();

// What a text says as a limit.
struct ram_text_reading_s {
    bool valid = false;      // a limit (or automatic); false: refused, `why` says why
    std::uint64_t bytes = 0; // the limit, truncated to whole bytes; 0: automatic
    const char* why = "";    // for the person, when refused
};

// Reads a limit: a decimal number (point or comma) with an optional unit, GiB without one;
// empty, 0 and "Automatic" (any case, or "auto") are automatic.
ram_text_reading_s read_ram_text(const char* text);
