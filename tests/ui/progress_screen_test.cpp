#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "screen_fixture.h"
#include "support/temp_folder.h"
#include "swizzler/farm.h"
#include "ui/draw.h"
#include "ui/host_hooks.h"
#include "ui/progress_screen.h"
#include "util/drive_identity.h"
#include "util/size_text.h"

namespace {

constexpr std::uint32_t white = 0xffffffff;
constexpr std::uint32_t grey = 0xff707070;
constexpr std::uint32_t black = 0xff000000;

// A run over two drives at once: two streams of 600,000,000 and 400,000,000 bytes, whose
// counters the tests set; the screen shows their sums.
struct progress : screen_fixture {
    std::vector<double> launcher;
    swizzler_s* first = nullptr;
    swizzler_s* second = nullptr;

    void SetUp() override {
        screen_fixture::SetUp();
        host_hooks().set_launcher_progress = [this](int, double f) { launcher.push_back(f); };
        run_values.source_text = "/media/source-disk";
        run_values.destination_text = "/media/destination-disk";
        run_values.farm = &the_farm();
        run_values.window = window;
        for (std::uint64_t total : {600000000ull, 400000000ull}) {
            auto stream = std::make_unique<swizzler_s>();
            stream->plan.bytes_total = total;
            the_farm().streams.push_back(std::move(stream));
        }
        first = the_farm().streams[0].get();
        second = the_farm().streams[1].get();
    }

    void start_seconds_ago(double seconds) {
        run_values.start_time = std::chrono::steady_clock::now() -
                                std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                    std::chrono::duration<double>(seconds));
    }

    // Whether the rectangle holds no text or graph at all: only white and the grid colour.
    bool only(int x, int y, int w, int h, std::uint32_t a, std::uint32_t b) {
        return count_color(surface(), x, y, w, h, a) + count_color(surface(), x, y, w, h, b) ==
               w * h;
    }
};

TEST_F(progress, the_first_frame_shows_zeros_in_the_light_colours_and_no_graph) {
    start_seconds_ago(0);
    paint(progress_screen);
    save_screen(surface(), "progress_first_frame");
    EXPECT_EQ(read_rate_history.samples.size(), 1u);
    EXPECT_EQ(read_rate_history.peak, 0.0f);
    EXPECT_EQ(write_rate_history.samples.size(), 1u);

    EXPECT_TRUE(shows_text("Read", 22, black, 24, 12));
    EXPECT_TRUE(shows_text("Write", 22, black, 24, 234));
    EXPECT_TRUE(shows_text_ink("0.0%", 18, read_colors.light, 26, 182));
    EXPECT_TRUE(shows_text_ink("0.0%", 18, write_colors.light, 26, 404));
    EXPECT_EQ(count_color(surface(), 25, 51, 498, 158, read_colors.strong), 0);
    EXPECT_EQ(count_color(surface(), 25, 273, 498, 158, write_colors.strong), 0);
    // The frames on whole pixels, the grid inside, and no graph area.
    EXPECT_TRUE(all_color(surface(), 24, 50, 501, 1, read_colors.strong));
    EXPECT_TRUE(all_color(surface(), 524, 272, 1, 161, write_colors.strong));
    EXPECT_EQ(pixel_at(surface(), 300, 82), read_colors.light);
    EXPECT_EQ(pixel_at(surface(), 56, 100), read_colors.light);
    EXPECT_TRUE(only(300, 120, 200, 20, white, read_colors.light));
    EXPECT_TRUE(only(100, 300, 200, 100, white, write_colors.light));

    // No rate is measured yet: no "0.0 KB/s" says the drives stand.
    EXPECT_TRUE(only(400, 190, 120, 14, white, read_colors.light));
    EXPECT_TRUE(only(400, 412, 120, 14, white, write_colors.light));

    EXPECT_TRUE(shows_text("Swizzled", 8, grey, 534, 50));
    EXPECT_TRUE(shows_text("Remaining", 8, grey, 534, 95));
    EXPECT_TRUE(shows_text("1.0 GB", 13, black, 534, 110));
    EXPECT_TRUE(shows_text("Written", 8, grey, 534, 272));
    float source_width = text_width("/media/source-disk", 11);
    EXPECT_TRUE(shows_text("/media/source-disk", 11, grey, 524 - source_width, 22));
    float destination_width = text_width("/media/destination-disk", 11);
    EXPECT_TRUE(shows_text("/media/destination-disk", 11, grey, 524 - destination_width, 244));
    EXPECT_TRUE(all_color(surface(), 0, 440, 640, 40, white)); // no time line
    EXPECT_EQ(launcher, std::vector<double>{0.0});
}

TEST_F(progress, a_frame_mid_run_shows_rates_percentages_and_the_remaining_time) {
    // Earlier frames, ten seconds before this one.
    add_rate_sample(read_rate_history, 90, 200000000);
    add_rate_sample(write_rate_history, 90, 150000000);
    // 300,000,000 read and 250,000,000 written over the two streams.
    first->bytes_read = 200000000;
    second->bytes_read = 100000000;
    first->bytes_written = 150000000;
    second->bytes_written = 100000000;
    start_seconds_ago(100);
    paint(progress_screen);
    save_screen(surface(), "progress_mid_run");

    EXPECT_TRUE(shows_text_ink("30.0%", 18, read_colors.strong, 26, 182));
    EXPECT_TRUE(shows_text_ink("25.0%", 18, write_colors.strong, 26, 404));
    float rate_width = text_width("10.0 MB/s", 8);
    EXPECT_TRUE(shows_text_ink("10.0 MB/s", 8, read_colors.strong, 524 - rate_width - 2, 194));
    EXPECT_TRUE(shows_text_ink("10.0 MB/s", 8, write_colors.strong, 524 - rate_width - 2, 416));
    EXPECT_TRUE(shows_text("300.0 MB", 13, black, 534, 65));
    EXPECT_TRUE(shows_text("700.0 MB", 13, black, 534, 110));
    EXPECT_TRUE(shows_text("250.0 MB", 13, black, 534, 287));
    // 750,000,000 bytes at 2,500,000 bytes a second: 300 s after 100 s.
    EXPECT_TRUE(
        shows_text("Elapsed time: 1 minute, Estimated remaining: 5 minutes", 9, grey, 24, 462));
    EXPECT_EQ(launcher, std::vector<double>{0.25});

    // The graph: flat at 0 until the sample 10 s ago (x = 24 + 52/62 * 500), then up to the
    // peak at the right edge; its area is pale, its outline strong.
    EXPECT_EQ(pixel_at(surface(), 515, 205), read_colors.pale);
    EXPECT_EQ(pixel_at(surface(), 515, 427), write_colors.pale);
    EXPECT_TRUE(only(100, 120, 300, 50, white, read_colors.light));
    EXPECT_GT(count_near(surface(), 470, 60, 54, 140, read_colors.strong, 0x40), 30);
    EXPECT_EQ(count_near(surface(), 100, 60, 300, 100, read_colors.strong, 0x40), 0);
    // Under a minute, in seconds: "0 minutes" while bytes remain would say it is over.
    first->bytes_written = 200000000;
    second->bytes_written = 200000000;
    start_seconds_ago(30);
    repaint();
    EXPECT_TRUE(
        shows_text("Elapsed time: 30 seconds, Estimated remaining: 45 seconds", 9, grey, 24, 462));
}

TEST_F(progress, the_time_line_waits_five_seconds_and_goes_at_the_end) {
    second->bytes_written = 100000000;
    start_seconds_ago(4);
    paint(progress_screen);
    EXPECT_TRUE(all_color(surface(), 0, 440, 640, 40, white));

    first->bytes_read = 600000000;
    first->bytes_written = 600000000;
    second->bytes_read = 400000000;
    second->bytes_written = 400000000;
    start_seconds_ago(200);
    repaint();
    save_screen(surface(), "progress_done");
    EXPECT_TRUE(all_color(surface(), 0, 440, 640, 40, white));
    EXPECT_TRUE(shows_text_ink("100.0%", 18, write_colors.strong, 26, 404));
    EXPECT_EQ(launcher.back(), 1.0);
}

// Work an earlier run did, taken over by one stream, is done but was not done at any rate.
TEST_F(progress, work_taken_over_by_a_stream_counts_as_done_without_a_rate) {
    second->bytes_resumed = 300000000;
    add_rate_sample(read_rate_history, 50, 0);
    add_rate_sample(write_rate_history, 50, 0);
    start_seconds_ago(60);
    paint(progress_screen);
    EXPECT_TRUE(shows_text_ink("30.0%", 18, read_colors.light, 26, 182));
    EXPECT_TRUE(shows_text_ink("30.0%", 18, write_colors.light, 26, 404));
    EXPECT_TRUE(shows_text("300.0 MB", 13, black, 534, 65));
    EXPECT_TRUE(shows_text("700.0 MB", 13, black, 534, 110));
    EXPECT_TRUE(shows_text("300.0 MB", 13, black, 534, 287));
    float rate_width = text_width("0.0 KB/s", 8);
    EXPECT_TRUE(shows_text_ink("0.0 KB/s", 8, write_colors.strong, 524 - rate_width - 2, 416));
    // Nothing written by this run: no estimate to make.
    EXPECT_TRUE(all_color(surface(), 0, 440, 640, 40, white));
    ASSERT_FALSE(launcher.empty());
    EXPECT_NEAR(launcher.back(), 0.3, 1e-6);
}

// A temporary folder and /proc lie on two drives whatever the machine: proc has a device of its
// own. Two temporary folders share one.
TEST_F(progress, the_path_lines_give_one_folder_its_path_and_many_their_drive_or_drives) {
    temp_folder_s one, other;
    EXPECT_EQ(folders_text({}), "");
    EXPECT_EQ(folders_text({one.path}), one.path);
    drive_identity_s drive = drive_of_folder(one.path);
    ASSERT_EQ(drive_of_folder(other.path).disks, drive.disks);
    EXPECT_EQ(folders_text({one.path, other.path}), "2 folders on " + drive.name);
    EXPECT_EQ(folders_text({one.path, "/proc"}), "2 drives");
    // Drives are counted, not folders.
    EXPECT_EQ(folders_text({one.path, "/proc", other.path}), "2 drives");

    run_values.source_text = folders_text({one.path, "/proc"});
    run_values.destination_text = folders_text({one.path, other.path});
    start_seconds_ago(0);
    paint(progress_screen);
    save_screen(surface(), "progress_two_drives");
    EXPECT_TRUE(shows_text("2 drives", 11, grey, 524 - text_width("2 drives", 11), 22));
    std::string on_one = "2 folders on " + drive.name;
    EXPECT_TRUE(shows_text(on_one, 11, grey, 524 - text_width(on_one, 11), 244));
}

TEST_F(progress, rates_come_from_samples_at_least_a_quarter_second_apart) {
    rate_history_s history;
    EXPECT_EQ(add_rate_sample(history, 1, 1000), 0.0f);
    EXPECT_EQ(add_rate_sample(history, 1.2f, 5000), 0.0f); // too close: nothing recorded
    EXPECT_EQ(history.samples.size(), 1u);
    EXPECT_FLOAT_EQ(add_rate_sample(history, 2, 3000), 2000.0f);
    EXPECT_FLOAT_EQ(add_rate_sample(history, 2.1f, 9000), 2000.0f);
    EXPECT_EQ(history.peak, 2000.0f);
    // A counter that goes back gives 0, never a negative rate.
    EXPECT_EQ(add_rate_sample(history, 3, 0), 0.0f);
    EXPECT_EQ(history.peak, 2000.0f);

    // Over the last 25 samples: a burst long ago no longer counts.
    rate_history_s steady;
    add_rate_sample(steady, 0, 0);
    add_rate_sample(steady, 1, 1000000);
    for (int s = 2; s <= 40; ++s) {
        float rate = add_rate_sample(steady, static_cast<float>(s), 1000000.0 + (s - 1) * 100);
        if (s == 40) {
            EXPECT_FLOAT_EQ(rate, 100.0f);
        }
    }
    EXPECT_EQ(steady.peak, 1000000.0f);
}

TEST_F(progress, the_graph_prunes_old_samples_and_lets_a_high_peak_sink_slowly) {
    rate_history_s history;
    history.peak = 8000;
    for (int s = 0; s <= 100; ++s) {
        history.samples.push_back({static_cast<float>(s), s < 38 ? 5000.0f : 1000.0f, 0});
    }
    paint([&] {
        clear_surface(window, white);
        record().fill_color = 0;
        record().line_color = 0;
        draw_rate_graph(history, 24, 50, 500, 160);
        EXPECT_TRUE(record().polygon_points.empty());
    });
    // Samples 0 to 37 are more than 62 s old; the two newest of them stay.
    ASSERT_EQ(history.samples.size(), 65u);
    EXPECT_EQ(history.samples.front().time, 36.0f);
    // Only the last 62 s are shown, at 1000: the scale sinks by 1% of the gap per drawing.
    EXPECT_FLOAT_EQ(history.peak, 7930.0f);

    paint([&] {
        clear_surface(window, white);
        record().fill_color = 0xff000000;
        record().line_color = 0;
        draw_rate_graph(history, 24, 50, 500, 160);
    });
    EXPECT_EQ(history.samples.size(), 65u);
    // Level 1000 of 7930 over 160 pixels: the area's top edge at about y = 189.8.
    EXPECT_EQ(pixel_at(surface(), 300, 191), 0xff000000u);
    EXPECT_EQ(pixel_at(surface(), 300, 188), white);
    EXPECT_EQ(pixel_at(surface(), 300, 210), white);

    rate_history_s empty;
    add_rate_sample(empty, 0, 0);
    paint([&] {
        clear_surface(window, white);
        record().fill_color = 0xff000000;
        draw_rate_graph(empty, 24, 50, 500, 160);
    });
    EXPECT_TRUE(all_color(surface(), 0, 0, 640, 480, white));
}

TEST_F(progress, long_paths_stay_right_of_their_headings_and_inside_the_window) {
    std::string path = "/media/plots";
    while (path.size() < 236) {
        path += "/a-folder-with-a-long-name";
    }
    run_values.source_text = path + "/source-end";
    run_values.destination_text = path + "/destination-end";
    start_seconds_ago(0);
    paint(progress_screen);
    save_screen(surface(), "progress_long_paths");

    // The headings are whole, nothing is drawn left of them or right of the panels' edge on
    // the path lines, and each path still takes the room it has.
    EXPECT_TRUE(shows_text("Read", 22, black, 24, 12));
    EXPECT_TRUE(shows_text("Write", 22, black, 24, 234));
    for (int line : {22, 244}) {
        SCOPED_TRACE(line);
        EXPECT_TRUE(all_color(surface(), 0, line, 24, 18, white));
        EXPECT_TRUE(all_color(surface(), 525, line, 9, 18, white));
        int heading_end = 24 + static_cast<int>(text_width(line == 22 ? "Read" : "Write", 22));
        int left = 524;
        for (int y = line; y < line + 18; ++y) {
            for (int x = heading_end + 1; x < 524; ++x) {
                if (pixel_at(surface(), x, y) != white) {
                    left = std::min(left, x);
                }
            }
        }
        EXPECT_GE(left, heading_end + 8) << "the path touches its heading";
        EXPECT_LE(left, heading_end + 40) << "the path leaves room unused";
    }
}

} // namespace
