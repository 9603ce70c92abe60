#include "support/scripted_boxes.h"

#include <mutex>

namespace {

std::mutex boxes_lock; // the work thread and the test thread both raise boxes

} // namespace

void install_scripted_boxes(scripted_boxes_s& boxes) {
    set_message_box_handler(
        [&boxes](int window, const char* title, const char* text, message_box_kind kind) {
            std::lock_guard lock(boxes_lock);
            boxes.shown.push_back({window, title, text, kind});
            if (kind != message_box_kind::yes_no || boxes.answers.empty()) {
                return false;
            }
            bool answer = boxes.answers.front();
            boxes.answers.pop_front();
            return answer;
        });
}

void remove_scripted_boxes() {
    set_message_box_handler(nullptr);
}

std::vector<std::string> shown_titles(scripted_boxes_s& boxes) {
    std::lock_guard lock(boxes_lock);
    std::vector<std::string> titles;
    for (const auto& box : boxes.shown) {
        titles.push_back(box.title);
    }
    return titles;
}
