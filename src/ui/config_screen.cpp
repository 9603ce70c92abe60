#include "ui/config_screen.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "catalogue/completion.h"
#include "catalogue/conversion_plan.h"
#include "catalogue/drives.h"
#include "catalogue/planning.h"
#include "swizzler/farm.h"
#include "ui/click_regions.h"
#include "ui/draw.h"
#include "ui/drive_panel.h"
#include "ui/host_hooks.h"
#include "ui/progress_screen.h"
#include "ui/ram_entry.h"
#include "util/memory_status.h"
#include "util/size_text.h"

std::uint64_t max_ram_bytes = 0;

namespace {

constexpr const char* font_family = "Microsoft Sans Serif";
constexpr std::uint32_t grey = 0xff707070;
constexpr std::uint32_t accent_blue = 0xff117dbb;
constexpr std::uint32_t box_off_grey = 0xffd0d0d0;
constexpr std::uint32_t link_blue = 0xff0066cc;
constexpr std::uint32_t white = 0xffffffff;

void toggle_merge() {
    merge_adjacent = !merge_adjacent;
    plan_jobs();
    invalidate_window(current_window);
}

// In place of a plan, the plan line says why there is nothing to start.
void explain_empty_plan(char (&summary)[128], const conversion_plan_s& record) {
    const char* reason = "Select source and destination drives for plot conversion to PoC2.";
    switch (record.outcome) {
    case plan_outcome::no_plots:
        reason = "No optimized PoC1 plots found in the source folder: nothing to convert.";
        break;
    case plan_outcome::no_room:
        reason = "Not enough space on the destination drive for the plots of the source folder.";
        break;
    case plan_outcome::all_there:
        std::snprintf(summary, sizeof summary,
                      "Nothing to convert: every PoC2 plot of this plan (%d) is already in the "
                      "destination.",
                      static_cast<int>(record.existing_jobs.size()));
        return;
    case plan_outcome::set_aside:
        reason = "Nothing to convert: every plot found is left as it is (see the log for why).";
        break;
    case plan_outcome::no_folders:
    case plan_outcome::planned:
        break;
    }
    std::snprintf(summary, sizeof summary, "%s", reason);
}

// The plan's streams, split again only when planning has made a new plan: splitting looks at
// the drive of every folder, which is too slow for every frame. Interface thread.
const std::vector<conversion_plan_s>& streams_of(const conversion_plan_s& record) {
    static std::uint64_t generation = 0;
    static std::vector<conversion_plan_s> streams;
    if (record.generation == 0 || record.generation != generation) {
        streams = split_into_streams(record);
        generation = record.generation;
    }
    return streams;
}

void draw_summary(int window) {
    const conversion_plan_s& record = the_plan();
    char summary[128];
    if (record.jobs.empty()) {
        explain_empty_plan(summary, record);
    } else {
        char memory[128] = "";
        if (record.largest_job_bytes != 0) {
            // Over several drives at once, every stream's buffers together.
            std::snprintf(memory, sizeof memory, " Using %s RAM",
                          size_text(farm_buffer_bytes(read_memory_status(), streams_of(record),
                                                      max_ram_bytes),
                                    true));
        }
        std::snprintf(summary, sizeof summary,
                      "%s of %d PoC1 plots will be converted to %d PoC2 plots.%s",
                      size_text(record.bytes_total, false), record.plot_count,
                      static_cast<int>(record.jobs.size()), memory);
    }
    set_font(window, font_family, 10);
    window_table[window].fill_color = grey;
    draw_text(window, summary, 24, 74);
}

void draw_merge_option(int window) {
    window_record_s& record = window_table[window];
    bool hovered = add_click_region(window, 24, 320, 592, 24, toggle_merge);
    record.fill_color = merge_adjacent ? accent_blue : box_off_grey;
    record.line_color = 0;
    draw_rect(window, 24, 320, 24, 24);
    if (merge_adjacent) {
        record.line_color = white;
        record.line_width = 3;
        draw_line(window, 30, 326, 42, 338);
        draw_line(window, 30, 338, 42, 326);
        record.line_width = 1;
    }
    record.fill_color = hovered ? accent_blue : grey;
    set_font(window, font_family, 12);
    draw_text(window, "Merge adjacent plots", 58, 323.996f);
}

void draw_memory_limit(int window) {
    bool hovered = add_click_region(window, 24, 438, 320, 14, open_ram_entry);
    char text[128];
    std::snprintf(text, sizeof text, "Max RAM: %s",
                  max_ram_bytes == 0 ? "Automatic" : size_text(max_ram_bytes, true));
    window_table[window].fill_color = hovered ? link_blue : grey;
    draw_text(window, text, 24, 438);
}

// The distinct source (or destination) folders of the plan's jobs, in plan order: what the
// run will read from (or write to), which may be fewer than the folders chosen.
std::vector<std::string> folders_of_jobs(const conversion_plan_s& plan, bool sources) {
    std::vector<std::string> folders;
    for (const conversion_job_s& job : plan.jobs) {
        const std::string& folder = sources ? job.source_folder : job.destination_folder;
        if (!folder.empty() && std::find(folders.begin(), folders.end(), folder) == folders.end()) {
            folders.push_back(folder);
        }
    }
    return folders;
}

} // namespace

void config_screen() {
    int window = current_window;
    clear_surface(window, white);
    set_font(window, font_family, 22);
    draw_text(window, "Config", 18, 24);
    draw_summary(window);
    drive_panel("Source drive", source_list, 140);
    drive_panel("Destination drive", destination_list, 230);
    draw_merge_option(window);
    draw_memory_limit(window);
    draw_button(window, "Start Swizzling!", !the_plan().jobs.empty(), 486, 416, 130, 40,
                start_conversion, 12);
}

void start_conversion() {
    const conversion_plan_s& plan = the_plan();
    farm_s& farm = the_farm();
    run_values.start_time = std::chrono::steady_clock::now();
    run_values.source_text = folders_text(folders_of_jobs(plan, true));
    run_values.destination_text = folders_text(folders_of_jobs(plan, false));
    run_values.farm = &farm;
    run_values.window = current_window;

    window_table[current_window].draw = progress_screen;
    invalidate_window(current_window);
    if (host_hooks().start_repaint_timer) {
        host_hooks().start_repaint_timer(current_window, 1000);
    }
    set_taskbar_progress(0);
    start_farm(farm, plan, max_ram_bytes, farm_settings_s{},
               [&farm] { offer_source_deletion(farm_plan(farm)); });
}
