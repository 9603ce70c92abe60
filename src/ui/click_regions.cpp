#include "ui/click_regions.h"

#include <algorithm>
#include <utility>
#include <vector>

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

region_look_s add_focusable_region(int window, int x, int y, int width, int height,
                                   std::function<void()> action, std::function<void()> on_delete,
                                   int left, int right) {
    window_record_s& record = window_table[window];
    if (left >= 0 && right > left) {
        int new_x = std::max(x, left);
        width = std::min(right - new_x, x + width - new_x);
        x = new_x;
        if (width < 1) {
            width = 0; // out of sight: in the Tab order, out of the pointer's reach
        }
    }
    for (click_region_s& region : record.click_regions) {
        if (region.action) {
            continue;
        }
        region_look_s look;
        look.order = record.focusable_count++;
        region.x = x;
        region.y = y;
        region.width = width;
        region.height = height;
        region.action = std::move(action);
        region.on_delete = std::move(on_delete);
        region.focus_order = look.order;
        look.hovered = contains(region, record.pointer_x, record.pointer_y);
        look.focused = record.focus_visible && record.focus_order == look.order;
        return look;
    }
    return {};
}

bool add_hover_region(int window, int x, int y, int width, int height, int left, int right) {
    if (left >= 0 && right > left) {
        return clipping_add_region(window, left, right)(x, y, width, height, [] {});
    }
    return add_click_region(window, x, y, width, height, [] {});
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

void add_wheel_region(int window, int x, int y, int width, int height,
                      std::function<void(double steps)> scroll) {
    window_table[window].wheel_regions.push_back({x, y, width, height, std::move(scroll)});
}

void clear_click_regions(int window) {
    window_record_s& record = window_table[window];
    for (click_region_s& region : record.click_regions) {
        region = click_region_s{};
    }
    record.focusable_count = 0;
    record.wheel_regions.clear();
}

bool dispatch_wheel(int window, int x, int y, double steps) {
    const std::vector<wheel_region_s>& regions = window_table[window].wheel_regions;
    for (auto region = regions.rbegin(); region != regions.rend(); ++region) {
        if (region->x <= x && x < region->x + region->width && region->y <= y &&
            y < region->y + region->height && region->scroll) {
            // A copy: the scroll repaints, which rebuilds the list.
            std::function<void(double)> scroll = region->scroll;
            scroll(steps);
            return true;
        }
    }
    return false;
}

bool dispatch_key(int window, screen_key key) {
    window_record_s& record = window_table[window];
    int count = record.focusable_count;
    if (count == 0) {
        return false;
    }
    if (key == screen_key::next || key == screen_key::previous) {
        int order = record.focus_order;
        if (!record.focus_visible || order < 0 || order >= count) {
            // The first key shows where the focus is; without one it starts at an end.
            order = order >= 0 && order < count ? order : key == screen_key::next ? 0 : count - 1;
        } else {
            order = (order + (key == screen_key::next ? 1 : count - 1)) % count;
        }
        record.focus_order = order;
        record.focus_visible = true;
        invalidate_window(window);
        return true;
    }
    for (const click_region_s& region : record.click_regions) {
        if (region.focus_order < 0 || region.focus_order != record.focus_order) {
            continue;
        }
        record.focus_visible = true;
        invalidate_window(window);
        // A copy: the action may repaint and so replace the entry it came from.
        std::function<void()> act = key == screen_key::activate ? region.action : region.on_delete;
        if (!act) {
            return false;
        }
        act();
        return true;
    }
    return false;
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
                // The keyboard goes on from what the pointer chose.
                if (region.focus_order >= 0) {
                    record.focus_order = region.focus_order;
                }
                // A copy: the action may repaint and so replace the entry it came from.
                std::function<void()> action = region.action;
                action();
            }
            record.pressed_region = -1;
        }
    }
}
