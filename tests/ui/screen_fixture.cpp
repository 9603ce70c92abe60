#include "screen_fixture.h"

#include "catalogue/drives.h"
#include "catalogue/planning.h"
#include "swizzler/conversion_record.h"
#include "swizzler/farm.h"
#include "ui/config_screen.h"
#include "ui/drive_panel.h"
#include "ui/progress_screen.h"
#include "ui/ram_entry.h"
#include "util/log.h"

void reset_program_state() {
    source_drives.clear();
    destination_drives.clear();
    merge_adjacent = true;
    convert_in_place = false;
    verify_before_deleting = false;
    max_ram_bytes = 0;
    ram_text[0] = '\0';
    drive_panel_state[0] = drive_panel_state_s{};
    drive_panel_state[1] = drive_panel_state_s{};
    run_values = run_values_s{};
    read_rate_history = rate_history_s{};
    write_rate_history = rate_history_s{};

    // A run that a failed test left going is stopped; one that ended is only joined.
    stop_farm(the_farm());
    the_farm() = farm_s{};

    swizzler_s& record = the_swizzler();
    if (record.thread.joinable()) {
        record.thread.join();
    }
    record.plan = conversion_plan_s{};
    the_plan() = conversion_plan_s{};
    record.bytes_read = 0;
    record.bytes_written = 0;
    record.bytes_buffered = 0;
    record.bytes_in_flight = 0;
    record.buffer_bytes = 0;
    record.ram_limit = 0;
    record.finished = false;
    record.stop = false;
    record.on_complete = nullptr;
}

void screen_fixture::SetUp() {
    ui_window_fixture::SetUp();
    reset_program_state();
    ASSERT_TRUE(open_log_file((logs.path + "/log_swizzle.txt").c_str()));
}

void screen_fixture::TearDown() {
    reset_program_state();
    close_log_file();
    ui_window_fixture::TearDown();
}
