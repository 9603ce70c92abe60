// The progress screen: the window's screen from the start of a run to the end
// of the program.
//
// Two sections, "Read" and "Write", each with a framed panel holding a graph
// of the recent transfer rate, the completed percentage and the current rate,
// with figures to its right; where the run reads and writes above the panels
// (a folder's path, shortened in the middle where it would reach the
// section's heading, or the drive or drives of several folders) and, after the
// first five seconds once something has been written, the elapsed and the
// estimated remaining time at the bottom. The written fraction also drives the
// desktop's launcher progress. Passive: no click regions. Redrawn by the
// one-second timer of the start action; each frame reads the byte counters of
// every stream of the run once each and shows their sums. Interface thread
// only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct farm_s;

// What the start action records for the screen.
struct run_values_s {
    std::chrono::steady_clock::time_point start_time = std::chrono::steady_clock::now();
    std::string source_text;      // above the read panel: where the run reads (folders_text)
    std::string destination_text; // above the write panel: where it writes
    farm_s* farm = nullptr;       // the run the screen reads; none: the_farm()
    int window = 0;               // the window whose screen this is
};

// Interface thread only; the start time is that of program load until a run starts.
extern run_values_s run_values;

struct rate_sample_s {
    float time = 0;   // seconds since the run started
    float rate = 0;   // bytes per second
    double bytes = 0; // the counter at that time
};

struct rate_history_s {
    float peak = 0;                     // the graph's vertical scale, bytes per second
    std::vector<rate_sample_s> samples; // oldest first
};

// The two sections' histories, for the whole process. Interface thread only.
extern rate_history_s read_rate_history;
extern rate_history_s write_rate_history;

// Strong, light and pale colours of a section.
struct section_colors_s {
    std::uint32_t strong = 0;
    std::uint32_t light = 0;
    std::uint32_t pale = 0;
};

inline constexpr section_colors_s read_colors{0xff117dbb, 0xffd9eaf4, 0xfff1f6fa};
inline constexpr section_colors_s write_colors{0xff4da60c, 0xffdbedce, 0xffeff7e9};

// Draws one frame of the progress screen into run_values.window.
void progress_screen();

// How a path line names the distinct folders a run reads (or writes): one folder by its path;
// several on one drive as "N folders on <drive>"; folders on several drives as "N drives",
// counting whole disks. Empty for none. Looks at the drives under the folders.
std::string folders_text(const std::vector<std::string>& folders);

// Records the counter `bytes` at `time` unless the newest sample is less than 0.25 s older;
// returns the rate over up to the last 25 samples (the newest one's rate when nothing was
// recorded, 0 for the first sample), never negative.
float add_rate_sample(rate_history_s& history, float time, double bytes);

// Draws the last w / 8 seconds of the history as a polygon in the current colours, scaled to
// the peak, then forgets samples older than 62 s and eases the peak towards the highest rate
// shown. Draws nothing while the peak is 0.
void draw_rate_graph(rate_history_s& history, int x, int y, int w, int h);

// One section's panel: frame, graph area, grid, percentage (strong while `moving`, else
// light), graph outline and the rate text.
void draw_progress_panel(int x, int y, int w, int h, std::string_view rate_text, bool moving,
                         float fraction, rate_history_s& history, const section_colors_s& colors);

// A grey label with a large black value under it; returns the y of the next stat.
int draw_stat(int x, int y, std::string_view label, std::string_view value);

// Shows the fraction (0 to 1) on the desktop's launcher; 0 hides it.
void set_taskbar_progress(float fraction);
