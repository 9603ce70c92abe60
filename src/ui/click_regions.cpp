#include "ui/click_regions.h"

#include <algorithm>
#include <utility>

namespace {

bool contains(const click_region_s& region, int x, int y) {
    return region.x <= x && x < region.x + region.width && region.y <= y &&
           y < region.y + region.height;
}

} // namespace

bool add_click_region(int window, int x, int y, int width, int height,
                      std::function<void()> action) {
    window_record_s& record = window_table[window];
    for (click_region_s& region : record.click_regions) {
        if (region.action) {
            continue;
        }
        region.x = x;
        region.y = y;
        region.width = width;
        region.height = height;
        region.action = std::move(action);
        return contains(region, record.pointer_x, record.pointer_y);
    }
    return false;
}

add_region_fn plain_add_region(int window) {
    return [window](int x, int y, int width, int height, std::function<void()> action) {
        return add_click_region(window, x, y, width, height, std::move(action));
    };
}

add_region_fn clipping_add_region(int window, int left, int right) {
    return
        [window, left, right](int x, int y, int width, int height, std::function<void()> action) {
            int new_x = std::max(x, left);
            int new_width = std::min(right - new_x, x + width - new_x);
            if (new_width < 1) {
                return false;
            }
            return add_click_region(window, new_x, y, new_width, height, std::move(action));
        };
}

void clear_click_regions(int window) {
    for (click_region_s& region : window_table[window].click_regions) {
        region = click_region_s{};
    }
}

void dispatch_click_regions(int window, int kind, int x, int y) {
    window_record_s& record = window_table[window];
    // Every entry is visited, also after an action has run: an action that opens a modal dialog
    // lets the window repaint, which rebuilds the entries under this walk, and the walk simply
    // goes on over the new ones.
    for (int i = 0; i < max_click_regions; ++i) {
        click_region_s& region = record.click_regions[i];
        if (!contains(region, x, y)) {
            if (record.hover_region == i) {
                record.hover_region = -1;
                invalidate_window(window);
            }
            continue;
        }
        if (kind == pointer_press) {
            record.pressed_region = i;
        } else if (kind == pointer_move) {
            if (record.hover_region != i) {
                record.hover_region = i;
                invalidate_window(window);
            }
        } else if (kind == pointer_release) {
            if (record.pressed_region == i && region.action) {
                // A copy: the action may repaint and so replace the entry it came from.
                std::function<void()> action = region.action;
                action();
            }
            record.pressed_region = -1;
        }
    }
}
