// The real GTK host under Xvfb, driven like a person would drive it: the
// window_probe program shows its test screen (see window_probe.cpp for the
// regions and what they print) and the tests click, type and look.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/temp_folder.h"
#include "x_session.h"

#ifndef WINDOW_PROBE
#error "WINDOW_PROBE must name the probe program"
#endif

namespace {

constexpr double patience = 20; // seconds for anything the program does

class window_test : public ::testing::Test {
  protected:
    x_session_s session;
    temp_folder_s folder;
    child_program_s probe;
    unsigned long window = 0;
    window_box_s client;

    // Settings for the probe beyond DISPLAY; its home is the test's folder, so that the folder
    // chooser's bookmarks and recent files are the test's own.
    std::vector<std::string> probe_environment;

    void SetUp() override {
        std::string why_not;
        session = start_x_session(why_not);
        if (session.display.empty()) {
            GTEST_SKIP() << "no X server for the window test: " << why_not;
        }
        probe_environment.push_back("HOME=" + folder.path);
        probe_environment.push_back("GSETTINGS_BACKEND=memory");
        probe = start_program(session, {WINDOW_PROBE}, folder.path, probe_environment);
        ASSERT_TRUE(wait_for_line(probe, "painted", patience)) << "the probe never painted";
        window = find_window(session, "Scoopshift", patience);
        ASSERT_NE(window, 0u);
        std::optional<window_box_s> box = window_box(session, window);
        ASSERT_TRUE(box);
        client = *box;
    }

    void TearDown() override {
        if (probe.pid > 0) {
            wait_for_exit(probe, 0);
        }
        stop_x_session(session);
    }

    // Screen coordinates of a point of the client area.
    int sx(int x) const { return client.x + x; }
    int sy(int y) const { return client.y + y; }
};

TEST_F(window_test, the_window_is_a_fixed_centred_640_by_480_client_that_shows_the_screen) {
    EXPECT_EQ(client.width, 640);
    EXPECT_EQ(client.height, 480);
    EXPECT_EQ(client.x, (x_screen_width - 640) / 2);
    EXPECT_EQ(client.y, (x_screen_height - 480) / 2);

    std::optional<size_hints_s> hints = size_hints(session, window);
    ASSERT_TRUE(hints);
    EXPECT_EQ(hints->min_width, 640);
    EXPECT_EQ(hints->max_width, 640) << "a resizable window could be maximized";
    EXPECT_EQ(hints->min_height, 480);
    EXPECT_EQ(hints->max_height, 480);

    // The back buffer reaches the screen: the first region's colour and the white background.
    move_pointer(session, 5, 5);
    std::optional<screenshot_s> shot = take_screenshot(session, folder.path + "/window.png");
    ASSERT_TRUE(shot);
    EXPECT_EQ(shot->at(sx(41), sy(41)), 0xff3366ccu);
    EXPECT_EQ(shot->at(sx(199), sy(139)), 0xff3366ccu);
    EXPECT_EQ(shot->at(sx(200), sy(139)), 0xffffffffu);
    EXPECT_EQ(shot->at(sx(320), sy(400)), 0xffffffffu);
    EXPECT_EQ(shot->at(sx(639), sy(479)), 0xffffffffu);

    ASSERT_TRUE(close_window(session, window));
    EXPECT_EQ(wait_for_exit(probe, patience), 0) << "closing the window ends the program with 0";
}

TEST_F(window_test, clicks_reach_the_region_pressed_and_released_in_and_hover_repaints) {
    // Pressed on the region and released on the blank screen: no click.
    ASSERT_TRUE(drag(session, sx(100), sy(90), sx(300), sy(300)));
    // Pressed and released on the region: one click.
    ASSERT_TRUE(click_at(session, sx(100), sy(90)));
    ASSERT_TRUE(wait_for_line(probe, "clicked", patience));

    // The pointer rests on the region, so the next frame draws it in its hover colour.
    std::optional<screenshot_s> shot;
    for (int attempt = 0; attempt < 20; ++attempt) {
        shot = take_screenshot(session, folder.path + "/hover.png");
        if (shot && shot->at(sx(60), sy(60)) == 0xffcc3366u) {
            break;
        }
    }
    ASSERT_TRUE(shot);
    EXPECT_EQ(shot->at(sx(60), sy(60)), 0xffcc3366u);

    ASSERT_TRUE(close_window(session, window));
    int clicks = 1; // the one awaited above
    while (std::optional<std::string> line = read_line(probe, patience)) {
        clicks += *line == "clicked";
    }
    EXPECT_EQ(clicks, 1) << "the press released off the region must not click";
    EXPECT_EQ(wait_for_exit(probe, patience), 0);
}

TEST_F(window_test, a_box_from_a_worker_blocks_only_the_worker_and_returns_the_answer) {
    for (const char* keys : {"Return", "alt+n"}) {
        SCOPED_TRACE(keys);
        ASSERT_TRUE(click_at(session, sx(300), sy(90)));
        ASSERT_TRUE(wait_for_line(probe, "asked", patience));
        unsigned long box = find_window(session, "Question", patience);
        ASSERT_NE(box, 0u) << "no box titled Question appeared";
        EXPECT_EQ(transient_for(session, box), window) << "the box belongs to the main window";

        // Frames keep coming while the box is open (the probe's timer repaints every 100 ms),
        // and the answer comes back through the interface-task queue.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        ASSERT_TRUE(press_keys(session, box, keys));
        std::optional<std::string> answer = wait_for_line(probe, "answer", patience, true);
        ASSERT_TRUE(answer);
        bool yes = std::string(keys) == "Return";
        EXPECT_EQ(answer->substr(0, 10), yes ? "answer yes" : "answer no ");
        int frames = std::stoi(answer->substr(answer->rfind(' ') + 1));
        EXPECT_GE(frames, 5) << "the window stopped painting while the box was open";
    }
    ASSERT_TRUE(close_window(session, window));
    EXPECT_EQ(wait_for_exit(probe, patience), 0);
}

TEST_F(window_test, a_quit_request_ends_the_program_with_its_status) {
    ASSERT_TRUE(click_at(session, sx(500), sy(90)));
    EXPECT_EQ(wait_for_exit(probe, patience), 7);
}

TEST_F(window_test, a_text_box_shows_above_the_screen_and_copies_every_change_of_its_text) {
    ASSERT_TRUE(click_at(session, sx(100), sy(230)));
    ASSERT_TRUE(wait_for_line(probe, "text opened", patience));

    // The box covers its rectangle: the red that the screen draws under it never shows, the
    // suggested text does, and the screen around it is untouched. The box draws itself a moment
    // after it is made, so the picture is taken again until its text is there.
    std::optional<screenshot_s> shot;
    int red = 0, ink = 0;
    for (int attempt = 0; attempt < 50 && ink <= 20; ++attempt) {
        shot = take_screenshot(session, folder.path + "/text_box.png");
        ASSERT_TRUE(shot);
        red = 0;
        ink = 0;
        for (int y = 330; y < 360; ++y) {
            for (int x = 110; x < 530; ++x) {
                std::uint32_t pixel = shot->at(sx(x), sy(y));
                red += pixel == 0xffff0000u;
                ink += pixel != 0xffffffffu;
            }
        }
    }
    EXPECT_EQ(red, 0) << "the back buffer was painted over the text box";
    EXPECT_GT(ink, 20) << "the text box shows no text";
    EXPECT_EQ(shot->at(sx(105), sy(345)), 0xffffffffu);
    EXPECT_EQ(shot->at(sx(300), sy(365)), 0xffffffffu);

    // The suggestion is selected, so typing replaces it.
    ASSERT_TRUE(type_text(session, window, "1.5"));
    EXPECT_TRUE(wait_for_line(probe, "text 1.5", patience));

    // The box takes 127 characters and refuses the rest.
    ASSERT_TRUE(press_keys(session, window, "ctrl+a BackSpace"));
    ASSERT_TRUE(type_text(session, window, std::string(130, '7')));
    EXPECT_TRUE(wait_for_line(probe, "text " + std::string(127, '7'), patience));
    ASSERT_TRUE(click_at(session, sx(100), sy(230)));
    EXPECT_EQ(read_line(probe, patience), "text closed") << "a 128th character was taken";

    ASSERT_TRUE(close_window(session, window));
    EXPECT_EQ(wait_for_exit(probe, patience), 0);
}

TEST_F(window_test, the_folder_chooser_returns_the_typed_folder_and_reopens_on_it) {
    std::string plots = folder.path + "/plots";
    ASSERT_EQ(mkdir(plots.c_str(), 0755), 0);

    ASSERT_TRUE(click_at(session, sx(300), sy(230)));
    unsigned long chooser = find_window(session, "Path to source", patience);
    ASSERT_NE(chooser, 0u) << "no chooser titled Path to source appeared";
    EXPECT_EQ(transient_for(session, chooser), window);
    ASSERT_TRUE(press_keys(session, chooser, "ctrl+l"));
    ASSERT_TRUE(type_text(session, chooser, plots));
    ASSERT_TRUE(press_keys(session, chooser, "Return"));
    EXPECT_TRUE(wait_for_line(probe, "folder " + plots, patience));

    // The next chooser has the last folder selected: accepting it at once chooses it again.
    ASSERT_TRUE(click_at(session, sx(300), sy(230)));
    chooser = find_window(session, "Path to source", patience);
    ASSERT_NE(chooser, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(press_keys(session, chooser, "alt+s"));
    EXPECT_TRUE(wait_for_line(probe, "folder " + plots, patience));

    // Cancelled: no folder.
    ASSERT_TRUE(click_at(session, sx(300), sy(230)));
    chooser = find_window(session, "Path to source", patience);
    ASSERT_NE(chooser, 0u);
    ASSERT_TRUE(press_keys(session, chooser, "Escape"));
    EXPECT_TRUE(wait_for_line(probe, "folder none", patience));

    ASSERT_TRUE(close_window(session, window));
    EXPECT_EQ(wait_for_exit(probe, patience), 0);
}

// The launcher progress goes out on the session bus; a private bus and dbus-monitor stand in
// for the desktop's dock.
class launcher_test : public window_test {
  protected:
    child_program_s bus;
    child_program_s monitor;
    std::string address;

    void SetUp() override {
        x_session_s no_display;
        for (const char* tool : {"dbus-daemon", "dbus-monitor"}) {
            std::string command = std::string("command -v ") + tool + " >/dev/null";
            if (std::system(command.c_str()) != 0) {
                GTEST_SKIP() << tool << " is not installed";
            }
        }
        bus = start_program(no_display, {"dbus-daemon", "--session", "--nofork", "--print-address"},
                            "/");
        std::optional<std::string> line = read_line(bus, patience);
        ASSERT_TRUE(line) << "dbus-daemon did not start";
        address = *line;
        monitor = start_program(no_display,
                                {"dbus-monitor", "--address", address,
                                 "type='signal',interface='com.canonical.Unity.LauncherEntry'"},
                                "/");
        probe_environment.push_back("DBUS_SESSION_BUS_ADDRESS=" + address);
        window_test::SetUp();
    }

    void TearDown() override {
        window_test::TearDown();
        if (monitor.pid > 0) {
            wait_for_exit(monitor, 0);
        }
        if (bus.pid > 0) {
            wait_for_exit(bus, 0);
        }
    }
};

TEST_F(launcher_test, progress_reaches_the_launcher_entry_of_the_desktop_file) {
    bool seen_entry = false, seen_progress = false, seen_visible = false;
    // The monitor subscribes while the probe starts; an update sent before that is sent again.
    for (int attempt = 0; attempt < 5 && !seen_progress; ++attempt) {
        ASSERT_TRUE(click_at(session, sx(500), sy(230)));
        ASSERT_TRUE(wait_for_line(probe, "progress sent", patience));
        while (std::optional<std::string> line = read_line(monitor, 1.0)) {
            seen_entry |= line->find("\"application://scoopshift.desktop\"") != std::string::npos;
            seen_progress |= seen_entry && line->find("double 0.25") != std::string::npos;
            seen_visible |= seen_entry && line->find("boolean true") != std::string::npos;
        }
    }
    EXPECT_TRUE(seen_entry);
    EXPECT_TRUE(seen_progress);
    EXPECT_TRUE(seen_visible);
    ASSERT_TRUE(close_window(session, window));
    EXPECT_EQ(wait_for_exit(probe, patience), 0);
}

} // namespace
