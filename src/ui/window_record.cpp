#include "ui/window_record.h"

// Interface thread only, like every use of a record.
window_record_s window_table[window_table_size];
int current_window = 0;

namespace {

// Installed by the host at start-up, before other threads exist; read on the interface thread.
std::function<void(int)> invalidate_handler;

} // namespace

void invalidate_window(int window) {
    if (invalidate_handler) {
        invalidate_handler(window);
    }
}

void set_invalidate_handler(std::function<void(int)> invalidate) {
    invalidate_handler = std::move(invalidate);
}
