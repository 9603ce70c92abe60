#include "ui/ram_entry.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>
#include <system_error>

#include "catalogue/conversion_plan.h"
#include "catalogue/planning.h"
#include "swizzler/buffer_sizing.h"
#include "ui/config_screen.h"
#include "ui/draw.h"
#include "ui/host_hooks.h"
#include "util/memory_status.h"
#include "util/size_text.h"

char ram_text[ram_text_capacity] = "";

namespace {

constexpr const char* font_family = "Microsoft Sans Serif";
constexpr std::uint32_t grey = 0xff707070;
constexpr std::uint32_t accent_blue = 0xff117dbb;
constexpr double bytes_per_gib = 1024.0 * 1024.0 * 1024.0;

std::uint64_t limit_when_opened = 0; // what Escape goes back to; interface thread only

void draw_centred(int window, const char* text, float y) {
    int width = static_cast<int>(measure_text(window, text));
    draw_text(window, text, static_cast<float>((640 - width) / 2), y);
}

// Under the memory figures: what a run will make of the limit typed, when that is not the limit.
void draw_limit_note(int window, const memory_status_s& memory) {
    if (max_ram_bytes == 0) {
        return;
    }
    buffer_sizing_s sizing = size_buffers(memory, 0, max_ram_bytes, has_merged_jobs(the_plan()));
    char note[256];
    if (sizing.change == budget_change::raised_to_smallest) {
        std::snprintf(note, sizeof note,
                      "Too small to convert with: the limit will be %s, the smallest that works.",
                      size_text(sizing.budget_bytes, true));
    } else if (sizing.change == budget_change::lowered_to_available) {
        std::snprintf(note, sizeof note,
                      "More than the %s free now: a run uses at most what is free when it starts.",
                      size_text(memory.available_bytes, true));
    } else {
        return;
    }
    window_table[window].fill_color = accent_blue;
    draw_centred(window, note, 298);
}

// Both ways out: the text box goes, the configuration screen comes back.
void close_entry() {
    window_record_s& record = window_table[current_window];
    for (child_control_s& control : record.child_controls) {
        if (host_hooks().destroy_text_box) {
            host_hooks().destroy_text_box(current_window, control);
        }
    }
    record.child_controls.clear();
    record.draw = config_screen;
    invalidate_window(current_window);
}

} // namespace

std::uint64_t ram_limit_from_text(const char* text) {
    const char* p = text;
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // Decimal notation only: no "inf", "nan" or hexadecimal, whatever the locale. The decimal
    // mark may be a point or a comma: a person used to "1,5" means one and a half.
    char number_text[ram_text_capacity * 2];
    std::snprintf(number_text, sizeof number_text, "%s", p);
    p = number_text;
    std::size_t digits = std::strspn(number_text, "0123456789");
    if (number_text[digits] == ',') {
        number_text[digits] = '.';
    }
    bool digit_first = std::isdigit(static_cast<unsigned char>(p[0])) ||
                       (p[0] == '.' && std::isdigit(static_cast<unsigned char>(p[1])));
    if (!digit_first) {
        return 0;
    }
    double gib = 0;
    auto [end, error] = std::from_chars(p, p + std::strlen(p), gib, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        // Only the exponent can leave the range of a double within the box's 127 characters:
        // a negative one gives a number too small to be a limit, a positive one is capped below.
        std::string_view number(p, static_cast<std::size_t>(end - p));
        bool tiny = number.find("e-") != number.npos || number.find("E-") != number.npos;
        gib = tiny ? 0 : std::numeric_limits<double>::infinity();
    } else if (error != std::errc{}) {
        return 0;
    }
    if (negative) {
        return 0; // a negative limit means nothing: automatic
    }
    double bytes = gib * bytes_per_gib;
    // 2^64 is exactly representable; anything from there up is capped.
    if (!(bytes < 18446744073709551616.0)) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(bytes);
}

void open_ram_entry() {
    limit_when_opened = max_ram_bytes;
    // While automatic, the figure that "Automatic" stands for now.
    std::uint64_t value = max_ram_bytes;
    if (value == 0) {
        value = automatic_budget(read_memory_status());
    }
    // Written with '.' whatever the locale, as ram_limit_from_text reads it.
    double gib = static_cast<double>(value) / 1024 / 1024 / 1024;
    auto [end, error] =
        std::to_chars(ram_text, ram_text + ram_text_capacity - 1, gib, std::chars_format::fixed, 1);
    *(error == std::errc{} ? end : ram_text) = '\0';

    window_record_s& record = window_table[current_window];
    child_control_s control;
    control.capacity = ram_text_capacity;
    control.text = ram_text;
    control.index = static_cast<int>(record.child_controls.size());
    control.x = 110;
    control.y = 225;
    control.width = 420;
    control.height = 30;
    control.on_enter = confirm_ram_entry;
    control.on_escape = cancel_ram_entry;
    record.child_controls.push_back(control);
    if (host_hooks().create_text_box) {
        host_hooks().create_text_box(current_window, record.child_controls.back());
    }
    record.draw = ram_entry_screen;
    invalidate_window(current_window);
}

void ram_entry_screen() {
    int window = current_window;
    window_record_s& record = window_table[window];
    clear_surface(window, 0xffffffff);

    set_font(window, font_family, 22);
    record.fill_color = grey;
    draw_centred(window, "Enter new max RAM size to use in GiB", 150);

    record.line_color = grey;
    draw_line(window, 110, 259, 530, 259);

    memory_status_s memory = read_memory_status();
    char status[256];
    const char* available = size_text(memory.available_bytes, true);
    std::snprintf(status, sizeof status, "%s free of %s", available,
                  size_text(memory.total_bytes, true));
    set_font(window, font_family, 10);
    draw_centred(window, status, 274);

    max_ram_bytes = ram_limit_from_text(ram_text);
    draw_limit_note(window, memory);
    draw_button(window, "OK", true, 270, 339, 100, 34, confirm_ram_entry, 12);
}

void confirm_ram_entry() {
    // Enter may come before the frame that reads the last keystroke: the text decides.
    max_ram_bytes = ram_limit_from_text(ram_text);
    buffer_sizing_s sizing =
        size_buffers(read_memory_status(), 0, max_ram_bytes, has_merged_jobs(the_plan()));
    if (sizing.change == budget_change::raised_to_smallest) {
        // The limit shown on the configuration screen is then the one the run keeps to.
        max_ram_bytes = sizing.budget_bytes;
    }
    close_entry();
    plan_jobs();
    invalidate_window(current_window);
}

void cancel_ram_entry() {
    max_ram_bytes = limit_when_opened;
    close_entry();
}
