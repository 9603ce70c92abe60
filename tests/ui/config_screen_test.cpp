#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/drives.h"
#include "catalogue/planning.h"
#include "catalogue/plot_format.h"
#include "screen_fixture.h"
#include "support/plot_files.h"
#include "support/scripted_boxes.h"
#include "swizzler/buffer_sizing.h"
#include "swizzler/farm.h"
#include "ui/config_screen.h"
#include "ui/host_hooks.h"
#include "ui/progress_screen.h"
#include "util/drive_identity.h"
#include "util/memory_status.h"
#include "util/size_text.h"
#include "util/ui_tasks.h"

namespace {

constexpr std::uint32_t white = 0xffffffff;
constexpr std::uint32_t grey = 0xff707070;
constexpr std::uint32_t accent_blue = 0xff117dbb;
constexpr std::uint64_t gib = 1024ull * 1024 * 1024;

constexpr const char* prompt = "Select source and destination drives for plot conversion to PoC2.";

struct config : screen_fixture {
    temp_folder_s source;
    temp_folder_s destination;

    bool draws(void (*screen)()) {
        auto* installed = record().draw.target<void (*)()>();
        return installed && *installed == screen;
    }

    // Three adjacent plots of 8 nonces of account 1 in the source folder, both folders chosen.
    void choose_three_adjacent_plots() {
        for (std::uint64_t start : {0, 8, 16}) {
            ASSERT_NE(write_poc1_plot(source.path, {1, start, 8}), "");
        }
        add_drive(source_list, source.path);
        add_drive(destination_list, destination.path);
    }

    void expect_box(bool on) {
        std::uint32_t box = on ? accent_blue : 0xffd0d0d0;
        EXPECT_EQ(pixel_at(surface(), 25, 321), box);
        EXPECT_EQ(pixel_at(surface(), 47, 343), box);
        EXPECT_EQ(pixel_at(surface(), 24, 344), white);
        // The cross: its centre and the four ends of its strokes.
        EXPECT_EQ(pixel_at(surface(), 36, 332), on ? white : box);
        EXPECT_EQ(pixel_at(surface(), 31, 327), on ? white : box);
        EXPECT_EQ(pixel_at(surface(), 41, 327), on ? white : box);
        EXPECT_EQ(pixel_at(surface(), 36, 324), box);
    }
};

TEST_F(config, at_start_it_prompts_and_offers_nothing_to_start) {
    move(5, 5);
    paint(config_screen);
    save_screen(surface(), "config_start");
    EXPECT_EQ(pixel_at(surface(), 5, 5), white);
    EXPECT_EQ(pixel_at(surface(), 639, 479), white);
    EXPECT_TRUE(shows_text("Config", 22, 0xff000000, 18, 24));
    EXPECT_TRUE(shows_text(prompt, 10, grey, 24, 74));
    EXPECT_TRUE(shows_text("Source folders", 14, 0xff000000, 24, 140));
    EXPECT_TRUE(shows_text("Destination folders", 14, 0xff000000, 24, 230));
    EXPECT_TRUE(shows_text("Click to select...", 12, accent_blue, 40, 170));
    EXPECT_TRUE(shows_text("Click to select...", 12, accent_blue, 40, 260));
    expect_box(true);
    EXPECT_TRUE(shows_text("Merge adjacent plots", 12, grey, 58, 323.996f));
    EXPECT_TRUE(shows_text("Max RAM: Automatic", 12, grey, 24, 438));
    // The greyed start button.
    EXPECT_EQ(pixel_at(surface(), 490, 420), 0xffccccccu);
    EXPECT_TRUE(all_color(surface(), 486, 416, 131, 1, 0xffadadad));
    EXPECT_GT(count_color(surface(), 487, 417, 129, 39, 0xff7e859c), 20);

    click(551, 436);
    EXPECT_TRUE(draws(config_screen));
    EXPECT_TRUE(the_farm().streams.empty());
    EXPECT_EQ(repaints, 0);
}

TEST_F(config, the_whole_merge_line_toggles_the_option_and_lights_up) {
    paint(config_screen);
    move(615, 343);
    EXPECT_EQ(repaints, 1);
    repaint();
    EXPECT_TRUE(shows_text("Merge adjacent plots", 12, accent_blue, 58, 323.996f));

    click(615, 343);
    EXPECT_FALSE(merge_adjacent);
    EXPECT_EQ(repaints, 2);
    repaint();
    save_screen(surface(), "config_merge_off");
    expect_box(false);

    click(24, 320);
    EXPECT_TRUE(merge_adjacent);
    click(616, 330); // just beyond the line
    click(300, 344);
    EXPECT_TRUE(merge_adjacent);
}

// With both folders chosen and nothing to start, the plan line says why instead of prompting
// for folders that are already there.
TEST_F(config, without_a_plan_the_line_says_why_the_button_is_disabled) {
    add_drive(source_list, source.path);
    add_drive(destination_list, destination.path);
    paint(config_screen);
    save_screen(surface(), "config_no_plots");
    EXPECT_TRUE(the_plan().jobs.empty());
    EXPECT_TRUE(
        shows_text("No optimized PoC1 plots found in the source folder: nothing to convert.", 10,
                   grey, 24, 74));
    EXPECT_EQ(pixel_at(surface(), 490, 420), 0xffccccccu);

    // Plots whose outputs are all in the destination already.
    choose_three_adjacent_plots();
    std::ofstream(destination.path + "/1_0_24") << "converted before";
    plan_jobs();
    repaint();
    save_screen(surface(), "config_all_there");
    EXPECT_TRUE(shows_text(
        "Nothing to convert: every PoC2 plot of this plan (1) is already in the destination.", 10,
        grey, 24, 74));
    EXPECT_EQ(pixel_at(surface(), 490, 420), 0xffccccccu);

    // A destination too small: the line says so, and no box comes at each planning.
    scripted_boxes_s boxes;
    install_scripted_boxes(boxes);
    destination_drives.front() = {destination.path + "/full", 1000, 0, {}};
    plan_jobs();
    click(300, 330);
    click(300, 330);
    remove_scripted_boxes();
    EXPECT_TRUE(boxes.shown.empty()) << boxes.shown.front().text;
    repaint();
    save_screen(surface(), "config_no_room");
    EXPECT_TRUE(
        shows_text("Not enough space on the destination drive for the plots of the source folder.",
                   10, grey, 24, 74));
    EXPECT_EQ(pixel_at(surface(), 490, 420), 0xffccccccu);

    // No destination: the first prompt again.
    destination_drives.clear();
    plan_jobs();
    repaint();
    EXPECT_TRUE(shows_text(prompt, 10, grey, 24, 74));
}

TEST_F(config, a_plan_is_summed_up_and_the_merge_option_replans) {
    choose_three_adjacent_plots();
    paint(config_screen);
    save_screen(surface(), "config_plan");
    // 24 nonces of 262144 bytes in one job; the memory figure is what the one sizing rule gives
    // for the drives under the test's folders (which may spin).
    auto using_text = [](std::uint64_t largest, bool merged) {
        bool spins = plan_streams().at(0).rotational_drives;
        return std::string(" Using ") +
               size_text(size_buffers(read_memory_status(), largest, 0, merged, spins).buffer_bytes,
                         true) +
               " RAM";
    };
    EXPECT_TRUE(shows_text("6.3 MB of 3 PoC1 plots will be converted to 1 PoC2 plot." +
                               using_text(plot_size(24), true),
                           10, grey, 24, 74));
    EXPECT_EQ(pixel_at(surface(), 490, 420), 0xffe1e1e1u);
    EXPECT_GT(count_color(surface(), 487, 417, 129, 39, 0xff000000), 20);

    click(300, 330);
    repaint();
    EXPECT_TRUE(shows_text("6.3 MB of 3 PoC1 plots will be converted to 3 PoC2 plots." +
                               using_text(plot_size(8), false),
                           10, grey, 24, 74));
}

TEST_F(config, a_large_plan_with_a_limit_shows_the_limit_and_what_the_run_will_use) {
    if (read_memory_status().available_bytes < 3 * gib) {
        GTEST_SKIP() << "the estimate stays below 2 GiB with this little memory";
    }
    // Three adjacent plots of 4,000,000 nonces merged into one job.
    conversion_plan_s& plan = the_plan();
    plan.jobs.resize(1);
    plan.jobs[0].nonces = 12000000;
    plan.jobs[0].source_paths = {"1_0_4000000_4000000", "1_4000000_4000000_4000000",
                                 "1_8000000_4000000_4000000"};
    plan.bytes_total = 3145728000000;
    plan.largest_job_bytes = 3145728000000;
    plan.plot_count = 3;
    max_ram_bytes = 2 * gib;
    paint(config_screen);
    save_screen(surface(), "config_large_plan");
    // 2 GiB allows the most tiles of the largest size: 32 of 8 MiB.
    EXPECT_TRUE(
        shows_text("3.1 TB of 3 PoC1 plots will be converted to 1 PoC2 plot. Using 256.0 MiB RAM",
                   10, grey, 24, 74));
    EXPECT_TRUE(shows_text("Max RAM: 2.0 GiB", 12, grey, 24, 438));
}

// The plan line counts what will be converted, and nothing else; what is left out is on the
// line below, whose list a click opens; a shortfall is said once, when Start is pressed.
TEST_F(config, the_plan_line_counts_only_the_work_and_the_rest_is_listed_with_why) {
    scripted_boxes_s boxes;
    install_scripted_boxes(boxes);
    for (plot_spec_s plot : std::vector<plot_spec_s>{{1, 0, 8}, {2, 0, 8}, {3, 0, 40}}) {
        ASSERT_NE(write_poc1_plot(source.path, plot), "");
    }
    std::ofstream(source.path + "/4_0_8_8.part") << "a partial copy";
    std::ofstream(destination.path + "/2_0_8") << "converted before";
    add_drive(source_list, source.path);
    // Room for the 8-nonce plot, not for the 40-nonce one.
    destination_drives.push_back({destination.path, plot_size(20), 0, {}});
    plan_jobs();
    paint(config_screen);
    save_screen(surface(), "config_left_out");
    std::string memory = size_text(farm_buffer_bytes(read_memory_status(), the_plan(), 0), true);
    EXPECT_TRUE(shows_text("2.1 MB of 1 PoC1 plot will be converted to 1 PoC2 plot. Using " +
                               memory + " RAM",
                           10, grey, 24, 74));
    std::string left_out = "Not converted: 1 already in the destination, 1 fits on no destination "
                           "drive, 1 file set aside. Show why...";
    EXPECT_TRUE(shows_text(left_out, 10, grey, 24, 92));
    EXPECT_TRUE(boxes.shown.empty()) << "planning shows no box";

    // Verifying and in place say what they change.
    click(300, 364);
    repaint();
    EXPECT_TRUE(shows_text("2.1 MB of 1 PoC1 plot will be converted to 1 PoC2 plot and checked. "
                           "Using " +
                               memory + " RAM",
                           10, grey, 24, 74));
    click(300, 364);

    click(60, 97);
    ASSERT_EQ(shown_titles(boxes), std::vector<std::string>{"Not converted"});
    const std::string& list = boxes.shown[0].text;
    EXPECT_NE(list.find(destination.path + "/2_0_8\n"), std::string::npos) << list;
    EXPECT_NE(list.find("3_0_40 (10.5 MB)"), std::string::npos) << list;
    EXPECT_NE(list.find(source.path + "/4_0_8_8.part: "), std::string::npos) << list;

    // Start asks once about what fits nowhere; No (the default) starts nothing.
    click(551, 436);
    EXPECT_EQ(shown_titles(boxes).back(), "Not enough space");
    EXPECT_NE(boxes.shown.back().text.find("3_0_40"), std::string::npos);
    EXPECT_TRUE(draws(config_screen));
    EXPECT_TRUE(the_farm().streams.empty());
    remove_scripted_boxes();

    // In place needs no destination: the panel is greyed, merging and checking too.
    click(300, 396);
    repaint();
    save_screen(surface(), "config_in_place");
    EXPECT_TRUE(the_plan().in_place);
    EXPECT_TRUE(shows_text("Not needed: every plot is converted in its own file.", 12, 0xffb4b4b4,
                           40, 260));
    EXPECT_TRUE(shows_text(
        std::string("14.7 MB of 3 PoC1 plots will be converted in place to 3 PoC2 "
                    "plots. Using ") +
            size_text(farm_buffer_bytes(read_memory_status(), the_plan(), 0), true) + " RAM",
        10, grey, 24, 74));
    click(300, 330);
    EXPECT_TRUE(merge_adjacent) << "a greyed option takes no click";
    convert_in_place = false;
}

TEST_F(config, the_start_button_runs_the_plan_to_the_question_about_the_sources) {
    scripted_boxes_s boxes; // "Done!" is answered No: the sources stay
    install_scripted_boxes(boxes);
    set_ui_wake_handler([] { return true; });
    std::optional<int> quit_status;
    set_quit_handler([&](int status) { quit_status = status; });
    std::vector<std::pair<int, int>> timers;
    std::vector<double> progress;
    host_hooks().start_repaint_timer = [&](int w, int ms) { timers.emplace_back(w, ms); };
    host_hooks().set_launcher_progress = [&](int, double fraction) {
        progress.push_back(fraction);
    };

    // A second source folder on the same drive: one stream converts both folders' plots.
    temp_folder_s more;
    ASSERT_NE(write_poc1_plot(more.path, {2, 0, 8}), "");
    add_drive(source_list, more.path);
    choose_three_adjacent_plots();
    paint(config_screen);
    std::string memory = size_text(farm_buffer_bytes(read_memory_status(), the_plan(), 0), true);
    EXPECT_TRUE(shows_text("8.4 MB of 4 PoC1 plots will be converted to 2 PoC2 plots. Using " +
                               memory + " RAM",
                           10, grey, 24, 74));
    click(551, 436);
    EXPECT_TRUE(draws(progress_screen));
    EXPECT_EQ(timers, (std::vector<std::pair<int, int>>{{window, 1000}}));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 0.0);
    EXPECT_EQ(run_values.source_text, "2 folders on " + drive_of_folder(source.path).name);
    EXPECT_EQ(run_values.destination_text, destination.path);
    EXPECT_EQ(run_values.window, window);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!quit_status && std::chrono::steady_clock::now() < deadline) {
        run_ui_tasks();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(quit_status);
    EXPECT_EQ(*quit_status, 0);
    EXPECT_EQ(shown_titles(boxes), std::vector<std::string>{"Done!"});
    EXPECT_EQ(check_poc2_file(destination.path + "/1_0_24", {{1, 0, 8}, {1, 8, 8}, {1, 16, 8}}),
              "");
    EXPECT_EQ(check_poc2_file(destination.path + "/2_0_8", {{2, 0, 8}}), "");
    EXPECT_NE(read_text_file(source.path + "/1_0_8_8"), "");
    EXPECT_NE(read_text_file(more.path + "/2_0_8_8"), "");

    repaint();
    save_screen(surface(), "progress_finished");
    EXPECT_TRUE(shows_text_ink("100.0%", 18, 0xffdbedce, 26, 404));
    EXPECT_EQ(progress.back(), 1.0);

    // The work threads post their last tasks and then return; they must be gone before the
    // handlers they used are taken away.
    join_farm(the_farm());
    remove_scripted_boxes();
    set_ui_wake_handler(nullptr);
    set_quit_handler(nullptr);
}

} // namespace
