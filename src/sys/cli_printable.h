// Text from the file system made safe for a terminal.
//
// A file name may hold any byte but '/' and NUL: escape sequences that move
// the cursor, retitle the window or rewrite what was printed before, carriage
// returns that hide a line, invalid UTF-8. Everything the terminal front end
// prints passes through here; control characters and bytes that are not UTF-8
// come out as \xNN (a backslash itself as \\), the rest unchanged.
#pragma once

#include <string>
#include <string_view>

// The text with its control characters (C0, DEL, C1) and invalid UTF-8 escaped. Line breaks
// are kept when keep_line_breaks is true (message texts), escaped otherwise (names).
std::string printable(std::string_view text, bool keep_line_breaks = false);

// Whether the text is well-formed UTF-8 throughout.
bool is_utf8(std::string_view text);
