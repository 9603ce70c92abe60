#include "ui/ram_entry.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "catalogue/conversion_plan.h"
#include "catalogue/planning.h"
#include "swizzler/buffer_sizing.h"
#include "swizzler/farm.h"
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
constexpr double two_to_64 = 18446744073709551616.0; // exactly representable

std::uint64_t limit_when_opened = 0;           // what Cancel goes back to; interface thread only
char text_when_opened[ram_text_capacity] = ""; // OK on it changes nothing; interface thread only

struct unit_s {
    const char* name;
    double bytes;
};

// The units a limit may be typed in: the program's own size texts write KiB for 1,024 and KB
// for 1,000 bytes; a bare letter is the binary unit, as the entry's own unit is GiB.
constexpr unit_s units[] = {
    {"b", 1},
    {"k", 1024.0},
    {"kib", 1024.0},
    {"kb", 1e3},
    {"m", 1024.0 * 1024},
    {"mib", 1024.0 * 1024},
    {"mb", 1e6},
    {"g", 1024.0 * 1024 * 1024},
    {"gib", 1024.0 * 1024 * 1024},
    {"gb", 1e9},
    {"t", 1024.0 * 1024 * 1024 * 1024},
    {"tib", 1024.0 * 1024 * 1024 * 1024},
    {"tb", 1e12},
};

std::string lower_trimmed(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    std::string lower;
    for (char c : text.substr(begin, end - begin)) {
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

ram_text_reading_s refused(const char* why) {
    ram_text_reading_s reading;
    reading.why = why;
    return reading;
}

void draw_centred(int window, const char* text, float y) {
    int width = static_cast<int>(measure_text(window, text));
    draw_text(window, text, static_cast<float>((640 - width) / 2), y);
}

// The smallest limit with which every stream of the window's plan has a workable share, when
// `limit` is below it; else the limit itself. Without a plan, the least of a single run.
std::uint64_t workable_limit(const memory_status_s& memory, std::uint64_t limit) {
    if (limit == 0) {
        return 0;
    }
    const std::vector<conversion_plan_s>& streams = plan_streams();
    if (streams.empty()) {
        buffer_sizing_s sizing = size_buffers(memory, 0, limit, false);
        return sizing.change == budget_change::raised_to_smallest ? sizing.budget_bytes : limit;
    }
    return std::max(limit, smallest_farm_budget(streams));
}

// Under the memory figures: why the text is refused, or what a run will make of the limit.
void draw_limit_note(int window, const memory_status_s& memory, const ram_text_reading_s& reading) {
    char note[256];
    if (!reading.valid) {
        std::snprintf(note, sizeof note, "%s", reading.why);
    } else if (reading.bytes == 0) {
        std::snprintf(note, sizeof note,
                      "Automatic: a run takes nine tenths of what is free when it starts (%s now).",
                      size_text(automatic_budget(memory), true));
    } else if (std::uint64_t workable = workable_limit(memory, reading.bytes);
               workable != reading.bytes) {
        std::snprintf(note, sizeof note,
                      "Too small to convert with: the limit will be %s, the smallest that works.",
                      size_text(workable, true));
    } else if (size_buffers(memory, 0, reading.bytes, false).change ==
               budget_change::lowered_to_available) {
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

ram_text_reading_s read_ram_text(const char* text) {
    std::string lower = lower_trimmed(text);
    if (lower.empty() || lower == "automatic" || lower == "auto") {
        return {true, 0, ""};
    }
    const char* not_a_size = "Not a size: type a number of GiB, a number with its unit "
                             "(512 MiB), or Automatic.";
    std::size_t at = 0;
    if (lower[at] == '+' || lower[at] == '-') {
        if (lower[at] == '-') {
            return refused("A limit cannot be negative: type a size, or Automatic.");
        }
        ++at;
    }
    // Decimal notation only: no "inf", "nan" or hexadecimal, whatever the locale. The decimal
    // mark may be a point or a comma: a person used to "1,5" means one and a half.
    std::string number = lower.substr(at);
    std::size_t digits = std::strspn(number.c_str(), "0123456789");
    if (digits < number.size() && number[digits] == ',') {
        number[digits] = '.';
    }
    bool digit_first = !number.empty() && (std::isdigit(static_cast<unsigned char>(number[0])) ||
                                           (number[0] == '.' && number.size() > 1 &&
                                            std::isdigit(static_cast<unsigned char>(number[1]))));
    if (!digit_first) {
        return refused(not_a_size);
    }
    double value = 0;
    const char* first = number.c_str();
    auto [end, error] =
        std::from_chars(first, first + number.size(), value, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        // Only the exponent can leave the range of a double within the box's 127 characters.
        std::string_view parsed(first, static_cast<std::size_t>(end - first));
        value = parsed.find("e-") != parsed.npos ? 0 : std::numeric_limits<double>::infinity();
    } else if (error != std::errc{}) {
        return refused(not_a_size);
    }
    std::string unit = lower_trimmed(std::string_view(end));
    double unit_bytes = unit.empty() ? 1024.0 * 1024 * 1024 : 0;
    for (const unit_s& known : units) {
        if (unit == known.name) {
            unit_bytes = known.bytes;
        }
    }
    if (unit_bytes == 0) {
        return refused(not_a_size);
    }
    double bytes = value * unit_bytes;
    if (!(bytes < two_to_64)) {
        return refused("Too large to be a size of memory: type a smaller one, or Automatic.");
    }
    if (value == 0) {
        return {true, 0, ""};
    }
    // Any positive limit is a limit, however small: a run raises it to what works.
    return {true, std::max<std::uint64_t>(1, static_cast<std::uint64_t>(bytes)), ""};
}

void open_ram_entry() {
    limit_when_opened = max_ram_bytes;
    // The limit as it is; OK on this text keeps exactly it.
    std::snprintf(ram_text, ram_text_capacity, "%s",
                  max_ram_bytes == 0 ? "Automatic" : size_text(max_ram_bytes, true));
    std::snprintf(text_when_opened, sizeof text_when_opened, "%s", ram_text);

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

    ram_text_reading_s reading = read_ram_text(ram_text);
    draw_limit_note(window, memory, reading);
    draw_button(window, "OK", reading.valid, 270, 339, 100, 34, confirm_ram_entry, 12);
    draw_button(window, "Cancel", true, 380, 339, 100, 34, cancel_ram_entry, 12);
}

void confirm_ram_entry() {
    // Enter may come before the frame that reads the last keystroke: the text decides.
    ram_text_reading_s reading = read_ram_text(ram_text);
    if (!reading.valid) {
        return;
    }
    if (std::strcmp(ram_text, text_when_opened) == 0) {
        max_ram_bytes = limit_when_opened; // as shown, not as the shown text rounds it
    } else {
        // The limit shown on the configuration screen is then the one the run keeps to.
        max_ram_bytes = workable_limit(read_memory_status(), reading.bytes);
    }
    close_entry();
    plan_jobs();
    invalidate_window(current_window);
}

void cancel_ram_entry() {
    max_ram_bytes = limit_when_opened;
    close_entry();
}
