#include "ui/progress_screen.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "swizzler/farm.h"
#include "ui/draw.h"
#include "ui/host_hooks.h"
#include "util/drive_identity.h"
#include "util/size_text.h"

run_values_s run_values;
rate_history_s read_rate_history;
rate_history_s write_rate_history;

namespace {

constexpr const char* font_family = "Microsoft Sans Serif";
constexpr std::uint32_t grey = 0xff707070;
constexpr std::uint32_t black = 0xff000000;
constexpr std::uint32_t white = 0xffffffff;

constexpr float min_sample_gap = 0.25f; // seconds
constexpr std::size_t rate_window = 25; // samples
constexpr float kept_seconds = 62;
constexpr float peak_easing = 0.01f;
constexpr double time_line_after = 5; // seconds

float fraction_of(std::uint64_t part, std::uint64_t total) {
    return total == 0 ? 0.0f : static_cast<float>(part) / static_cast<float>(total);
}

// Blank until a rate has been measured: "0.0 KB/s" at the start would say the drive stands.
void rate_text(char (&buffer)[32], float rate, const rate_history_s& history) {
    buffer[0] = '\0';
    if (history.samples.size() >= 2) {
        format_size(sizeof buffer, buffer, static_cast<std::uint64_t>(rate), false, "/s");
    }
}

// A duration as the time line gives it: seconds under a minute, where "0 minutes" would say
// nothing is left.
std::string time_text(double seconds) {
    if (seconds >= 0 && seconds < 60) {
        int whole = static_cast<int>(seconds);
        return std::to_string(whole) + (whole == 1 ? " second" : " seconds");
    }
    return duration_text(seconds);
}

constexpr float path_right = 524; // the panels' right edge
constexpr float heading_left = 24;
constexpr float heading_to_path = 16; // the least gap between a heading and its path

// A section's heading at (24, y).
void draw_heading(int window, const char* heading, float y) {
    window_table[window].fill_color = black;
    set_font(window, font_family, 22);
    draw_text(window, heading, heading_left, y);
}

// Where the section reads or writes, right-aligned to x = 524, on the line of the section's
// heading: a path too long for the room right of the heading loses its middle, so that the
// drive at its start and the folder at its end both stay readable.
void draw_path(int window, const char* heading, const std::string& path, float y) {
    set_font(window, font_family, 22);
    float left = heading_left + measure_text(window, heading) + heading_to_path;
    set_font(window, font_family, 11);
    window_table[window].fill_color = grey;
    std::string shown = shorten_in_middle(window, path, path_right - left);
    draw_text(window, shown, path_right - measure_text(window, shown), y);
}

} // namespace

std::string folders_text(const std::vector<std::string>& folders) {
    if (folders.size() <= 1) {
        return folders.empty() ? std::string() : folders.front();
    }
    std::vector<drive_identity_s> drives;
    for (const std::string& folder : folders) {
        drives.push_back(drive_of_folder(folder));
    }
    bool one_drive = std::all_of(drives.begin(), drives.end(), [&](const drive_identity_s& d) {
        return d.disks == drives.front().disks;
    });
    if (one_drive) {
        return std::to_string(folders.size()) + " folders on " + drives.front().name;
    }
    // Two partitions of one disk are one drive; a volume over two disks is two.
    std::set<std::string> disks;
    for (const drive_identity_s& drive : drives) {
        disks.insert(drive.disks.begin(), drive.disks.end());
    }
    return std::to_string(disks.size()) + " drives";
}

float add_rate_sample(rate_history_s& history, float time, double bytes) {
    std::vector<rate_sample_s>& samples = history.samples;
    if (samples.empty()) {
        samples.push_back({time, 0, bytes});
        return 0;
    }
    if (time - samples.back().time < min_sample_gap) {
        return samples.back().rate;
    }
    std::size_t k = samples.size() > rate_window ? samples.size() - rate_window : 0;
    float dt = time - samples[k].time;
    float rate = dt == 0 ? 0 : static_cast<float>((bytes - samples[k].bytes) / dt);
    rate = std::max(rate, 0.0f);
    samples.push_back({time, rate, bytes});
    history.peak = std::max(history.peak, rate);
    return rate;
}

void draw_rate_graph(rate_history_s& history, int x, int y, int w, int h) {
    if (history.peak == 0) {
        return;
    }
    int window = run_values.window;
    std::vector<rate_sample_s>& samples = history.samples;
    float newest = samples.back().time;
    float cutoff = newest - static_cast<float>(w / 8);
    float bottom = static_cast<float>(y + h);

    add_point(window, static_cast<float>(x), bottom);
    bool first = true;
    float highest = 0;
    std::size_t old = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const rate_sample_s& sample = samples[i];
        if (newest - sample.time > kept_seconds) {
            old = i;
        }
        if (sample.time < cutoff) {
            continue;
        }
        float level = bottom - (sample.rate / history.peak) * h;
        if (first) {
            add_point(window, static_cast<float>(x), level);
            first = false;
        }
        add_point(window, x + (sample.time - cutoff) / (newest - cutoff) * w, level);
        highest = std::max(highest, sample.rate);
    }
    add_point(window, static_cast<float>(x + w), bottom);
    draw_polygon(window);

    // The two newest samples older than the kept span stay, so the graph's left edge still has
    // a level to start from.
    if (old > 2) {
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(old - 1));
    }
    history.peak += (highest - history.peak) * peak_easing;
}

void draw_progress_panel(int x, int y, int w, int h, std::string_view rate, bool moving,
                         float fraction, rate_history_s& history, const section_colors_s& colors) {
    int window = run_values.window;
    window_record_s& record = window_table[window];

    record.line_color = colors.strong;
    record.fill_color = 0;
    draw_rect(window, static_cast<float>(x), static_cast<float>(y), static_cast<float>(w),
              static_cast<float>(h));

    record.fill_color = colors.pale;
    record.line_color = 0;
    draw_rate_graph(history, x, y, w, h);

    record.line_color = colors.light;
    float step = h / 5.0f;
    for (int k = 1; y + k * step < y + h; ++k) {
        float yy = y + k * step;
        draw_line(window, static_cast<float>(x + 1), yy, static_cast<float>(x + w - 1), yy);
    }
    for (int xx = x + 32; xx < x + w; xx += 32) {
        draw_line(window, static_cast<float>(xx), static_cast<float>(y + 1), static_cast<float>(xx),
                  static_cast<float>(y + h - 2));
    }

    char percentage[32];
    std::snprintf(percentage, sizeof percentage, "%0.1f%%", fraction * 100);
    record.fill_color = moving ? colors.strong : colors.light;
    set_font(window, font_family, 18);
    draw_text(window, percentage, static_cast<float>(x + 2), static_cast<float>(y + h - 28));

    record.line_color = colors.strong;
    record.fill_color = 0;
    draw_rate_graph(history, x, y, w, h);

    record.fill_color = colors.strong;
    set_font(window, font_family, 8);
    draw_text(window, rate, x + w - measure_text(window, rate) - 2, static_cast<float>(y + h - 16));
}

int draw_stat(int x, int y, std::string_view label, std::string_view value) {
    int window = run_values.window;
    window_record_s& record = window_table[window];
    set_font(window, font_family, 8);
    record.fill_color = grey;
    draw_text(window, label, static_cast<float>(x), static_cast<float>(y));
    set_font(window, font_family, 13);
    record.fill_color = black;
    draw_text(window, value, static_cast<float>(x), static_cast<float>(y + 15));
    return y + 15 + 16 + 7 + 7;
}

void set_taskbar_progress(float fraction) {
    if (!host_hooks().set_launcher_progress) {
        return;
    }
    // The launcher knows no error state: NaN and anything below 0 hide the progress like 0.
    double shown = fraction > 0 ? std::min(fraction, 1.0f) : 0.0;
    host_hooks().set_launcher_progress(run_values.window, shown);
}

void progress_screen() {
    int window = run_values.window;
    window_record_s& screen = window_table[window];
    const farm_s& farm = run_values.farm ? *run_values.farm : the_farm();
    clear_surface(window, white);

    double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - run_values.start_time)
            .count();
    // The streams of a run over several drives count as one run. Work that earlier runs did
    // and this one took over counts as done; the rates and the remaining time come from this
    // run's own work alone.
    farm_progress_s progress = farm_progress(farm);
    std::uint64_t resumed = progress.resumed;
    std::uint64_t this_run_written = progress.written;
    std::uint64_t read = progress.read + resumed;
    std::uint64_t written = this_run_written + resumed;
    std::uint64_t total = progress.total;

    draw_heading(window, "Read", 12);
    float read_rate = add_rate_sample(read_rate_history, static_cast<float>(t),
                                      static_cast<double>(read - resumed));
    int next = draw_stat(534, 50, "Swizzled", size_text(read, false));
    draw_stat(534, next, "Remaining", size_text(total > read ? total - read : 0, false));
    char read_rate_text[32];
    rate_text(read_rate_text, read_rate, read_rate_history);
    draw_progress_panel(24, 50, 500, 160, read_rate_text, read_rate > 0, fraction_of(read, total),
                        read_rate_history, read_colors);
    draw_path(window, "Read", run_values.source_text, 22);

    draw_heading(window, "Write", 234);
    float write_rate = add_rate_sample(write_rate_history, static_cast<float>(t),
                                       static_cast<double>(this_run_written));
    draw_stat(534, 272, "Written", size_text(written, false));
    char write_rate_text[32];
    rate_text(write_rate_text, write_rate, write_rate_history);
    float written_fraction = fraction_of(written, total);
    set_taskbar_progress(written_fraction);
    draw_progress_panel(24, 272, 500, 160, write_rate_text, write_rate > 0, written_fraction,
                        write_rate_history, write_colors);
    draw_path(window, "Write", run_values.destination_text, 244);

    if (t > time_line_after && this_run_written > 0 && written < total) {
        // The average write rate since the start, applied to what is still to be written.
        double remaining =
            static_cast<double>(total - written) / (static_cast<double>(this_run_written) / t);
        char line[128];
        std::snprintf(line, sizeof line, "Elapsed time: %s, Estimated remaining: %s",
                      time_text(t).c_str(), time_text(remaining).c_str());
        set_font(window, font_family, 9);
        screen.fill_color = grey;
        draw_text(window, line, 24, 462);
    }
}
