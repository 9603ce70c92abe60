// A program that runs the real GTK host with a test screen, for the window
// tests to drive under Xvfb. It reports what happens on standard output, one
// line per event, so that the test can wait for each step.
//
// The screen is white with three regions:
//   (40, 40, 160, 100)   "click": prints "clicked"; drawn 0xff3366cc, 0xffcc3366 while hovered
//   (240, 40, 160, 100)  "ask": a worker thread asks a Yes/No box "Question", "Proceed with the
//                        test? (question N)" for the Nth question; the answer comes
//                        back through the interface-task queue as "answer yes|no frames N", N
//                        being the frames painted while the box was open
//   (440, 40, 160, 100)  "quit": request_quit(7)
//   (40, 180, 160, 100)  "text": opens a text box at (110, 330, 420, 30) holding "12.0", or
//                        closes the open one ("text closed"); every change of its text is
//                        printed as "text <text>" by the next frame. The back buffer is red
//                        under the box, which must never reach the screen.
//   (240, 180, 160, 100) "folder": the folder chooser "Path to source": "folder <path>" or
//                        "folder none"
//   (440, 180, 160, 100) "progress": launcher progress 0.25, then "progress sent"
//   (40, 440, 160, 36)   "error": a worker shows an "Error" box, prints "error shown" as soon
//                        as show_message returns, then asks as "ask" does
//   (240, 440, 160, 36)  "two questions": two workers ask at once, as two drives out of space
//                        do; each answer is printed as ask_from_worker prints it
//   (440, 440, 160, 36)  "destination": the folder chooser "Path to destination", printed as
//                        "destination <path>" or "destination none"
// Below them a black bar (440.5, 370.5, 159, 60), whose sides lie on half pixels: at scale 1 they
// are grey, at scale 2 each falls between two device pixels and is sharp; and a line of text.
// A repaint timer of 100 ms keeps frames coming, so that a blocked interface thread shows.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "sys/start_up.h"
#include "ui/click_regions.h"
#include "ui/draw.h"
#include "ui/host_hooks.h"
#include "util/log.h"
#include "util/ui_tasks.h"

namespace {

std::atomic<int> frames{0}; // written by the interface thread, read by the worker
char box_text[128];         // the text box's buffer; interface thread only
std::string reported_text;  // the text last printed; interface thread only

void report(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

int questions = 0; // interface thread only

void ask_from_worker(bool error_first = false) {
    std::thread([number = ++questions, error_first] {
        if (error_first) {
            show_message(0, "Error", "The plot could not be read (error 5).");
            post_to_ui([] { report("error shown"); });
        }
        int before = frames.load();
        bool yes = ask_yes_no(0, "Question", "Proceed with the test? (question %d)", number);
        int painted = frames.load() - before;
        post_to_ui([yes, painted] {
            char line[64];
            std::snprintf(line, sizeof line, "answer %s frames %d", yes ? "yes" : "no", painted);
            report(line);
        });
    }).detach();
    report("asked");
}

void toggle_text_box() {
    window_record_s& record = window_table[current_window];
    record.fill_color = 0xff000000;
    draw_rect(current_window, 440.5f, 370.5f, 159, 60);
    set_font(current_window, "Microsoft Sans Serif", 12);
    draw_text(current_window, "Scoopshift 0123456789", 40, 380);

    if (!record.child_controls.empty()) {
        host_hooks().destroy_text_box(current_window, record.child_controls.front());
        record.child_controls.clear();
        report("text closed");
        return;
    }
    std::strcpy(box_text, "12.0");
    reported_text = box_text;
    child_control_s control;
    control.capacity = sizeof box_text;
    control.text = box_text;
    control.x = 110;
    control.y = 330;
    control.width = 420;
    control.height = 30;
    record.child_controls.push_back(control);
    host_hooks().create_text_box(current_window, record.child_controls.back());
    report(record.child_controls.back().handle != nullptr ? "text opened" : "text failed");
}

void error_from_worker() {
    ask_from_worker(true);
}

void two_questions() {
    ask_from_worker();
    ask_from_worker();
}

void choose_destination() {
    std::optional<std::string> folder =
        host_hooks().choose_folder(current_window, "Path to destination");
    report(("destination " + folder.value_or("none")).c_str());
}

void choose_folder() {
    std::optional<std::string> folder =
        host_hooks().choose_folder(current_window, "Path to source");
    report(("folder " + folder.value_or("none")).c_str());
}

void report_click() {
    report("clicked");
}

void quit_with_7() {
    request_quit(7);
}

void send_progress() {
    host_hooks().set_launcher_progress(current_window, 0.25);
    report("progress sent");
}

void region(int x, int y, std::function<void()> action, std::uint32_t color,
            std::uint32_t hover_color, int height = 100) {
    bool hovered = add_click_region(current_window, x, y, 160, height, std::move(action));
    window_record_s& record = window_table[current_window];
    record.fill_color = hovered ? hover_color : color;
    record.line_color = 0;
    draw_rect(current_window, x, y, 160, height);
}

void test_screen() {
    // "painted" once the first frame has been drawn and copied to the window, which the second
    // frame, 100 ms later, comes after.
    int frame = frames.fetch_add(1);
    if (frame == 0) {
        host_hooks().start_repaint_timer(current_window, 100);
    } else if (frame == 1) {
        report("painted");
    }
    clear_surface(current_window, 0xffffffff);
    constexpr std::uint32_t grey = 0xff999999;
    region(40, 40, report_click, 0xff3366cc, 0xffcc3366);
    region(
        240, 40, [] { ask_from_worker(); }, 0xff33aa33, 0xff33aa33);
    region(440, 40, quit_with_7, grey, grey);
    region(40, 180, toggle_text_box, grey, grey);
    region(240, 180, choose_folder, grey, grey);
    region(440, 180, send_progress, grey, grey);
    region(40, 440, error_from_worker, grey, grey, 36);
    region(240, 440, two_questions, grey, grey, 36);
    region(440, 440, choose_destination, grey, grey, 36);

    window_record_s& record = window_table[current_window];
    record.fill_color = 0xff000000;
    draw_rect(current_window, 440.5f, 370.5f, 159, 60);
    set_font(current_window, "Microsoft Sans Serif", 12);
    draw_text(current_window, "Scoopshift 0123456789", 40, 380);

    if (!record.child_controls.empty()) {
        record.fill_color = 0xffff0000;
        draw_rect(current_window, 110, 330, 420, 30);
        if (reported_text != box_text) {
            reported_text = box_text;
            report(("text " + reported_text).c_str());
        }
    }
}

} // namespace

int main() {
    end_process(run_desktop_program(test_screen));
}
