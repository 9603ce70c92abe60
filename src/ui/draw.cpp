#include "ui/draw.h"

#include <glib.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <string>
#include <vector>

#include "ui/click_regions.h"

namespace {

constexpr int max_text_characters = 1023;
constexpr float pixels_per_size = 1.333f;
constexpr int fade_width = 32;

// Strokes go through pixel centres, so that a 1-pixel line or outline at a whole coordinate
// lights one row or column fully instead of two by half.
constexpr double stroke_offset = 0.5;

cairo_t* graphics(int window) {
    return window_table[window].back_graphics;
}

void set_color(cairo_t* cr, std::uint32_t argb) {
    cairo_set_source_rgba(cr, ((argb >> 16) & 0xff) / 255.0, ((argb >> 8) & 0xff) / 255.0,
                          (argb & 0xff) / 255.0, ((argb >> 24) & 0xff) / 255.0);
}

void stroke_with_pen(int window) {
    const window_record_s& record = window_table[window];
    set_color(record.back_graphics, record.line_color);
    cairo_set_line_width(record.back_graphics, record.line_width);
    cairo_stroke(record.back_graphics);
}

// The installed font families, lower case; read once. Interface thread only, like drawing.
const std::vector<std::string>& installed_families() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> found;
        PangoFontFamily** families = nullptr;
        int count = 0;
        pango_font_map_list_families(pango_cairo_font_map_get_default(), &families, &count);
        for (int i = 0; i < count; ++i) {
            gchar* lower = g_ascii_strdown(pango_font_family_get_name(families[i]), -1);
            found.emplace_back(lower);
            g_free(lower);
        }
        g_free(families);
        return found;
    }();
    return names;
}

// Fontconfig would quietly substitute some similar face for a missing family; the screens are
// laid out for the generic sans-serif face instead, so a missing family is replaced by it here.
std::string family_or_sans_serif(std::string_view family) {
    gchar* lower = g_ascii_strdown(family.data(), static_cast<gssize>(family.size()));
    std::string name = lower;
    g_free(lower);
    if (name == "sans-serif" || name == "sans" || name == "serif" || name == "monospace") {
        return name;
    }
    const std::vector<std::string>& names = installed_families();
    if (std::find(names.begin(), names.end(), name) != names.end()) {
        return std::string(family);
    }
    return "sans-serif";
}

PangoLayout* make_layout(int window, std::string_view text) {
    const window_record_s& record = window_table[window];
    PangoLayout* layout = pango_cairo_create_layout(record.back_graphics);
    pango_layout_set_font_description(layout, record.font);
    std::string shown = display_text(text);
    pango_layout_set_text(layout, shown.data(), static_cast<int>(shown.size()));
    return layout;
}

void append_utf8(std::string& out, gunichar c) {
    char bytes[6];
    int length = g_unichar_to_utf8(c, bytes);
    out.append(bytes, static_cast<std::size_t>(length));
}

} // namespace

std::string display_text(std::string_view narrow) {
    std::string out;
    const char* end_of_valid = nullptr;
    if (g_utf8_validate(narrow.data(), static_cast<gssize>(narrow.size()), &end_of_valid)) {
        const char* p = narrow.data();
        const char* end = p + narrow.size();
        for (int count = 0; p < end && count < max_text_characters; ++count) {
            p = g_utf8_next_char(p);
        }
        out.assign(narrow.data(), p);
        return out;
    }
    // Not UTF-8: decode in the current locale as the narrow text was meant; a byte that does not
    // decode shows as the replacement character rather than cutting the text short.
    std::mbstate_t state{};
    std::size_t i = 0;
    for (int count = 0; i < narrow.size() && count < max_text_characters; ++count) {
        wchar_t wide = 0;
        std::size_t used = std::mbrtowc(&wide, narrow.data() + i, narrow.size() - i, &state);
        if (used == 0) {
            break; // a terminator ends a narrow text
        }
        if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2) ||
            !g_unichar_validate(static_cast<gunichar>(wide))) {
            state = std::mbstate_t{};
            append_utf8(out, 0xfffd);
            i += 1;
            continue;
        }
        append_utf8(out, static_cast<gunichar>(wide));
        i += used;
    }
    return out;
}

namespace {

int surface_scale(cairo_surface_t* surface) {
    double x_scale = 1, y_scale = 1;
    cairo_surface_get_device_scale(surface, &x_scale, &y_scale);
    return static_cast<int>(x_scale);
}

// Releases the back buffer and its context; the saved clips belonged to them.
void destroy_surface(window_record_s& record) {
    if (record.back_graphics) {
        cairo_destroy(record.back_graphics);
        record.back_graphics = nullptr;
    }
    if (record.back_buffer) {
        cairo_surface_destroy(record.back_buffer);
        record.back_buffer = nullptr;
    }
    record.clip_stack.clear();
}

} // namespace

bool ensure_back_buffer(int window, int width, int height, int scale) {
    window_record_s& record = window_table[window];
    scale = std::max(scale, 1);
    if (record.back_buffer && cairo_image_surface_get_width(record.back_buffer) == width * scale &&
        cairo_image_surface_get_height(record.back_buffer) == height * scale &&
        surface_scale(record.back_buffer) == scale) {
        return true;
    }
    destroy_surface(record);

    cairo_surface_t* surface =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width * scale, height * scale);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return false;
    }
    // Screens keep drawing in window pixels; the device scale maps them onto the device pixels,
    // and text is laid out and rasterised at that resolution.
    cairo_surface_set_device_scale(surface, scale, scale);
    cairo_t* cr = cairo_create(surface);
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
        return false;
    }
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
    // Grey-scale smoothing with light hinting: crisp text without the colour fringes of
    // sub-pixel rendering, which would differ from one screen to the next.
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);

    record.back_buffer = surface;
    record.back_graphics = cr;
    return true;
}

void release_back_buffer(int window) {
    window_record_s& record = window_table[window];
    destroy_surface(record);
    if (record.font) {
        pango_font_description_free(record.font);
        record.font = nullptr;
    }
    record.polygon_points.clear();
}

void prepare_back_buffer(int window) {
    window_record_s& record = window_table[window];
    if (!record.handle) {
        return;
    }
    if (record.font) {
        pango_font_description_free(record.font);
        record.font = nullptr;
    }
    record.fill_color = 0xff000000;
    record.line_color = 0xff000000;
    record.line_width = 1.0f;
    if (record.draw) {
        clear_click_regions(window);
        // A copy: a screen may install another screen while it draws.
        std::function<void()> draw = record.draw;
        draw();
    }
}

void clear_surface(int window, std::uint32_t color) {
    cairo_t* cr = graphics(window);
    if (!cr) {
        return;
    }
    cairo_save(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    set_color(cr, color);
    cairo_paint(cr);
    cairo_restore(cr);
}

void set_font(int window, std::string_view family, float size) {
    window_record_s& record = window_table[window];
    PangoFontDescription* font = pango_font_description_new();
    std::string name = family_or_sans_serif(family);
    pango_font_description_set_family(font, name.c_str());
    pango_font_description_set_style(font, PANGO_STYLE_NORMAL);
    pango_font_description_set_weight(font, PANGO_WEIGHT_NORMAL);
    pango_font_description_set_absolute_size(font, size * pixels_per_size * PANGO_SCALE);
    if (record.font) {
        pango_font_description_free(record.font);
    }
    record.font = font;
}

void draw_text(int window, std::string_view text, float x, float y) {
    window_record_s& record = window_table[window];
    if (!record.back_graphics) {
        return;
    }
    if (!record.font) {
        set_font(window, "Arial", 10);
    }
    PangoLayout* layout = make_layout(window, text);
    set_color(record.back_graphics, record.fill_color);
    cairo_move_to(record.back_graphics, x, y);
    pango_cairo_show_layout(record.back_graphics, layout);
    cairo_new_path(record.back_graphics);
    g_object_unref(layout);
}

float measure_text(int window, std::string_view text) {
    const window_record_s& record = window_table[window];
    if (!record.back_graphics || !record.font) {
        return 0;
    }
    // Laid out as draw_text lays it out, unwrapped: a text that is measured to place or scroll
    // it must measure as wide as it is drawn, however long it is.
    PangoLayout* layout = make_layout(window, text);
    PangoRectangle logical{};
    pango_layout_get_extents(layout, nullptr, &logical);
    g_object_unref(layout);
    return static_cast<float>(logical.width) / PANGO_SCALE;
}

std::string shorten_in_middle(int window, std::string_view text, float width) {
    std::string shown = display_text(text);
    if (measure_text(window, shown) <= width) {
        return shown;
    }
    // Whole characters only: the byte offset where each character starts, and the end.
    std::vector<std::size_t> starts;
    for (const char* p = shown.data(); p < shown.data() + shown.size(); p = g_utf8_next_char(p)) {
        starts.push_back(static_cast<std::size_t>(p - shown.data()));
    }
    const std::size_t count = starts.size();
    starts.push_back(shown.size());
    // `kept` characters of the text around an ellipsis (U+2026 in UTF-8); the odd one goes to
    // the start, which names the drive.
    auto joined = [&](std::size_t kept) {
        std::size_t head = (kept + 1) / 2;
        return shown.substr(0, starts[head]) + "\xe2\x80\xa6" +
               shown.substr(starts[count - (kept - head)]);
    };
    if (measure_text(window, joined(0)) > width) {
        return {};
    }
    // The widths grow with the characters kept: the most that fit, between 0 and count - 1.
    std::size_t fits = 0;
    std::size_t too_many = count;
    while (too_many - fits > 1) {
        std::size_t middle = fits + (too_many - fits) / 2;
        if (measure_text(window, joined(middle)) <= width) {
            fits = middle;
        } else {
            too_many = middle;
        }
    }
    return joined(fits);
}

void draw_line(int window, float x1, float y1, float x2, float y2) {
    cairo_t* cr = graphics(window);
    if (!cr) {
        return;
    }
    cairo_move_to(cr, x1 + stroke_offset, y1 + stroke_offset);
    cairo_line_to(cr, x2 + stroke_offset, y2 + stroke_offset);
    stroke_with_pen(window);
}

void draw_rect(int window, float x, float y, float w, float h) {
    const window_record_s& record = window_table[window];
    cairo_t* cr = record.back_graphics;
    if (!cr) {
        return;
    }
    if (record.fill_color != 0) {
        set_color(cr, record.fill_color);
        cairo_rectangle(cr, x, y, w, h);
        cairo_fill(cr);
    }
    if (record.line_color != 0) {
        cairo_rectangle(cr, std::trunc(x) + stroke_offset, std::trunc(y) + stroke_offset,
                        std::trunc(w), std::trunc(h));
        stroke_with_pen(window);
    }
}

void add_point(int window, float x, float y) {
    window_table[window].polygon_points.emplace_back(x, y);
}

void draw_polygon(int window) {
    window_record_s& record = window_table[window];
    cairo_t* cr = record.back_graphics;
    if (cr && !record.polygon_points.empty()) {
        auto trace = [&](double offset) {
            bool first = true;
            for (const auto& [x, y] : record.polygon_points) {
                if (first) {
                    cairo_move_to(cr, x + offset, y + offset);
                    first = false;
                } else {
                    cairo_line_to(cr, x + offset, y + offset);
                }
            }
            cairo_close_path(cr);
        };
        if (record.fill_color != 0) {
            trace(0);
            set_color(cr, record.fill_color);
            cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
            cairo_fill(cr);
        }
        if (record.line_color != 0) {
            trace(stroke_offset);
            stroke_with_pen(window);
        }
    }
    record.polygon_points.clear();
}

void fill_fade(int window, int x, int y, int h, std::uint32_t color1, std::uint32_t color2) {
    cairo_t* cr = graphics(window);
    if (!cr) {
        return;
    }
    cairo_pattern_t* gradient = cairo_pattern_create_linear(x, y, x + fade_width, y);
    auto add_stop = [gradient](double offset, std::uint32_t argb) {
        cairo_pattern_add_color_stop_rgba(gradient, offset, ((argb >> 16) & 0xff) / 255.0,
                                          ((argb >> 8) & 0xff) / 255.0, (argb & 0xff) / 255.0,
                                          ((argb >> 24) & 0xff) / 255.0);
    };
    add_stop(0, color1);
    add_stop(1, color2);
    cairo_pattern_set_extend(gradient, CAIRO_EXTEND_REPEAT);
    cairo_set_source(cr, gradient);
    cairo_rectangle(cr, x, y, fade_width, h);
    cairo_fill(cr);
    cairo_pattern_destroy(gradient);
}

void push_clip_rect(int window, int x, int y, int w, int h) {
    window_record_s& record = window_table[window];
    cairo_t* cr = record.back_graphics;
    if (!cr) {
        return;
    }
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    cairo_clip_extents(cr, &x1, &y1, &x2, &y2);
    record.clip_stack.push_back(cairo_rectangle_t{x1, y1, x2 - x1, y2 - y1});
    if (record.clip_stack.size() == 1) {
        cairo_reset_clip(cr);
    }
    cairo_rectangle(cr, x, y, w, h);
    cairo_clip(cr);
}

void pop_clip(int window) {
    window_record_s& record = window_table[window];
    cairo_t* cr = record.back_graphics;
    if (!cr || record.clip_stack.empty()) {
        return;
    }
    cairo_rectangle_t saved = record.clip_stack.back();
    record.clip_stack.pop_back();
    cairo_reset_clip(cr);
    if (!record.clip_stack.empty()) {
        cairo_rectangle(cr, saved.x, saved.y, saved.width, saved.height);
        cairo_clip(cr);
    }
}

void draw_focus_ring(int window, int x, int y, int w, int h) {
    window_record_s& record = window_table[window];
    std::uint32_t fill = record.fill_color;
    record.fill_color = 0;
    record.line_color = 0xff0078d7;
    draw_rect(window, static_cast<float>(x - 2), static_cast<float>(y - 2),
              static_cast<float>(w + 4), static_cast<float>(h + 4));
    record.fill_color = fill;
}

void draw_button(int window, std::string_view label, bool enabled, int x, int y, int w, int h,
                 std::function<void()> action, float font_size) {
    window_record_s& record = window_table[window];
    region_look_s look;
    if (enabled) {
        look = add_focusable_region(window, x, y, w, h, std::move(action));
    }
    bool hovered = look.hovered;
    if (look.focused) {
        draw_focus_ring(window, x, y, w, h);
    }
    record.fill_color = enabled ? (hovered ? 0xffe5f1fb : 0xffe1e1e1) : 0xffcccccc;
    record.line_color = hovered ? 0xff0078d7 : 0xffadadad;
    draw_rect(window, static_cast<float>(x), static_cast<float>(y), static_cast<float>(w),
              static_cast<float>(h));

    record.fill_color = enabled ? 0xff000000 : 0xff7e859c;
    set_font(window, "Microsoft Sans Serif", font_size);
    int label_width = static_cast<int>(measure_text(window, label));
    float label_x = static_cast<float>(x + (w - label_width) / 2);
    float label_y = static_cast<float>(y) + (static_cast<float>(h) - font_size - 8) * 0.5f;
    draw_text(window, label, label_x, label_y);
}
