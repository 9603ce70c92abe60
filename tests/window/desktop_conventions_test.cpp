// The window among the other programs of a desktop: a file dragged from a file manager is never
// taken away from it, and the numbers the program shows do not change with the user's locale.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "support/temp_folder.h"
#include "x_session.h"

namespace {

constexpr double patience = 20; // seconds

class desktop_conventions_test : public ::testing::Test {
  protected:
    x_session_s session;
    temp_folder_s folder;

    void SetUp() override {
        std::string why_not;
        session = start_x_session(why_not);
        if (session.display.empty()) {
            GTEST_SKIP() << "no X server for the window test: " << why_not;
        }
    }
    void TearDown() override { stop_x_session(session); }
};

// Drags the file from the source window to the middle of the window, Shift held or not.
void drag_file(const x_session_s& session, const window_box_s& client, bool shift) {
    // Small steps with pauses, as a hand moves: the source starts its drag past a threshold and
    // the target answers each position.
    std::string drag = "xdotool mousemove 60 60 sleep 0.2";
    drag += shift ? " keydown shift sleep 0.1 mousedown 1" : " mousedown 1";
    for (int step = 1; step <= 10; ++step) {
        int x = 60 + (client.x + 320 - 60) * step / 10;
        int y = 60 + (client.y + 300 - 60) * step / 10;
        drag += " mousemove " + std::to_string(x) + " " + std::to_string(y) + " sleep 0.1";
    }
    drag += " sleep 0.3 mouseup 1 sleep 0.2";
    drag += shift ? " keyup shift" : "";
    ASSERT_EQ(run_in_session(session, drag).status, 0);
}

// A drop is taken as a copy. Holding Shift asks for a move, after which a file manager deletes
// what was dragged: the window refuses that, so nothing is ever deleted.
TEST_F(desktop_conventions_test, a_dropped_file_is_copied_and_a_move_is_refused) {
    child_program_s target = start_program(session, {WINDOW_PROBE}, folder.path,
                                           {"HOME=" + folder.path, "GSETTINGS_BACKEND=memory"});
    ASSERT_TRUE(wait_for_line(target, "painted", patience));
    child_program_s source = start_program(session, {DRAG_SOURCE}, folder.path);
    ASSERT_TRUE(wait_for_line(source, "ready", patience));
    unsigned long window = find_window(session, "Scoopshift", patience);
    ASSERT_NE(window, 0u);
    std::optional<window_box_s> client = window_box(session, window);
    ASSERT_TRUE(client);

    drag_file(session, *client, false);
    std::optional<std::string> plain = wait_for_line(source, "", patience, true);
    ASSERT_TRUE(plain) << "the drag never ended";
    EXPECT_EQ(*plain, "ended copy");

    drag_file(session, *client, true);
    std::optional<std::string> shifted = wait_for_line(source, "", patience, true);
    ASSERT_TRUE(shifted) << "the drag never ended";
    EXPECT_EQ(*shifted, "ended none") << "a move must not be accepted";
    wait_for_exit(source, 0);
    wait_for_exit(target, 0);
}

// Under a locale with a decimal comma the window's texts still read 10.5 GB and 25.0%, and a
// limit typed with a comma means what it says.
TEST_F(desktop_conventions_test, numbers_read_the_same_under_a_decimal_comma_locale) {
    locale_t comma = newlocale(LC_ALL_MASK, "de_DE.UTF-8", nullptr);
    if (comma == nullptr) {
        GTEST_SKIP()
            << "the de_DE.UTF-8 locale is not installed (scripts/install-deps.sh makes it)";
    }
    freelocale(comma);
    child_program_s probe = start_program(session, {LOCALE_PROBE}, folder.path,
                                          {"LC_ALL=de_DE.UTF-8", "LANG=de_DE.UTF-8"});
    std::optional<std::string> line = read_line(probe, patience);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "10.5 GB|25.0%|1610612736|1610612736");
    EXPECT_EQ(wait_for_exit(probe, patience), 0);
}

} // namespace
