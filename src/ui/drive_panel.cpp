#include "ui/drive_panel.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "catalogue/conversion_plan.h"
#include "catalogue/drives.h"
#include "catalogue/planning.h"
#include "ui/click_regions.h"
#include "ui/draw.h"
#include "ui/folder_selection.h"
#include "util/log.h"
#include "util/size_text.h"

drive_panel_state_s drive_panel_state[2];

namespace {

constexpr const char* font_family = "Microsoft Sans Serif";
constexpr const char* add_text = "Click to select...";

constexpr int strip_height = 64;                        // H
constexpr int strip_left = strip_height / 2 + 8;        // L
constexpr int strip_right = 632 - strip_height / 2;     // R
constexpr int visible_width = strip_right - strip_left; // 560
constexpr int arrow_width = strip_height / 2;           // 32
constexpr int right_arrow_x = 640 - strip_height / 2;   // 608
constexpr int name_line = (strip_height - 16 - 16) / 2; // 16 below the strip's top
constexpr int card_region_height = 38;
constexpr int detail_line = 38;
constexpr float detail_size = 9;
constexpr int underline = 34; // under the add card's text, which stands on the names' line
constexpr int remove_size = 16;
constexpr float scroll_step = 100;
constexpr float path_right = 616; // the whole path of the card in use ends here
constexpr float label_to_path = 16;

constexpr std::uint32_t black = 0xff000000;
constexpr std::uint32_t grey = 0xff707070;
constexpr std::uint32_t light_grey = 0xffb4b4b4;
constexpr std::uint32_t blue = 0xff117dbb;
constexpr std::uint32_t green = 0xff4da60c;
constexpr std::uint32_t purple = 0xff8b12ae;
constexpr std::uint32_t opaque_white = 0xffffffff;
constexpr std::uint32_t clear_white = 0x00ffffff;

// What one frame measured of a card.
struct card_s {
    std::string detail;
    float width = 0;
    float detail_width = 0;
};

// What the cards of one frame tell the panel: the card in use, whose whole path the panel
// shows, and where the keyboard's focus is, which the panel keeps in sight.
struct cards_drawn_s {
    int in_use = -1;
    float focus_left = 0;
    float focus_right = 0;
    bool focused = false;
};

// Planning scans the source folders only once a destination is chosen too; until then a card
// has no size to show, and a "0.0 KB" would say the folder holds no plots.
bool plots_measured() {
    return the_plan().outcome != plan_outcome::no_folders;
}

// Removing a folder is asked first, naming it whole: a stray click (the second of a double
// click on the add card lands on the card the chooser has just added) removes nothing.
void remove_card(int list, std::size_t entry) {
    const std::vector<drive_info_s>& drives = drive_list(list);
    if (entry >= drives.size()) {
        return;
    }
    std::string path = drives[entry].path;
    bool source = list == source_list;
    if (!ask_yes_no(
            current_window, "Remove folder?", "Remove this folder from the %s folders?\n\n%s\n\n%s",
            source ? "source" : "destination", path.c_str(),
            source ? "Its plots will not be converted." : "No PoC2 plots will be written there.")) {
        return;
    }
    // The list may have changed while the question was open.
    if (entry < drives.size() && drives[entry].path == path) {
        remove_drive(list, entry);
        plan_jobs();
    }
    invalidate_window(current_window);
}

void scroll_to(int list, float offset, float lowest_offset) {
    drive_panel_state[list].offset = std::max(std::min(offset, 0.0f), lowest_offset);
    invalidate_window(current_window);
}

void draw_arrow(int x, int y, bool pointing_left, std::function<void()> action) {
    int window = current_window;
    window_record_s& record = window_table[window];
    bool hovered = add_click_region(window, x, y, arrow_width, strip_height, std::move(action));
    record.fill_color = hovered ? blue : 0;
    record.line_color = hovered ? 0 : grey;
    record.line_width = 1;
    int cx = x + arrow_width / 2;
    int cy = y + strip_height / 2;
    float d = arrow_width / 6.0f;
    if (!pointing_left) {
        d = -d;
    }
    add_point(window, cx - d, static_cast<float>(cy));
    add_point(window, cx + d, cy - d);
    add_point(window, cx + d, cy + d);
    add_point(window, cx - d, static_cast<float>(cy));
    draw_polygon(window);
}

// The small cross in a card's top right corner that removes its folder.
void draw_remove_mark(int x, int top, bool lit) {
    window_record_s& record = window_table[current_window];
    record.line_color = lit ? blue : grey;
    record.line_width = 1.5f;
    float left = static_cast<float>(x + 4);
    float upper = static_cast<float>(top + 4);
    draw_line(current_window, left, upper, left + 8, upper + 8);
    draw_line(current_window, left, upper + 8, left + 8, upper);
    record.line_width = 1;
}

cards_drawn_s draw_cards(int list, const std::vector<card_s>& cards, float add_width, int start_x,
                         int top, int left, int right) {
    int window = current_window;
    window_record_s& record = window_table[window];
    const std::vector<drive_info_s>& drives = drive_list(list);
    cards_drawn_s drawn;
    auto note_focus = [&](const region_look_s& look, float from, float to) {
        if (record.focus_order == look.order && record.focus_visible) {
            drawn.focused = true;
            drawn.focus_left = from;
            drawn.focus_right = to;
        }
    };
    int x = start_x;
    for (std::size_t i = 0; i < cards.size(); ++i) {
        const card_s& card = cards[i];
        int width = static_cast<int>(card.width);
        // The card itself only lights up; its cross removes it, by click, Return or Delete. The
        // card's regions leave the cross's corner free: overlapping regions take no clicks.
        int mark_x = x + width - remove_size - 2;
        bool hovered =
            add_hover_region(window, x, top, mark_x - x, card_region_height, left, right);
        hovered = add_hover_region(window, mark_x, top + remove_size, width - (mark_x - x),
                                   card_region_height - remove_size, left, right) ||
                  hovered;
        auto remove = [list, i] { remove_card(list, i); };
        region_look_s mark = add_focusable_region(window, mark_x, top, width - (mark_x - x),
                                                  remove_size, remove, remove, left, right);
        note_focus(mark, static_cast<float>(mark_x), static_cast<float>(x + width));
        if (hovered || mark.focused) {
            drawn.in_use = static_cast<int>(i);
        }
        set_font(window, font_family, 12);
        record.fill_color = hovered || mark.focused ? purple : green;
        draw_text(window, drives[i].path, static_cast<float>(x),
                  static_cast<float>(top + name_line));
        if (hovered || mark.focused || mark.hovered) {
            draw_remove_mark(mark_x, top, mark.hovered || mark.focused);
        }
        if (mark.focused) {
            draw_focus_ring(window, mark_x + 2, top + 2, remove_size - 4, remove_size - 4);
        }

        bool detail_hovered = false;
        if (list == destination_list) {
            detail_hovered =
                add_hover_region(window, x, top + detail_line,
                                 static_cast<int>(card.detail_width + 2), 16, left, right);
        }
        set_font(window, font_family, detail_size);
        record.fill_color = detail_hovered ? blue : grey;
        draw_text(window, card.detail, static_cast<float>(x + 2),
                  static_cast<float>(top + detail_line));
        x = static_cast<int>(x + card.width);
    }
    // The add card, after the last folder card. A folder chosen through it takes its place in
    // the Tab order, so the focus moves on with the add card and stays on it.
    float width = std::max(add_width, 32.0f);
    int order = record.focusable_count;
    region_look_s look = add_focusable_region(
        window, x, top + 4, static_cast<int>(width), strip_height,
        [list, order] {
            std::size_t before = drive_list(list).size();
            browse_for_folder(list);
            window_record_s& screen = window_table[current_window];
            if (screen.focus_order == order) {
                screen.focus_order += static_cast<int>(drive_list(list).size() - before);
            }
        },
        {}, left, right);
    note_focus(look, static_cast<float>(x), x + width);
    set_font(window, font_family, 12);
    record.fill_color = blue;
    float text_x = x + (width - add_width) / 2;
    draw_text(window, add_text, text_x, static_cast<float>(top + name_line));
    if (look.hovered || look.focused) {
        record.line_color = blue;
        draw_line(window, static_cast<float>(x), static_cast<float>(top + underline), x + width,
                  static_cast<float>(top + underline));
    }
    if (look.focused) {
        draw_focus_ring(window, static_cast<int>(text_x), top + name_line,
                        static_cast<int>(add_width), underline - name_line + 1);
    }
    return drawn;
}

// The whole path of the card in use, right of the panel's label: on one line where it fits,
// else on two smaller lines, broken after a '/' where one falls on the first line.
void draw_whole_path(int window, const std::string& path, float label_right, int y) {
    window_record_s& record = window_table[window];
    record.fill_color = grey;
    float left = label_right + label_to_path;
    float room = path_right - left;
    set_font(window, font_family, 10);
    float width = measure_text(window, path);
    if (width <= room) {
        draw_text(window, path, path_right - width, static_cast<float>(y + 2));
        return;
    }
    set_font(window, font_family, 8);
    std::size_t cut = path.size();
    while (cut > 1 && measure_text(window, std::string_view(path).substr(0, cut)) > room) {
        --cut;
    }
    std::size_t slash = path.rfind('/', cut - 1);
    if (slash != std::string::npos && slash > 0) {
        cut = slash + 1;
    }
    draw_text(window, path.substr(0, cut), left, static_cast<float>(y - 4));
    draw_text(window, shorten_in_middle(window, path.substr(cut), room), left,
              static_cast<float>(y + 8));
}

} // namespace

void drive_panel(std::string_view label, int list, int y) {
    int window = current_window;
    window_record_s& record = window_table[window];
    drive_panel_state_s& state = drive_panel_state[list];
    const int top = y + 14;

    set_font(window, font_family, 14);
    record.fill_color = black;
    draw_text(window, label, 24, static_cast<float>(y));
    float label_right = 24 + measure_text(window, label);

    std::vector<card_s> cards;
    state.content_width = 0;
    const std::vector<drive_info_s>& drives = drive_list(list);
    for (std::size_t i = 0; i < drives.size(); ++i) {
        const drive_info_s& drive = drives[i];
        card_s card;
        char detail[64] = "";
        if (list == destination_list) {
            std::snprintf(detail, sizeof detail, "%s free", size_text(drive.free_bytes, false));
        } else if (plots_measured()) {
            std::snprintf(detail, sizeof detail, "%s plots", size_text(drive.plot_bytes, false));
        }
        card.detail = detail;
        set_font(window, font_family, 12);
        float name_width = measure_text(window, drive.path);
        set_font(window, font_family, detail_size);
        card.detail_width = measure_text(window, card.detail);
        card.width = std::max(name_width, card.detail_width) + 20;
        state.content_width += card.width;
        cards.push_back(std::move(card));
    }
    // The add card always follows the folder cards: any number of folders may be chosen.
    set_font(window, font_family, 12);
    float add_width = measure_text(window, add_text);
    state.content_width += std::max(add_width, 32.0f);
    if (state.scroll_to_end) {
        state.scroll_to_end = false;
        state.offset = -state.content_width;
    }

    const float lowest_offset = visible_width - state.content_width;
    state.offset = std::min(0.0f, std::max(state.offset, lowest_offset));
    bool overflow = state.content_width > visible_width;
    // The wheel anywhere over the strip, arrows included, scrolls it.
    add_wheel_region(window, 0, top, 640, strip_height, [list, lowest_offset](double steps) {
        scroll_to(list, drive_panel_state[list].offset - static_cast<float>(steps) * scroll_step,
                  lowest_offset);
    });
    cards_drawn_s drawn;
    if (!overflow) {
        drawn = draw_cards(list, cards, add_width, strip_left, top, -1, -1);
    } else {
        push_clip_rect(window, strip_left, top, visible_width, strip_height);
        drawn = draw_cards(list, cards, add_width, static_cast<int>(strip_left + state.offset), top,
                           strip_left, strip_right);
        pop_clip(window);
        if (state.offset < 0) {
            fill_fade(window, strip_left - 1, top + 4, strip_height, opaque_white, clear_white);
            draw_arrow(0, top, true, [list, lowest_offset] {
                scroll_to(list, drive_panel_state[list].offset + scroll_step, lowest_offset);
            });
        }
        if (state.offset > lowest_offset) {
            fill_fade(window, strip_right - 31, top + 4, strip_height, clear_white, opaque_white);
            draw_arrow(right_arrow_x, top, false, [list, lowest_offset] {
                scroll_to(list, drive_panel_state[list].offset - scroll_step, lowest_offset);
            });
        }
        // The keyboard's focus is kept in sight: the next frame shows the focused card.
        if (drawn.focused && (drawn.focus_left < strip_left || drawn.focus_right > strip_right)) {
            float shift = drawn.focus_left < strip_left ? strip_left - drawn.focus_left
                                                        : strip_right - drawn.focus_right;
            scroll_to(list, state.offset + shift, lowest_offset);
        }
    }
    if (drawn.in_use >= 0) {
        draw_whole_path(window, drives[static_cast<std::size_t>(drawn.in_use)].path, label_right,
                        y);
    }
}

void disabled_drive_panel(std::string_view label, int y, std::string_view note) {
    int window = current_window;
    window_record_s& record = window_table[window];
    set_font(window, font_family, 14);
    record.fill_color = light_grey;
    draw_text(window, label, 24, static_cast<float>(y));
    set_font(window, font_family, 12);
    draw_text(window, note, static_cast<float>(strip_left), static_cast<float>(y + 14 + name_line));
}
