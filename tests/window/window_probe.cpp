// A program that runs the real GTK host with a test screen, for the window
// tests to drive under Xvfb. It reports what happens on standard output, one
// line per event, so that the test can wait for each step.
//
// The screen is white with three regions:
//   (40, 40, 160, 100)   "click": prints "clicked"; drawn 0xff3366cc, 0xffcc3366 while hovered
//   (240, 40, 160, 100)  "ask": a worker thread asks a Yes/No box "Question"; the answer comes
//                        back through the interface-task queue as "answer yes|no frames N", N
//                        being the frames painted while the box was open
//   (440, 40, 160, 100)  "quit": request_quit(7)
// A repaint timer of 100 ms keeps frames coming, so that a blocked interface thread shows.
#include <atomic>
#include <cstdio>
#include <thread>

#include "sys/start_up.h"
#include "sys/ui_tasks.h"
#include "ui/click_regions.h"
#include "ui/draw.h"
#include "ui/host_hooks.h"
#include "util/log.h"

namespace {

std::atomic<int> frames{0}; // written by the interface thread, read by the worker

void report(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

void ask_from_worker() {
    std::thread([] {
        int before = frames.load();
        bool yes = ask_yes_no(0, "Question", "Proceed with the test?");
        int painted = frames.load() - before;
        post_to_ui([yes, painted] {
            char line[64];
            std::snprintf(line, sizeof line, "answer %s frames %d", yes ? "yes" : "no", painted);
            report(line);
        });
    }).detach();
    report("asked");
}

void region(int x, int y, std::function<void()> action, std::uint32_t color,
            std::uint32_t hover_color) {
    bool hovered = add_click_region(current_window, x, y, 160, 100, std::move(action));
    window_record_s& record = window_table[current_window];
    record.fill_color = hovered ? hover_color : color;
    record.line_color = 0;
    draw_rect(current_window, x, y, 160, 100);
}

void test_screen() {
    if (frames.fetch_add(1) == 0) {
        host_hooks().start_repaint_timer(current_window, 100);
        report("painted");
    }
    clear_surface(current_window, 0xffffffff);
    region(
        40, 40, [] { report("clicked"); }, 0xff3366cc, 0xffcc3366);
    region(240, 40, ask_from_worker, 0xff33aa33, 0xff33aa33);
    region(
        440, 40, [] { request_quit(7); }, 0xff999999, 0xff999999);
}

} // namespace

int main() {
    end_process(run_desktop_program(test_screen));
}
