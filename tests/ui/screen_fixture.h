// A window record with the program's state as at start-up: no folders, merging on, no plan,
// automatic memory limit, panels unscrolled, no run; the log goes to a temporary folder.
#pragma once

#include "support/temp_folder.h"
#include "ui_fixture.h"

struct screen_fixture : ui_window_fixture {
    temp_folder_s logs;

    void SetUp() override;
    void TearDown() override;
};

// Resets what the screens read and write, for set-up and tear-down.
void reset_program_state();
