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
constexpr float scroll_step = 100;

constexpr std::uint32_t black = 0xff000000;
constexpr std::uint32_t grey = 0xff707070;
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

// Planning scans the source folders only once a destination is chosen too; until then a card
// has no size to show, and a "0.0 KB" would say the folder holds no plots.
bool plots_measured() {
    return the_plan().outcome != plan_outcome::no_folders;
}

void remove_card(int list, std::uint8_t entry) {
    remove_drive(list, entry);
    plan_jobs();
    invalidate_window(current_window);
}

void scroll(int list, bool towards_start, float lowest_offset) {
    float offset = drive_panel_state[list].offset + (towards_start ? scroll_step : -scroll_step);
    if (offset >= 0) {
        offset = 0;
    }
    if (offset < lowest_offset) {
        offset = lowest_offset;
    }
    drive_panel_state[list].offset = offset;
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

void draw_cards(int list, const std::vector<card_s>& cards, float add_width, int start_x, int top,
                const add_region_fn& add_region) {
    int window = current_window;
    window_record_s& record = window_table[window];
    const std::vector<drive_info_s>& drives = drive_list(list);
    int x = start_x;
    for (std::size_t i = 0; i < cards.size(); ++i) {
        const card_s& card = cards[i];
        // The action keeps the entry in 8 bits, as the panel has always addressed its cards.
        auto entry = static_cast<std::uint8_t>(i);
        bool hovered = add_region(x, top, static_cast<int>(card.width), card_region_height,
                                  [list, entry] { remove_card(list, entry); });
        set_font(window, font_family, 12);
        record.fill_color = hovered ? purple : green;
        draw_text(window, drives[i].path, static_cast<float>(x),
                  static_cast<float>(top + name_line));

        bool detail_hovered = false;
        if (list == destination_list) {
            // Hover only: the action does nothing, but it keeps the entry, so that entering and
            // leaving the line repaints it.
            detail_hovered = add_region(x, top + detail_line,
                                        static_cast<int>(card.detail_width + 2), 16, [] {});
        }
        set_font(window, font_family, 7);
        record.fill_color = detail_hovered ? blue : grey;
        draw_text(window, card.detail, static_cast<float>(x + 2),
                  static_cast<float>(top + detail_line));
        x = static_cast<int>(x + card.width);
    }
    // The add card, after the last folder card.
    float width = std::max(add_width, 32.0f);
    bool hovered = add_region(x, top + 4, static_cast<int>(width), strip_height,
                              [list] { browse_for_folder(list); });
    set_font(window, font_family, 12);
    record.fill_color = blue;
    draw_text(window, add_text, x + (width - add_width) / 2, static_cast<float>(top + 20));
    if (hovered) {
        record.line_color = blue;
        draw_line(window, static_cast<float>(x), static_cast<float>(top + detail_line), x + width,
                  static_cast<float>(top + detail_line));
    }
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
        set_font(window, font_family, 7);
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

    panel_content_fn content = [&](int x, int content_top, const add_region_fn& add_region) {
        draw_cards(list, cards, add_width, x, content_top, add_region);
    };
    const float lowest_offset = visible_width - state.content_width;
    state.offset = std::min(0.0f, std::max(state.offset, lowest_offset));
    if (state.content_width <= visible_width) {
        content(strip_left, top, plain_add_region(window));
        return;
    }

    push_clip_rect(window, strip_left, top, visible_width, strip_height);
    content(static_cast<int>(strip_left + state.offset), top,
            clipping_add_region(window, strip_left, strip_right));
    pop_clip(window);
    if (state.offset < 0) {
        fill_fade(window, strip_left - 1, top + 4, strip_height, opaque_white, clear_white);
        draw_arrow(0, top, true, [list, lowest_offset] { scroll(list, true, lowest_offset); });
    }
    if (state.offset > lowest_offset) {
        fill_fade(window, strip_right - 31, top + 4, strip_height, clear_white, opaque_white);
        draw_arrow(right_arrow_x, top, false,
                   [list, lowest_offset] { scroll(list, false, lowest_offset); });
    }
}
