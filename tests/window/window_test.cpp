// The real GTK host under Xvfb, driven like a person would drive it: the
// window_probe program shows its test screen (see window_probe.cpp for the
// regions and what they print) and the tests click, type and look.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "notification_service.h"
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

    // The desktop's scale (GDK_SCALE) and the screen, in device pixels, that fits it.
    int scale = 1;

    void SetUp() override {
        std::string why_not;
        session = start_x_session(why_not, x_screen_width * scale, x_screen_height * scale);
        if (session.display.empty()) {
            GTEST_SKIP() << "no X server for the window test: " << why_not;
        }
        probe_environment.push_back("GDK_SCALE=" + std::to_string(scale));
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
    for (const char* keys : {"alt+y", "Return"}) {
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
        bool yes = std::string(keys) == "alt+y"; // Return answers No
        EXPECT_EQ(answer->substr(0, 10), yes ? "answer yes" : "answer no ");
        int frames = std::stoi(answer->substr(answer->rfind(' ') + 1));
        EXPECT_GE(frames, 5) << "the window stopped painting while the box was open";
    }
    ASSERT_TRUE(close_window(session, window));
    EXPECT_EQ(wait_for_exit(probe, patience), 0);
}

// A work thread's error holds nothing: its box stays open while the thread goes on, and boxes
// come one at a time, as two drives' questions raised at once do, each defaulting to No.
TEST_F(window_test, an_error_box_holds_no_work_and_boxes_come_one_at_a_time) {
    // Two questions asked at once: a tenth of a second apart, still only one shows.
    ASSERT_TRUE(click_at(session, sx(300), sy(455)));
    std::string count = "xdotool search --onlyvisible --name '^Question$' | wc -l";
    for (const char* keys : {"Return", "alt+y"}) {
        unsigned long box = find_window(session, "Question", patience);
        ASSERT_NE(box, 0u);
        for (int look = 0; look < 5; ++look) {
            EXPECT_EQ(run_in_session(session, count).output, "1");
        }
        ASSERT_TRUE(press_keys(session, box, keys));
        std::optional<std::string> answer = wait_for_line(probe, "answer", patience, true);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->substr(0, 10), keys[0] == 'R' ? "answer no " : "answer yes");
    }

    // The worker goes on from its error at once; the box stays open.
    ASSERT_TRUE(click_at(session, sx(100), sy(455)));
    unsigned long error = find_window(session, "Error", patience);
    ASSERT_NE(error, 0u);
    EXPECT_TRUE(wait_for_line(probe, "error shown", patience)) << "the worker waited for OK";
    EXPECT_EQ(find_window(session, "Error", 0), error) << "the box is still open";
    ASSERT_TRUE(press_keys(session, error, "Return"));
    unsigned long box = find_window(session, "Question", patience);
    ASSERT_NE(box, 0u) << "the question behind the error";
    ASSERT_TRUE(press_keys(session, box, "alt+y"));
    EXPECT_TRUE(wait_for_line(probe, "answer yes", patience, true));
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

    // The destination chooser does not open on the source: accepted at once, it gives
    // something else.
    ASSERT_TRUE(click_at(session, sx(500), sy(455)));
    chooser = find_window(session, "Path to destination", patience);
    ASSERT_NE(chooser, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(press_keys(session, chooser, "alt+s"));
    std::optional<std::string> destination = wait_for_line(probe, "destination ", patience, true);
    ASSERT_TRUE(destination);
    EXPECT_NE(*destination, "destination " + plots);

    ASSERT_TRUE(close_window(session, window));
    EXPECT_EQ(wait_for_exit(probe, patience), 0);
}

// A high-density screen: GDK_SCALE=2 on a screen twice as large, so that the window fits.
class scaled_window_test : public window_test {
  protected:
    scaled_window_test() { scale = 2; }
};

// Device pixels along a row (dy 0) or column (dx 0) of the screenshot that are neither white nor
// black: a drawing at device resolution has none across a black edge that falls between two
// device pixels, a magnified 640 x 480 picture at least two (the half-covered logical pixel,
// doubled; a smoothing magnification spreads it further).
int blurred_pixels(const screenshot_s& shot, int x, int y, int dx, int dy, int count) {
    int blurred = 0;
    for (int i = 0; i < count; ++i, x += dx, y += dy) {
        std::uint32_t pixel = shot.at(x, y);
        blurred += pixel != 0xffffffffu && pixel != 0xff000000u;
    }
    return blurred;
}

TEST_F(scaled_window_test, at_scale_2_the_window_has_1280_by_960_device_pixels_drawn_at_that_size) {
    EXPECT_EQ(client.width, 1280);
    EXPECT_EQ(client.height, 960);
    EXPECT_EQ(client.x, x_screen_width - 640);
    EXPECT_EQ(client.y, x_screen_height - 480);

    // The key colours sit at twice their coordinates: the first region (40, 40, 160, 100) covers
    // device pixels 80 to 399 and 80 to 279.
    move_pointer(session, 5, 5);
    std::optional<screenshot_s> shot = take_screenshot(session, folder.path + "/scaled.png");
    ASSERT_TRUE(shot);
    EXPECT_EQ(shot->at(sx(80), sy(80)), 0xff3366ccu);
    EXPECT_EQ(shot->at(sx(399), sy(279)), 0xff3366ccu);
    EXPECT_EQ(shot->at(sx(79), sy(80)), 0xffffffffu);
    EXPECT_EQ(shot->at(sx(400), sy(279)), 0xffffffffu);
    EXPECT_EQ(shot->at(sx(399), sy(280)), 0xffffffffu);
    EXPECT_EQ(shot->at(sx(480), sy(80)), 0xff33aa33u) << "the second region";
    EXPECT_EQ(shot->at(sx(1279), sy(959)), 0xffffffffu);

    // The bar (440.5, 370.5, 159, 60) at device resolution: its sides at device pixels 881, 1199,
    // 741 and 861, each sharp. Measured across the middle of each side, 8 pixels either way.
    int left = blurred_pixels(*shot, sx(873), sy(800), 1, 0, 16);
    int right = blurred_pixels(*shot, sx(1191), sy(800), 1, 0, 16);
    int top = blurred_pixels(*shot, sx(1040), sy(733), 0, 1, 16);
    int bottom = blurred_pixels(*shot, sx(1040), sy(853), 0, 1, 16);
    EXPECT_EQ(left + right + top + bottom, 0)
        << "blurred pixels across the bar's sides: left " << left << ", right " << right << ", top "
        << top << ", bottom " << bottom << " (a magnified picture)";
    EXPECT_EQ(shot->at(sx(880), sy(800)), 0xffffffffu);
    EXPECT_EQ(shot->at(sx(881), sy(800)), 0xff000000u);
    EXPECT_EQ(shot->at(sx(1198), sy(800)), 0xff000000u);
    EXPECT_EQ(shot->at(sx(1199), sy(800)), 0xffffffffu);
    EXPECT_EQ(shot->at(sx(1040), sy(740)), 0xffffffffu);
    EXPECT_EQ(shot->at(sx(1040), sy(741)), 0xff000000u);
    EXPECT_EQ(shot->at(sx(1040), sy(860)), 0xff000000u);
    EXPECT_EQ(shot->at(sx(1040), sy(861)), 0xffffffffu);

    std::optional<size_hints_s> hints = size_hints(session, window);
    ASSERT_TRUE(hints);
    EXPECT_EQ(hints->min_width, 1280);
    EXPECT_EQ(hints->max_width, 1280);

    // Input arrives in the screen's own coordinates: a click at device (200, 180) is (100, 90).
    ASSERT_TRUE(click_at(session, sx(200), sy(180)));
    EXPECT_TRUE(wait_for_line(probe, "clicked", patience));

    ASSERT_TRUE(close_window(session, window));
    EXPECT_EQ(wait_for_exit(probe, patience), 0);
}

// A private session bus for the probe, standing in for the desktop's.
class private_bus_test : public window_test {
  protected:
    child_program_s bus;
    std::string address;

    void SetUp() override {
        for (const char* tool : {"dbus-daemon", "dbus-monitor"}) {
            std::string command = std::string("command -v ") + tool + " >/dev/null";
            if (std::system(command.c_str()) != 0) {
                GTEST_SKIP() << tool << " is not installed";
            }
        }
        bus = start_program(x_session_s{},
                            {"dbus-daemon", "--session", "--nofork", "--print-address"}, "/");
        std::optional<std::string> line = read_line(bus, patience);
        ASSERT_TRUE(line) << "dbus-daemon did not start";
        address = *line;
        before_window();
        probe_environment.push_back("DBUS_SESSION_BUS_ADDRESS=" + address);
        window_test::SetUp();
    }

    // What a test runs on the bus before the probe starts.
    virtual void before_window() {}

    void TearDown() override {
        window_test::TearDown();
        if (bus.pid > 0) {
            wait_for_exit(bus, 0);
        }
    }
};

// The launcher progress goes out on the session bus; dbus-monitor stands in for the desktop's
// dock.
class launcher_test : public private_bus_test {
  protected:
    child_program_s monitor;

    void before_window() override {
        monitor = start_program(x_session_s{},
                                {"dbus-monitor", "--address", address,
                                 "type='signal',interface='com.canonical.Unity.LauncherEntry'"},
                                "/");
    }

    void TearDown() override {
        private_bus_test::TearDown();
        if (monitor.pid > 0) {
            wait_for_exit(monitor, 0);
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

// A box raised while the user is in another program is also sent to the desktop's notification
// service, here a stand-in on the private bus.
class notification_test : public private_bus_test {
  protected:
    notification_service_s service;

    void before_window() override {
        std::string why_not;
        ASSERT_TRUE(start_notification_service(service, address, why_not)) << why_not;
    }

    void TearDown() override {
        stop_notification_service(service);
        private_bus_test::TearDown();
    }

    // Clicks "ask" and answers the box with `keys`; the answer line.
    std::optional<std::string> ask_and_answer(const std::string& keys) {
        if (!click_at(session, sx(300), sy(90)) || !wait_for_line(probe, "asked", patience)) {
            return std::nullopt;
        }
        unsigned long box = find_window(session, "Question", patience);
        if (box == 0 || !press_keys(session, box, keys)) {
            return std::nullopt;
        }
        return wait_for_line(probe, "answer", patience, true);
    }
};

TEST_F(notification_test, a_box_raised_while_the_window_is_not_focused_is_also_notified) {
    // The window has the focus: the user sees the box, and no notification is sent.
    ASSERT_TRUE(set_focus(session, window));
    std::optional<std::string> answer = ask_and_answer("alt+n");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->substr(0, 10), "answer no ");

    // The user is elsewhere: the second question also becomes a notification. Had the first
    // been sent, it would arrive first (one connection's messages keep their order).
    ASSERT_TRUE(set_focus(session, 0));
    answer = ask_and_answer("alt+y");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->substr(0, 10), "answer yes") << "the box still answers";
    std::optional<notification_s> note = next_notification(service, patience);
    ASSERT_TRUE(note) << "no notification reached the service";
    EXPECT_EQ(note->summary, "Question");
    EXPECT_EQ(note->body, "Proceed with the test? (question 2)");
    EXPECT_EQ(note->app_name, "Scoopshift");
    EXPECT_EQ(note->app_icon, "scoopshift");
    EXPECT_EQ(note->desktop_entry, "scoopshift");

    ASSERT_TRUE(close_window(session, window));
    EXPECT_EQ(wait_for_exit(probe, patience), 0);
}

// A box that follows at once the one the person has just answered is seen by the person: it is
// not notified, though the focus has not come back to the window yet.
TEST_F(notification_test, a_box_right_after_one_the_person_answered_is_not_notified) {
    ASSERT_TRUE(set_focus(session, window));
    ASSERT_TRUE(click_at(session, sx(100), sy(455)));
    for (const char* title : {"Error", "Question"}) {
        unsigned long box = find_window(session, title, patience);
        ASSERT_NE(box, 0u) << title;
        ASSERT_TRUE(press_keys(session, box, "Return"));
    }
    ASSERT_TRUE(wait_for_line(probe, "answer", patience, true));
    // The person goes elsewhere: the next question is notified, and it is the first one that is
    // (one connection's messages keep their order).
    ASSERT_TRUE(set_focus(session, 0));
    std::optional<std::string> answer = ask_and_answer("alt+y");
    ASSERT_TRUE(answer);
    std::optional<notification_s> note = next_notification(service, patience);
    ASSERT_TRUE(note) << "no notification reached the service";
    EXPECT_EQ(note->body, "Proceed with the test? (question 2)");
    ASSERT_TRUE(close_window(session, window));
    EXPECT_EQ(wait_for_exit(probe, patience), 0);
}

// A desktop without a notification service: the bus is there, nobody owns the name.
TEST_F(private_bus_test, without_a_notification_service_a_box_behind_other_windows_still_answers) {
    ASSERT_TRUE(set_focus(session, 0));
    ASSERT_TRUE(click_at(session, sx(300), sy(90)));
    ASSERT_TRUE(wait_for_line(probe, "asked", patience));
    unsigned long box = find_window(session, "Question", patience);
    ASSERT_NE(box, 0u);
    ASSERT_TRUE(press_keys(session, box, "alt+y"));
    std::optional<std::string> answer = wait_for_line(probe, "answer", patience, true);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->substr(0, 10), "answer yes");
    ASSERT_TRUE(close_window(session, window));
    EXPECT_EQ(wait_for_exit(probe, patience), 0);
}

} // namespace
