#include "sys/start_up.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "swizzler/farm.h"
#include "sys/gtk_host.h"
#include "ui/progress_screen.h"
#include "ui/window_record.h"
#include "util/log.h"
#include "util/open_files.h"
#include "util/target_file.h"
#include "util/ui_tasks.h"

namespace {

// From the start button until the last stream's end has been handed over: the run's work
// threads are converting.
bool conversion_running() {
    const farm_s& farm = the_farm();
    return !farm.streams.empty() && !farm.finished;
}

// A run of many hours is one click from being stopped: closing during a run asks first.
bool may_close_main_window() {
    if (!conversion_running()) {
        return true;
    }
    // One plot is being converted on each set of drives whose work has not ended.
    const farm_s& farm = the_farm();
    int converting = static_cast<int>(farm.streams.size()) - farm.streams_ended;
    std::string unfinished =
        converting > 1
            ? "The " + std::to_string(converting) +
                  " plots being converted stay unfinished under their temporary names ending in"
            : std::string("The plot being converted stays unfinished under its temporary name "
                          "ending in");
    // No, the answer that keeps the run going, is the default (Return).
    if (!ask_yes_no(current_window, "Stop conversion?",
                    "A conversion is still running. Stop it and close Scoopshift?\n\n%s "
                    "\".swizzling\"; converted plots and all source files are kept.",
                    unfinished.c_str())) {
        return false;
    }
    log_message("Stopped by the user: the window was closed during the conversion; every "
                "source is kept, and the next run resumes the unfinished plots\n");
    return true;
}

} // namespace

int run_desktop_program(std::function<void()> first_screen) {
    verify(!log_file_is_open(), "sys", 1);
    open_log_file("log_swizzle.txt");
    run_values.start_time = std::chrono::steady_clock::now();

    if (!open_display()) {
        log_message("Cannot open the display: the window needs a desktop session\n");
        return 1;
    }
    install_gtk_host();
    set_close_guard(may_close_main_window);

    current_window = create_main_window();
    if (current_window < 0) {
        log_message("Cannot create the main window\n");
        return 1;
    }
    window_table[current_window].draw = std::move(first_screen);
    invalidate_window(current_window);

    the_farm();
    enable_volume_privilege();
    // A merge of hundreds of plots holds every one of them open.
    raise_open_file_limit();
    run_ui_tasks();
    return run_main_loop();
}

void end_process(int status) {
    std::fflush(nullptr);
    // No static destructors: the work thread may still be using the program-wide state.
    std::_Exit(status);
}
