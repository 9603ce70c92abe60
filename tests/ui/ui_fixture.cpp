#include "ui_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "ui/click_regions.h"
#include "ui/draw.h"
#include "ui/host_hooks.h"

std::uint32_t pixel_at(cairo_surface_t* surface, int x, int y) {
    cairo_surface_flush(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    int stride = cairo_image_surface_get_stride(surface);
    return *reinterpret_cast<const std::uint32_t*>(data + y * stride + x * 4);
}

int count_color(cairo_surface_t* surface, int x, int y, int w, int h, std::uint32_t color) {
    int count = 0;
    for (int yy = y; yy < y + h; ++yy) {
        for (int xx = x; xx < x + w; ++xx) {
            count += pixel_at(surface, xx, yy) == color ? 1 : 0;
        }
    }
    return count;
}

bool all_color(cairo_surface_t* surface, int x, int y, int w, int h, std::uint32_t color) {
    return count_color(surface, x, y, w, h, color) == w * h;
}

void save_screen(cairo_surface_t* surface, const std::string& name) {
    std::filesystem::create_directories(UI_TEST_OUTPUT_FOLDER);
    std::string path = std::string(UI_TEST_OUTPUT_FOLDER) + "/" + name + ".png";
    EXPECT_EQ(cairo_surface_write_to_png(surface, path.c_str()), CAIRO_STATUS_SUCCESS) << path;
}

void ui_window_fixture::SetUp() {
    release_back_buffer(window);
    window_table[window] = window_record_s{};
    record().handle = this;
    current_window = window;
    ASSERT_TRUE(ensure_back_buffer(window, 640, 480));
    repaints = 0;
    set_invalidate_handler([this](int w) {
        if (w == window) {
            ++repaints;
        }
    });
    host_hooks() = host_hooks_s{};
}

void ui_window_fixture::TearDown() {
    set_invalidate_handler({});
    host_hooks() = host_hooks_s{};
    release_back_buffer(window);
    window_table[window] = window_record_s{};
}

void ui_window_fixture::paint(std::function<void()> screen) {
    record().draw = std::move(screen);
    repaint();
}

void ui_window_fixture::repaint() {
    prepare_back_buffer(window);
}

void ui_window_fixture::press(int x, int y) {
    record().pointer_x = x;
    record().pointer_y = y;
    dispatch_click_regions(window, pointer_press, x, y);
}

void ui_window_fixture::move(int x, int y) {
    record().pointer_x = x;
    record().pointer_y = y;
    dispatch_click_regions(window, pointer_move, x, y);
}

void ui_window_fixture::release(int x, int y) {
    record().pointer_x = x;
    record().pointer_y = y;
    dispatch_click_regions(window, pointer_release, x, y);
}

void ui_window_fixture::click(int x, int y) {
    press(x, y);
    release(x, y);
}

namespace {

// The reference texts go through a second record so that the screen's state stays untouched.
constexpr int reference = 1;

} // namespace

bool ui_window_fixture::with_reference(const std::string& text, float size, std::uint32_t color,
                                       float x, float y,
                                       const std::function<bool(cairo_surface_t*)>& check) {
    release_back_buffer(reference);
    window_table[reference] = window_record_s{};
    window_table[reference].handle = this;
    bool result = false;
    if (ensure_back_buffer(reference, 640, 480)) {
        clear_surface(reference, 0xffffffff);
        set_font(reference, "Microsoft Sans Serif", size);
        window_table[reference].fill_color = color;
        draw_text(reference, text, x, y);
        result = check(window_table[reference].back_buffer);
    }
    release_back_buffer(reference);
    window_table[reference] = window_record_s{};
    return result;
}

bool ui_window_fixture::shows_text(const std::string& text, float size, std::uint32_t color,
                                   float x, float y, int margin) {
    return with_reference(text, size, color, x, y, [&](cairo_surface_t* expected) {
        // Compare the ink's bounding box of the reference, widened by the margin.
        int left = 640, top = 480, right = 0, bottom = 0;
        for (int yy = 0; yy < 480; ++yy) {
            for (int xx = 0; xx < 640; ++xx) {
                if (pixel_at(expected, xx, yy) != 0xffffffff) {
                    left = std::min(left, xx);
                    top = std::min(top, yy);
                    right = std::max(right, xx + 1);
                    bottom = std::max(bottom, yy + 1);
                }
            }
        }
        if (right <= left) {
            return false;
        }
        left = std::max(0, left - margin);
        top = std::max(0, top - margin);
        right = std::min(640, right + margin);
        bottom = std::min(480, bottom + margin);
        for (int yy = top; yy < bottom; ++yy) {
            for (int xx = left; xx < right; ++xx) {
                if (pixel_at(surface(), xx, yy) != pixel_at(expected, xx, yy)) {
                    return false;
                }
            }
        }
        return true;
    });
}

bool ui_window_fixture::shows_text_ink(const std::string& text, float size, std::uint32_t color,
                                       float x, float y) {
    return with_reference(text, size, color, x, y, [&](cairo_surface_t* expected) {
        // How much of a pixel the text covers, from the reference on white, read in the channel
        // where the colour differs most from white.
        int channel = 0;
        int span = 0;
        for (int shift : {0, 8, 16}) {
            int distance = 255 - static_cast<int>((color >> shift) & 0xff);
            if (distance > span) {
                span = distance;
                channel = shift;
            }
        }
        if (span == 0) {
            return false;
        }
        int inked = 0;
        for (int yy = 0; yy < 480; ++yy) {
            for (int xx = 0; xx < 640; ++xx) {
                int value = static_cast<int>((pixel_at(expected, xx, yy) >> channel) & 0xff);
                double coverage = (255.0 - value) / span;
                if (coverage < 0.6) {
                    continue;
                }
                // Whatever lies under the text, a pixel it covers this much stays within the
                // uncovered share of the text's colour in every channel.
                ++inked;
                std::uint32_t seen = pixel_at(surface(), xx, yy);
                for (int shift : {0, 8, 16}) {
                    int difference = static_cast<int>((seen >> shift) & 0xff) -
                                     static_cast<int>((color >> shift) & 0xff);
                    if (std::abs(difference) > (1 - coverage) * 255 + 2) {
                        return false;
                    }
                }
            }
        }
        return inked >= 5;
    });
}

int count_near(cairo_surface_t* surface, int x, int y, int w, int h, std::uint32_t color,
               int tolerance) {
    int count = 0;
    for (int yy = y; yy < y + h; ++yy) {
        for (int xx = x; xx < x + w; ++xx) {
            std::uint32_t seen = pixel_at(surface, xx, yy);
            bool near = true;
            for (int shift : {0, 8, 16}) {
                int difference = static_cast<int>((seen >> shift) & 0xff) -
                                 static_cast<int>((color >> shift) & 0xff);
                near = near && std::abs(difference) <= tolerance;
            }
            count += near ? 1 : 0;
        }
    }
    return count;
}

float ui_window_fixture::text_width(const std::string& text, float size) {
    float width = 0;
    with_reference(text, size, 0xff000000, 0, 0, [&](cairo_surface_t*) {
        set_font(reference, "Microsoft Sans Serif", size);
        width = measure_text(reference, text);
        return true;
    });
    return width;
}
