// The whole program under Xvfb, used as a person would use it: choose a source
// folder of generated plots and a destination through the folder chooser, read
// the plan, toggle merging, set a small memory limit, start, watch the
// progress, answer "Done!" with Yes. Then the outputs must pass the
// independent checker and exactly the converted sources must be gone.
//
// The tests that act while a run goes on (watching it, closing the window)
// take their plots from a slow drive: a FUSE mirror of the plots' folder whose
// every read waits, so the run lasts long enough to act in whatever this
// machine's speed. Without FUSE they skip.
//
// The memory-limit entry is also driven from the keyboard: Enter keeps what
// was typed, Escape forgets it, and a limit below the least a conversion works
// with is raised on the entry screen, so the run converts with it.
//
// Screenshots of the configuration screen with its plan, of the progress
// screen mid-run and of the entry screen are saved in the build folder
// (end_to_end_*.png) and checked for the screens' key colours at their places.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/fault_volume.h"
#include "support/plot_files.h"
#include "support/small_volume.h"
#include "support/temp_folder.h"
#include "swizzler/buffer_sizing.h"
#include "util/size_text.h"
#include "x_session.h"

#ifndef SCOOPSHIFT_PROGRAM
#error "SCOOPSHIFT_PROGRAM must name the program under test"
#endif
#ifndef SCREENSHOT_FOLDER
#error "SCREENSHOT_FOLDER must name the folder for the screenshots"
#endif

namespace {

namespace fs = std::filesystem;

constexpr double patience = 20; // seconds for anything but the conversion itself

// The slow source drive's wait per read, in milliseconds. Under the limit these tests type the
// run reads the plot set in some 16,000 reads, one per scoop of each source, one at a time on
// that drive: the waits alone make the run last over 13 s on any machine, and with the file
// system's own work some 15 to 30 s.
constexpr const char* slow_read_delay_ms = "0.8";

// The limit typed in GiB, and what it is in bytes: above the least a conversion works with, so
// the run keeps to it as typed, and far below what any machine has free.
constexpr const char* typed_limit = "0.0003";
constexpr auto typed_limit_bytes = static_cast<std::uint64_t>(0.0003 * 1024 * 1024 * 1024);

// Screen colours the checks look for.
constexpr std::uint32_t white = 0xffffffff;
constexpr std::uint32_t accent_blue = 0xff117dbb;
constexpr std::uint32_t option_off_grey = 0xffd0d0d0;
constexpr std::uint32_t button_enabled = 0xffe1e1e1;
constexpr std::uint32_t button_disabled = 0xffcccccc;
constexpr std::uint32_t write_green = 0xff4da60c;
constexpr std::uint32_t read_pale = 0xfff1f6fa;
constexpr std::uint32_t write_pale = 0xffeff7e9;

// Plots of account 1 follow each other (one job when merged); account 2's stands alone.
const std::vector<plot_spec_s> merged_plots = {{1, 0, 96}, {1, 96, 64}, {1, 160, 96}};
const plot_spec_s single_plot = {2, 5000, 200};

class end_to_end_test : public ::testing::Test {
  protected:
    x_session_s session;
    temp_folder_s folder;
    std::string source;       // the folder the person chooses
    std::string plots_folder; // where the plot files are: the source, or the slow drive's store
    std::string destination;
    std::optional<fault_volume_s> slow_drive; // unmounted before `folder` goes
    child_program_s program;
    unsigned long window = 0;
    window_box_s client;

    void SetUp() override {
        std::string why_not;
        session = start_x_session(why_not);
        if (session.display.empty()) {
            GTEST_SKIP() << "no X server for the end-to-end test: " << why_not;
        }
        source = folder.path + "/source";
        plots_folder = source;
        destination = folder.path + "/destination";
        ASSERT_EQ(mkdir(source.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(destination.c_str(), 0755), 0);
    }

    // Puts the source folder on a slow drive: the plots are written to a store that the source
    // folder mirrors, each read through the source waiting slow_read_delay_ms. Skips the test
    // without FUSE (the caller returns when IsSkipped()).
    void use_slow_source_drive() {
        plots_folder = folder.path + "/store";
        ASSERT_EQ(mkdir(plots_folder.c_str(), 0755), 0);
        slow_drive.emplace(plots_folder, source,
                           std::vector<std::string>{"--read-delay-ms", slow_read_delay_ms});
        if (!slow_drive->why_not.empty()) {
            GTEST_SKIP() << "no slow drive for the run to last: " << slow_drive->why_not;
        }
    }

    void TearDown() override {
        if (program.pid > 0) {
            wait_for_exit(program, 0);
        }
        stop_x_session(session);
    }

    void start() {
        program = start_program(session, {SCOOPSHIFT_PROGRAM}, folder.path,
                                {"HOME=" + folder.path, "GSETTINGS_BACKEND=memory"});
        window = find_window(session, "Scoopshift", patience);
        ASSERT_NE(window, 0u) << "the program showed no window";
        std::optional<window_box_s> box = window_box(session, window);
        ASSERT_TRUE(box);
        client = *box;
    }

    bool click(int x, int y) { return click_at(session, client.x + x, client.y + y); }

    // Takes screenshots until `ready` holds for one (client coordinates), or gives up.
    std::optional<screenshot_s>
    screenshot_when(const std::string& name, const std::function<bool(const screenshot_s&)>& ready,
                    double seconds = patience) {
        auto start = std::chrono::steady_clock::now();
        std::string path = std::string(SCREENSHOT_FOLDER) + "/end_to_end_" + name + ".png";
        while (true) {
            std::optional<screenshot_s> shot = take_screenshot(session, path);
            if (shot && ready(*shot)) {
                return shot;
            }
            if (std::chrono::steady_clock::now() - start > std::chrono::duration<double>(seconds)) {
                return shot;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    std::uint32_t at(const screenshot_s& shot, int x, int y) const {
        return shot.at(client.x + x, client.y + y);
    }

    // Picks a folder in the chooser the way a person who knows the path does: Ctrl+L, type it.
    void choose_in_chooser(const std::string& title, const std::string& path) {
        unsigned long chooser = find_window(session, title, patience);
        ASSERT_NE(chooser, 0u) << "no chooser titled " << title;
        ASSERT_TRUE(press_keys(session, chooser, "ctrl+l"));
        ASSERT_TRUE(type_text(session, chooser, path));
        ASSERT_TRUE(press_keys(session, chooser, "Return"));
        for (int i = 0; i < 100 && find_window(session, title, 0) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    // The source panel's add card, then the destination's.
    void choose_both_folders() {
        ASSERT_TRUE(click(60, 190));
        ASSERT_NO_FATAL_FAILURE(choose_in_chooser("Path to source", source));
        ASSERT_TRUE(click(60, 280));
        ASSERT_NO_FATAL_FAILURE(choose_in_chooser("Path to destination", destination));
    }

    // The x where the "Click to select..." link of the panel whose strip starts at `top` begins:
    // the first accent-blue pixel on its text line (folder paths are green or purple), -1 when
    // there is none.
    int add_card_x(const screenshot_s& shot, int top) const {
        for (int x = 40; x < 600; ++x) {
            for (int y = top + 16; y < top + 36; ++y) {
                if (at(shot, x, y) == accent_blue) {
                    return x;
                }
            }
        }
        return -1;
    }

    // Adds a folder to a panel through the add card after its folder cards, as a person who
    // sees where the link is now: waits until the link stands right of `after`, clicks it and
    // chooses `path`. Returns where the link was.
    int add_folder(int top, int after, const std::string& title, const std::string& path) {
        move_pointer(session, 0, 0);
        int x = -1;
        std::optional<screenshot_s> shot =
            screenshot_when("adding_" + std::to_string(top), [&](const screenshot_s& s) {
                x = add_card_x(s, top);
                return x > after;
            });
        EXPECT_GT(x, after) << "no add card after the folder cards";
        if (x <= after || !click(x + 10, top + 28)) {
            return -1;
        }
        choose_in_chooser(title, path);
        return x;
    }

    // The memory-limit line, the limit typed over the suggestion.
    void type_memory_limit(const std::string& gib) {
        ASSERT_TRUE(click(60, 443));
        ASSERT_TRUE(press_keys(session, window, "ctrl+a"));
        ASSERT_TRUE(type_text(session, window, gib));
    }

    // The limit typed, then OK.
    void set_memory_limit(const std::string& gib) {
        ASSERT_NO_FATAL_FAILURE(type_memory_limit(gib));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_TRUE(click(320, 356));
    }

    // Starts the program, chooses both folders, types the small limit and starts the run;
    // returns once the progress screen shows. The screenshots are saved under the two names.
    void start_run(const std::string& before_name, const std::string& running_name) {
        ASSERT_NO_FATAL_FAILURE(start());
        ASSERT_NO_FATAL_FAILURE(choose_both_folders());
        ASSERT_NO_FATAL_FAILURE(set_memory_limit(typed_limit));
        move_pointer(session, 0, 0);
        ASSERT_TRUE(screenshot_when(
            before_name, [&](const screenshot_s& s) { return at(s, 490, 420) == button_enabled; }));
        ASSERT_TRUE(click(550, 436));
        std::optional<screenshot_s> shot = screenshot_when(
            running_name, [&](const screenshot_s& s) { return at(s, 24, 130) == accent_blue; });
        ASSERT_TRUE(shot);
        ASSERT_EQ(at(*shot, 24, 130), accent_blue) << "the run did not start";
    }

    // Waits until the configuration screen is back, with a plan to start.
    void expect_config_screen_with_plan(const std::string& name) {
        move_pointer(session, 0, 0);
        std::optional<screenshot_s> shot = screenshot_when(name, [&](const screenshot_s& s) {
            return at(s, 26, 322) == accent_blue && at(s, 490, 420) == button_enabled;
        });
        ASSERT_TRUE(shot);
        ASSERT_EQ(at(*shot, 26, 322), accent_blue) << "not the configuration screen";
        ASSERT_EQ(at(*shot, 490, 420), button_enabled) << "no plan to start";
    }

    // Starts the run and answers "Done!" with Yes (Alt+Y: Return is No); the program must end
    // with 0.
    void run_to_the_end() {
        ASSERT_TRUE(click(550, 436));
        unsigned long done = find_window(session, "Done!", 600);
        ASSERT_NE(done, 0u) << "the run never ended";
        ASSERT_TRUE(press_keys(session, done, "alt+y"));
        EXPECT_EQ(wait_for_exit(program, patience), 0);
    }

    // Answers every box with Return (No to a question) until "Done!" comes; its window, or 0
    // when it never came. The titles answered, in order, go to `answered`.
    unsigned long answer_until_done(std::vector<std::string>& answered, const std::string& shot) {
        auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < std::chrono::seconds(120)) {
            if (unsigned long done = find_window(session, "Done!", 0)) {
                take_screenshot(session, std::string(SCREENSHOT_FOLDER) + "/" + shot + "_done.png");
                return done;
            }
            for (const char* title : {"Error", "Out of space", "Warning"}) {
                if (unsigned long box = find_window(session, title, 0)) {
                    answered.push_back(title);
                    press_keys(session, box, "Return");
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return 0;
    }

    // Writes the merged plots and the single one into the plots' folder; their paths.
    std::vector<std::string> write_plots() {
        std::vector<std::string> paths;
        for (const plot_spec_s& plot : merged_plots) {
            paths.push_back(write_poc1_plot(plots_folder, plot));
        }
        paths.push_back(write_poc1_plot(plots_folder, single_plot));
        for (const std::string& path : paths) {
            EXPECT_FALSE(path.empty());
        }
        return paths;
    }
};

TEST_F(end_to_end_test, a_person_converts_a_folder_of_plots_and_lets_the_sources_go) {
    ASSERT_NO_FATAL_FAILURE(use_slow_source_drive());
    if (IsSkipped()) {
        return;
    }
    std::vector<std::string> sources = write_plots();
    // Files that are not optimized PoC1 plots stay where they are.
    std::ofstream(plots_folder + "/notes.txt") << "not a plot\n";
    std::ofstream(plots_folder + "/3_0_16") << "a PoC2 name\n";

    ASSERT_NO_FATAL_FAILURE(start());

    // At start: the merge box is blue, the start button greyed.
    std::optional<screenshot_s> shot = screenshot_when("start", [&](const screenshot_s& s) {
        return at(s, 26, 322) == accent_blue && at(s, 490, 420) == button_disabled;
    });
    ASSERT_TRUE(shot);
    EXPECT_EQ(at(*shot, 26, 322), accent_blue);
    EXPECT_EQ(at(*shot, 490, 420), button_disabled);

    // The add cards of the two panels open the chooser.
    ASSERT_NO_FATAL_FAILURE(choose_both_folders());

    // With a plan the start button is enabled; the merge box shows its white cross.
    move_pointer(session, 0, 0);
    shot = screenshot_when("config_with_plan", [&](const screenshot_s& s) {
        return at(s, 490, 420) == button_enabled;
    });
    ASSERT_TRUE(shot);
    EXPECT_EQ(at(*shot, 490, 420), button_enabled) << "no plan after choosing both folders";
    EXPECT_EQ(at(*shot, 26, 322), accent_blue);
    EXPECT_EQ(at(*shot, 36, 332), white) << "the merge box has no cross";
    EXPECT_EQ(at(*shot, 10, 10), white);

    // Merging off and on again: grey without a cross, then blue.
    ASSERT_TRUE(click(300, 330));
    move_pointer(session, 0, 0);
    shot = screenshot_when(
        "merge_off", [&](const screenshot_s& s) { return at(s, 26, 322) == option_off_grey; });
    ASSERT_TRUE(shot);
    EXPECT_EQ(at(*shot, 26, 322), option_off_grey);
    EXPECT_EQ(at(*shot, 36, 332), option_off_grey);
    ASSERT_TRUE(click(300, 330));
    move_pointer(session, 0, 0);
    shot = screenshot_when("merge_on",
                           [&](const screenshot_s& s) { return at(s, 26, 322) == accent_blue; });
    ASSERT_TRUE(shot);
    EXPECT_EQ(at(*shot, 36, 332), white);

    // A small memory limit, typed.
    ASSERT_GT(typed_limit_bytes, smallest_budget(true)) << "the typed limit would be raised";
    ASSERT_NO_FATAL_FAILURE(set_memory_limit(typed_limit));

    // Start. Mid-run the progress screen shows the read panel's blue frame and the write
    // panel's green one, each with its rate graph filled in its pale colour at the right end.
    ASSERT_TRUE(click(550, 436));
    shot = screenshot_when("progress", [&](const screenshot_s& s) {
        return at(s, 520, 185) == read_pale && at(s, 520, 407) == write_pale;
    });
    ASSERT_TRUE(shot);
    EXPECT_EQ(find_window(session, "Done!", 0), 0u) << "the screenshot is not from mid-run";
    EXPECT_EQ(at(*shot, 24, 130), accent_blue) << "no read panel";
    EXPECT_EQ(at(*shot, 24, 352), write_green) << "no write panel";
    EXPECT_EQ(at(*shot, 520, 185), read_pale) << "no read rate graph";
    EXPECT_EQ(at(*shot, 520, 407), write_pale) << "no write rate graph";
    EXPECT_EQ(at(*shot, 560, 200), white);

    // The end: "Done!" asks about the sources; Yes deletes them and ends the program.
    unsigned long done = find_window(session, "Done!", 600);
    ASSERT_NE(done, 0u) << "the run never ended";
    ASSERT_TRUE(press_keys(session, done, "alt+y"));
    EXPECT_EQ(wait_for_exit(program, patience), 0);

    // The limit typed into the text box is the one the run used.
    std::string log = read_text_file(folder.path + "/log_swizzle.txt");
    std::string used = std::string("limiting use to ") + size_text(typed_limit_bytes, true) + "\n";
    EXPECT_NE(log.find(used), std::string::npos) << log;

    // Every output passes the checker; nothing is left under a temporary name.
    std::vector<std::string> outputs;
    for (const fs::directory_entry& entry : fs::directory_iterator(destination)) {
        outputs.push_back(entry.path().filename().string());
    }
    std::sort(outputs.begin(), outputs.end());
    EXPECT_EQ(outputs, (std::vector<std::string>{"1_0_256", "2_5000_200"}));
    EXPECT_EQ(check_poc2_file(destination + "/1_0_256", merged_plots), "");
    EXPECT_EQ(check_poc2_file(destination + "/2_5000_200", {single_plot}), "");

    // Exactly the converted sources are gone.
    for (const std::string& path : sources) {
        EXPECT_FALSE(fs::exists(path)) << path << " was converted and should be gone";
    }
    EXPECT_TRUE(fs::exists(plots_folder + "/notes.txt"));
    EXPECT_TRUE(fs::exists(plots_folder + "/3_0_16"));
}

TEST_F(end_to_end_test, closing_the_window_mid_run_asks_first_and_yes_ends_it_with_status_0) {
    ASSERT_NO_FATAL_FAILURE(use_slow_source_drive());
    if (IsSkipped()) {
        return;
    }
    std::vector<std::string> sources = write_plots();
    ASSERT_NO_FATAL_FAILURE(start_run("before_close", "closing"));

    ASSERT_TRUE(close_window(session, window));
    unsigned long question = find_window(session, "Stop conversion?", patience);
    ASSERT_NE(question, 0u) << "closing mid-run did not ask";
    EXPECT_EQ(transient_for(session, question), window);
    ASSERT_TRUE(press_keys(session, question, "alt+y"));
    EXPECT_EQ(wait_for_exit(program, patience), 0);

    // The run stopped where it was: its target stays under the temporary name, and no source
    // was touched.
    int temporary = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(destination)) {
        temporary += entry.path().extension() == ".swizzling";
    }
    EXPECT_EQ(temporary, 1);
    for (const std::string& path : sources) {
        EXPECT_TRUE(fs::exists(path)) << path;
    }
}

TEST_F(end_to_end_test, closing_the_window_mid_run_and_answering_no_lets_the_run_finish) {
    ASSERT_NO_FATAL_FAILURE(use_slow_source_drive());
    if (IsSkipped()) {
        return;
    }
    std::vector<std::string> sources = write_plots();
    ASSERT_NO_FATAL_FAILURE(start_run("before_close_no", "closing_no"));

    ASSERT_TRUE(close_window(session, window));
    unsigned long question = find_window(session, "Stop conversion?", patience);
    ASSERT_NE(question, 0u) << "closing mid-run did not ask";
    ASSERT_TRUE(press_keys(session, question, "alt+n"));

    // The window stays and the run goes on to its end; "Done!" answered No keeps the sources.
    unsigned long done = find_window(session, "Done!", 600);
    ASSERT_NE(done, 0u) << "the run never ended";
    EXPECT_EQ(find_window(session, "Scoopshift", 0), window);
    ASSERT_TRUE(press_keys(session, done, "alt+n"));
    EXPECT_EQ(wait_for_exit(program, patience), 0);

    std::vector<std::string> outputs;
    for (const fs::directory_entry& entry : fs::directory_iterator(destination)) {
        outputs.push_back(entry.path().filename().string());
    }
    std::sort(outputs.begin(), outputs.end());
    EXPECT_EQ(outputs, (std::vector<std::string>{"1_0_256", "2_5000_200"}));
    EXPECT_EQ(check_poc2_file(destination + "/1_0_256", merged_plots), "");
    EXPECT_EQ(check_poc2_file(destination + "/2_5000_200", {single_plot}), "");
    for (const std::string& path : sources) {
        EXPECT_TRUE(fs::exists(path)) << path;
    }
}

// A farm: two source folders and two destinations, each on a drive of its own where mounting is
// allowed (so that the two conversions run at once), otherwise plain folders on one drive.
TEST_F(end_to_end_test, a_person_converts_two_source_folders_onto_two_destinations) {
    small_volume_s first_source(folder.path + "/source-1", "16m");
    small_volume_s second_source(folder.path + "/source-2", "16m");
    small_volume_s first_destination(folder.path + "/destination-1", "16m");
    small_volume_s second_destination(folder.path + "/destination-2", "16m");
    bool own_drives = first_source.mounted && second_source.mounted && first_destination.mounted &&
                      second_destination.mounted;
    // Two plots of account 1 that merge, in the first folder; two single ones in the second.
    const std::vector<plot_spec_s> first_plots = {{1, 0, 8}, {1, 8, 8}};
    const std::vector<plot_spec_s> second_plots = {{2, 0, 8}, {3, 16, 4}};
    std::vector<std::string> sources;
    for (const plot_spec_s& plot : first_plots) {
        sources.push_back(write_poc1_plot(first_source.path, plot));
    }
    for (const plot_spec_s& plot : second_plots) {
        sources.push_back(write_poc1_plot(second_source.path, plot));
    }
    for (const std::string& path : sources) {
        ASSERT_FALSE(path.empty());
    }

    ASSERT_NO_FATAL_FAILURE(start());
    constexpr int source_top = 154;
    constexpr int destination_top = 244;
    int x = add_folder(source_top, 0, "Path to source", first_source.path);
    ASSERT_GT(x, 0);
    ASSERT_GT(add_folder(source_top, x, "Path to source", second_source.path), x);
    x = add_folder(destination_top, 0, "Path to destination", first_destination.path);
    ASSERT_GT(x, 0);
    ASSERT_GT(add_folder(destination_top, x, "Path to destination", second_destination.path), x);

    move_pointer(session, 0, 0);
    std::optional<screenshot_s> shot =
        screenshot_when("two_folders_each",
                        [&](const screenshot_s& s) { return at(s, 490, 420) == button_enabled; });
    ASSERT_TRUE(shot);
    ASSERT_EQ(at(*shot, 490, 420), button_enabled) << "no plan after choosing four folders";
    ASSERT_NO_FATAL_FAILURE(run_to_the_end());

    // The plan covered both source folders: three jobs, the last planning's count.
    std::string log = read_text_file(folder.path + "/log_swizzle.txt");
    std::size_t last_count = log.rfind(" total jobs\n");
    ASSERT_NE(last_count, std::string::npos) << log;
    EXPECT_EQ(log.rfind(" 3 total jobs\n"), last_count - 2) << log;
    if (own_drives) {
        EXPECT_NE(log.find("Converting on 2 drives at once"), std::string::npos) << log;
    }

    // Every output is whole and right, spread over both destinations, none left unfinished.
    std::vector<std::string> outputs;
    for (const std::string* destination : {&first_destination.path, &second_destination.path}) {
        int here = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(*destination)) {
            outputs.push_back(entry.path().filename().string());
            ++here;
        }
        EXPECT_GT(here, 0) << *destination << " was given nothing";
    }
    std::sort(outputs.begin(), outputs.end());
    ASSERT_EQ(outputs, (std::vector<std::string>{"1_0_16", "2_0_8", "3_16_4"}));
    auto output = [&](const std::string& name) {
        std::string in_first = first_destination.path + "/" + name;
        return fs::exists(in_first) ? in_first : second_destination.path + "/" + name;
    };
    EXPECT_EQ(check_poc2_file(output("1_0_16"), first_plots), "");
    EXPECT_EQ(check_poc2_file(output("2_0_8"), {second_plots[0]}), "");
    EXPECT_EQ(check_poc2_file(output("3_16_4"), {second_plots[1]}), "");

    // "Done!" was answered Yes: every source is gone.
    for (const std::string& path : sources) {
        EXPECT_FALSE(fs::exists(path)) << path << " was converted and should be gone";
    }
}

TEST_F(end_to_end_test, a_limit_too_small_to_convert_with_is_raised_on_the_entry_screen) {
    const plot_spec_s plot = {3, 0, 16};
    std::string path = write_poc1_plot(source, plot);
    ASSERT_NE(path, "");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(choose_both_folders());

    // 0.000002 GiB (2.1 KiB) is below the least a conversion works with: the entry says what
    // the limit will be.
    ASSERT_LT(2147u, smallest_budget(false));
    ASSERT_NO_FATAL_FAILURE(type_memory_limit("0.000002"));
    auto note_pixels = [&](const screenshot_s& shot) {
        int count = 0;
        for (int y = 298; y < 316; ++y) {
            for (int x = 60; x < 580; ++x) {
                count += at(shot, x, y) == accent_blue;
            }
        }
        return count;
    };
    std::optional<screenshot_s> shot = screenshot_when(
        "tiny_limit_entry", [&](const screenshot_s& s) { return note_pixels(s) > 20; });
    ASSERT_TRUE(shot);
    EXPECT_GT(note_pixels(*shot), 20) << "no note under the memory figures";

    ASSERT_TRUE(press_keys(session, window, "Return"));
    ASSERT_NO_FATAL_FAILURE(expect_config_screen_with_plan("tiny_limit_config"));
    ASSERT_NO_FATAL_FAILURE(run_to_the_end());

    // The run converted with the smallest workable limit for a plan without merged jobs, which
    // the entry set: the limit never reached the start too small.
    std::string log = read_text_file(folder.path + "/log_swizzle.txt");
    std::string used =
        std::string("limiting use to ") + size_text(smallest_budget(false), true) + "\n";
    EXPECT_NE(log.find(used), std::string::npos) << log;
    EXPECT_EQ(log.find("cannot hold one chunk"), std::string::npos) << log;
    EXPECT_EQ(log.find("Failed to allocate"), std::string::npos) << log;
    EXPECT_EQ(check_poc2_file(destination + "/3_0_16", {plot}), "");
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(end_to_end_test, enter_keeps_the_typed_limit_and_escape_leaves_it_unchanged) {
    const plot_spec_s plot = {3, 0, 16};
    std::string path = write_poc1_plot(source, plot);
    ASSERT_NE(path, "");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(choose_both_folders());

    // Enter confirms what was typed and goes back to the configuration screen.
    ASSERT_GT(typed_limit_bytes, smallest_budget(false)) << "the typed limit would be raised";
    ASSERT_NO_FATAL_FAILURE(type_memory_limit(typed_limit));
    ASSERT_TRUE(press_keys(session, window, "Return"));
    ASSERT_NO_FATAL_FAILURE(expect_config_screen_with_plan("after_enter"));

    // Escape goes back too, and what was typed is forgotten.
    ASSERT_NO_FATAL_FAILURE(type_memory_limit("7"));
    ASSERT_TRUE(press_keys(session, window, "Escape"));
    ASSERT_NO_FATAL_FAILURE(expect_config_screen_with_plan("after_escape"));

    ASSERT_NO_FATAL_FAILURE(run_to_the_end());
    std::string log = read_text_file(folder.path + "/log_swizzle.txt");
    std::string used = std::string("limiting use to ") + size_text(typed_limit_bytes, true) + "\n";
    EXPECT_NE(log.find(used), std::string::npos) << log;
    EXPECT_EQ(check_poc2_file(destination + "/3_0_16", {plot}), "");
}

// An evening with three source drives and two destinations: the folders chosen with the
// keyboard and read with the wheel, one plot cut short, a destination filled by another
// program, the window closed mid-run and the run taken up again, "Done!" answered with Return
// (nothing is deleted), then with Yes. Screenshots of each step: end_to_end_evening_*.png.
TEST_F(end_to_end_test, an_evening_of_a_farmer_with_three_drives_and_two_destinations) {
    small_volume_s first(folder.path + "/first-source-drive", "8m");
    small_volume_s second(folder.path + "/second-source-drive", "8m");
    small_volume_s one(folder.path + "/first-destination", "16m");
    small_volume_s two(folder.path + "/second-destination", "12m");
    if (!first.mounted || !second.mounted || !one.mounted || !two.mounted) {
        GTEST_SKIP() << "drives of their own need root and tmpfs";
    }
    // The third source is slow, so that the first run is still going when the window closes.
    plots_folder = folder.path + "/store";
    ASSERT_EQ(mkdir(plots_folder.c_str(), 0755), 0);
    fault_volume_s third(plots_folder, folder.path + "/third-source-drive",
                         {"--read-delay-ms", "5"});
    if (!third.why_not.empty()) {
        GTEST_SKIP() << "no slow drive: " << third.why_not;
    }
    // A plot cut short comes first in its stream; the good one after it must not wait.
    std::string bad = write_poc1_plot(first.path, {1, 0, 8});
    ASSERT_EQ(truncate(bad.c_str(), 262144 * 5), 0);
    const plot_spec_s good = {2, 0, 8}, slow = {4, 0, 16};
    const std::vector<plot_spec_s> merged = {{3, 0, 8}, {3, 8, 8}};
    std::string good_source = write_poc1_plot(first.path, good);
    std::string slow_source = write_poc1_plot(plots_folder, slow);
    std::vector<std::string> merged_sources = {write_poc1_plot(second.path, merged[0]),
                                               write_poc1_plot(second.path, merged[1])};
    std::string shots = std::string(SCREENSHOT_FOLDER) + "/end_to_end_evening_";
    std::string filler = two.path + "/another-program";

    // Run 1: every folder chosen with Tab and Return, the strip read back with the wheel.
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(set_focus(session, window));
    ASSERT_TRUE(press_keys(session, window, "Tab"));
    for (const std::string* path : {&first.path, &second.path, &third.path, &one.path, &two.path}) {
        bool source = path != &one.path && path != &two.path;
        // Tab to the source panel's add card first, then on to the destination panel's.
        ASSERT_TRUE(press_keys(session, window, path == &one.path ? "Tab Return" : "Return"));
        ASSERT_NO_FATAL_FAILURE(
            choose_in_chooser(source ? "Path to source" : "Path to destination", *path));
    }
    // The strip of three sources overflows and ends scrolled to its add card: the left arrow
    // shows; notches of the wheel back and the first card is whole again.
    auto left_arrow = [&](const screenshot_s& shot) {
        int ink = 0;
        for (int y = 154; y < 218; ++y) {
            for (int x = 0; x < 32; ++x) {
                ink += at(shot, x, y) != white;
            }
        }
        return ink > 20;
    };
    move_pointer(session, client.x + 300, client.y + 180);
    ASSERT_TRUE(screenshot_when("evening_1_chosen", left_arrow));
    ASSERT_TRUE(run_in_session(session, "xdotool click --repeat 12 --delay 30 4").status == 0);
    std::optional<screenshot_s> shot =
        screenshot_when("evening_1_wheel", [&](const screenshot_s& s) { return !left_arrow(s); });
    ASSERT_TRUE(shot);
    EXPECT_FALSE(left_arrow(*shot)) << "the wheel did not scroll the strip";
    ASSERT_NO_FATAL_FAILURE(set_memory_limit(typed_limit));
    std::ofstream(filler) << std::string(10 << 20, 'f'); // another program fills a destination
    move_pointer(session, 0, 0);
    ASSERT_TRUE(screenshot_when("evening_1_plan", [&](const screenshot_s& s) {
        return at(s, 490, 420) == button_enabled;
    }));
    ASSERT_TRUE(click(550, 436));

    // The second destination has no room: Return gives that plot up, nothing else. Its question
    // and the bad plot's box come one at a time, in whichever order their streams met them.
    auto answer_out_of_space = [&] {
        unsigned long full = find_window(session, "Out of space", patience);
        ASSERT_NE(full, 0u);
        take_screenshot(session, shots + "1_out_of_space.png");
        ASSERT_TRUE(press_keys(session, full, "Return"));
    };
    bool question_first = false;
    unsigned long error = 0;
    for (auto start = std::chrono::steady_clock::now();
         error == 0 &&
         std::chrono::steady_clock::now() - start < std::chrono::duration<double>(patience);) {
        error = find_window(session, "Error", 0);
        if (error == 0 && !question_first && find_window(session, "Out of space", 0) != 0) {
            question_first = true;
            ASSERT_NO_FATAL_FAILURE(answer_out_of_space());
        }
    }
    // The bad plot's box stays open while its drive goes on to the next plot.
    ASSERT_NE(error, 0u);
    std::string good_output = one.path + "/2_0_8";
    for (int i = 0; i < 200 && !fs::exists(good_output); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(fs::exists(good_output)) << "the drive waited for the box to be answered";
    EXPECT_EQ(find_window(session, "Error", 0), error);
    take_screenshot(session, shots + "1_error.png");
    ASSERT_TRUE(press_keys(session, error, "Return"));
    if (!question_first) {
        ASSERT_NO_FATAL_FAILURE(answer_out_of_space());
    }

    // Closing mid-run asks; Return keeps the run going, Yes ends it.
    for (const char* keys : {"Return", "alt+y"}) {
        ASSERT_TRUE(close_window(session, window));
        unsigned long stop = find_window(session, "Stop conversion?", patience);
        ASSERT_NE(stop, 0u) << "the run ended before the window closed: the drive is too fast";
        take_screenshot(session, shots + "1_stop.png");
        ASSERT_TRUE(press_keys(session, stop, keys));
        for (int i = 0; i < 100 && find_window(session, "Stop conversion?", 0) == stop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    EXPECT_EQ(wait_for_exit(program, patience), 0);
    EXPECT_TRUE(fs::exists(one.path + "/4_0_16.swizzling")) << "the slow plot was under way";

    // Run 2, the slow drive quick again and the room made: the rest converts, and "Done!"
    // answered with Return deletes nothing.
    ASSERT_TRUE(set_fault_cues(third, "read_delay_ms=0"));
    std::remove(filler.c_str());
    auto run_again = [&](const std::string& shot) {
        ASSERT_NO_FATAL_FAILURE(start());
        int x = 0;
        for (const std::string* source : {&first.path, &second.path, &third.path}) {
            x = add_folder(154, 0, "Path to source", *source);
            ASSERT_GT(x, 0);
        }
        x = add_folder(244, 0, "Path to destination", one.path);
        ASSERT_GT(add_folder(244, x, "Path to destination", two.path), x);
        ASSERT_TRUE(click(550, 436));
        std::vector<std::string> answered;
        unsigned long done = answer_until_done(answered, shot);
        ASSERT_NE(done, 0u) << read_text_file(folder.path + "/log_swizzle.txt");
        EXPECT_EQ(answered, (std::vector<std::string>{"Error", "Warning"})) << "the bad plot";
        ASSERT_TRUE(press_keys(session, done, shot.back() == '2' ? "Return" : "alt+y"));
        EXPECT_EQ(wait_for_exit(program, patience), 1) << "the bad plot was not converted";
    };
    ASSERT_NO_FATAL_FAILURE(run_again("end_to_end_evening_2"));
    for (const std::string& path : {bad, good_source, slow_source, merged_sources[0]}) {
        EXPECT_TRUE(fs::exists(path)) << path << ": Return on \"Done!\" deletes nothing";
    }

    // Run 3, a plot made meanwhile: Yes deletes the sources of this run's plots, and only those.
    const plot_spec_s late = {7, 0, 8};
    std::string late_source = write_poc1_plot(second.path, late);
    ASSERT_NO_FATAL_FAILURE(run_again("end_to_end_evening_3"));
    auto output = [&](const std::string& name) {
        return fs::exists(one.path + "/" + name) ? one.path + "/" + name : two.path + "/" + name;
    };
    EXPECT_EQ(check_poc2_file(output("2_0_8"), {good}), "");
    EXPECT_EQ(check_poc2_file(output("4_0_16"), {slow}), "");
    EXPECT_EQ(check_poc2_file(output("3_0_16"), merged), "");
    EXPECT_EQ(check_poc2_file(output("7_0_8"), {late}), "");
    EXPECT_FALSE(fs::exists(output("1_0_8")));
    EXPECT_FALSE(fs::exists(late_source)) << "converted by the last run";
    for (const std::string& path :
         {bad, good_source, slow_source, merged_sources[0], merged_sources[1]}) {
        EXPECT_TRUE(fs::exists(path)) << path << ": its output was not the last run's";
    }
}

// The two options of the configuration screen, each started from the window: a plot converted
// in place, then a folder converted with every output checked before its name.
TEST_F(end_to_end_test, in_place_and_check_before_deleting_convert_from_the_window) {
    const plot_spec_s plot = {6, 0, 24};
    std::string path = write_poc1_plot(source, plot);
    ASSERT_NE(path, "");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(click(60, 190));
    ASSERT_NO_FATAL_FAILURE(choose_in_chooser("Path to source", source));
    ASSERT_TRUE(click(300, 396)); // Convert in place
    move_pointer(session, 0, 0);
    ASSERT_TRUE(screenshot_when("in_place", [&](const screenshot_s& s) {
        return at(s, 26, 386) == accent_blue && at(s, 490, 420) == button_enabled;
    }));
    ASSERT_TRUE(click(550, 436));
    EXPECT_EQ(wait_for_exit(program, 120), 0) << "in place asks nothing at the end";
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(check_poc2_file(source + "/6_0_24", {plot}), "");

    // The converted plot is a PoC2 plot now; a fresh one is converted with the check.
    std::remove((source + "/6_0_24").c_str());
    ASSERT_NE(write_poc1_plot(source, plot), "");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(choose_both_folders());
    ASSERT_TRUE(click(300, 364)); // Check before deleting
    move_pointer(session, 0, 0);
    ASSERT_TRUE(screenshot_when("check_before_deleting", [&](const screenshot_s& s) {
        return at(s, 26, 354) == accent_blue && at(s, 490, 420) == button_enabled;
    }));
    ASSERT_NO_FATAL_FAILURE(run_to_the_end());
    EXPECT_EQ(check_poc2_file(destination + "/6_0_24", {plot}), "");
    EXPECT_FALSE(fs::exists(path));
    std::string log = read_text_file(folder.path + "/log_swizzle.txt");
    EXPECT_NE(log.find("Verified " + destination + "/6_0_24.swizzling\n"), std::string::npos)
        << log;
}

// A double click on "Click to select...": the chooser takes the first click, and the second
// lands on the card just added under the pointer. It removes nothing.
TEST_F(end_to_end_test, a_double_click_on_the_add_card_keeps_the_folder_chosen) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(click(60, 190));
    ASSERT_NO_FATAL_FAILURE(choose_in_chooser("Path to source", source));
    ASSERT_TRUE(run_in_session(session, "xdotool click --repeat 2 --delay 80 1").status == 0);
    move_pointer(session, 0, 0);
    std::optional<screenshot_s> shot = screenshot_when(
        "double_click", [&](const screenshot_s& s) { return add_card_x(s, 154) > 40; });
    ASSERT_TRUE(shot);
    EXPECT_GT(add_card_x(*shot, 154), 40) << "the folder's card is gone";
    EXPECT_EQ(find_window(session, "Remove folder?", 0), 0u);
    ASSERT_TRUE(close_window(session, window));
    EXPECT_EQ(wait_for_exit(program, patience), 0);
}

} // namespace
