#include "sys/cli_printable.h"

#include <cstdint>
#include <cstdio>

namespace {

void append_escaped(std::string& out, unsigned char byte) {
    char code[8];
    std::snprintf(code, sizeof code, "\\x%02x", byte);
    out += code;
}

// Length of the well-formed UTF-8 sequence at text[at] and its code point; 0 when ill-formed.
std::size_t utf8_sequence(std::string_view text, std::size_t at, std::uint32_t* code_point) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    std::size_t length = lead >= 0xf0 && lead <= 0xf4   ? 4
                         : lead >= 0xe0 && lead <= 0xef ? 3
                         : lead >= 0xc2 && lead <= 0xdf ? 2
                                                        : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    std::uint32_t value = lead & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) {
            return 0;
        }
        value = value << 6 | (byte(at + i) & 0x3f);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || (value >= 0xd800 && value <= 0xdfff) || value > 0x10ffff) {
        return 0;
    }
    *code_point = value;
    return length;
}

} // namespace

std::string printable(std::string_view text, bool keep_line_breaks) {
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80) {
            if (byte == '\\') {
                out += "\\\\";
            } else if ((byte < 0x20 && !(keep_line_breaks && byte == '\n')) || byte == 0x7f) {
                append_escaped(out, byte);
            } else {
                out += static_cast<char>(byte);
            }
            ++at;
            continue;
        }
        std::uint32_t code_point = 0;
        std::size_t length = utf8_sequence(text, at, &code_point);
        if (length == 0 || (code_point >= 0x80 && code_point <= 0x9f)) {
            // A lone byte, or a C1 control that some terminals obey (U+009B starts a sequence).
            std::size_t count = length == 0 ? 1 : length;
            for (std::size_t i = 0; i < count; ++i) {
                append_escaped(out, static_cast<unsigned char>(text[at + i]));
            }
            at += count;
            continue;
        }
        out.append(text.substr(at, length));
        at += length;
    }
    return out;
}

bool is_utf8(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::uint32_t code_point = 0;
        std::size_t length =
            static_cast<unsigned char>(text[at]) < 0x80 ? 1 : utf8_sequence(text, at, &code_point);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}
