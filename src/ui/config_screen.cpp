#include "ui/config_screen.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "catalogue/completion.h"
#include "catalogue/conversion_plan.h"
#include "catalogue/drives.h"
#include "catalogue/planning.h"
#include "catalogue/plot_format.h"
#include "catalogue/plot_name.h"
#include "swizzler/farm.h"
#include "ui/click_regions.h"
#include "ui/draw.h"
#include "ui/drive_panel.h"
#include "ui/host_hooks.h"
#include "ui/progress_screen.h"
#include "ui/ram_entry.h"
#include "util/log.h"
#include "util/memory_status.h"
#include "util/size_text.h"

std::uint64_t max_ram_bytes = 0;
bool verify_before_deleting = false;

namespace {

constexpr const char* font_family = "Microsoft Sans Serif";
constexpr std::uint32_t grey = 0xff707070;
constexpr std::uint32_t accent_blue = 0xff117dbb;
constexpr std::uint32_t box_off_grey = 0xffd0d0d0;
constexpr std::uint32_t disabled_grey = 0xffb4b4b4;
constexpr std::uint32_t link_blue = 0xff0066cc;
constexpr std::uint32_t white = 0xffffffff;

// The options' lines, one under the other; each box and label as the merge option has them.
constexpr int merge_y = 320;
constexpr int verify_y = 352;
constexpr int in_place_y = 384;
constexpr int left_out_y = 92; // the line under the plan line

// Lines of the list of what is left out, per kind; the rest are counted.
constexpr std::size_t most_listed = 20;

const char* plural(std::size_t count) {
    return count == 1 ? "" : "s";
}

void replan() {
    plan_jobs();
    invalidate_window(current_window);
}

void toggle_merge() {
    merge_adjacent = !merge_adjacent;
    replan();
}

void toggle_verify() {
    verify_before_deleting = !verify_before_deleting;
    invalidate_window(current_window);
}

void toggle_in_place() {
    convert_in_place = !convert_in_place;
    replan();
}

// In place of a plan, the plan line says why there is nothing to start.
std::string empty_plan_text(const conversion_plan_s& record) {
    bool in_place = convert_in_place;
    switch (record.outcome) {
    case plan_outcome::no_plots:
        return "No optimized PoC1 plots found in the source folder: nothing to convert.";
    case plan_outcome::no_room:
        return in_place ? "Not enough space in the source folders for the journal of a "
                          "conversion in place."
                        : "Not enough space on the destination drive for the plots of the source "
                          "folder.";
    case plan_outcome::all_there:
        return "Nothing to convert: every PoC2 plot of this plan (" +
               std::to_string(record.existing_jobs.size()) + ") is already " +
               (in_place ? "beside its PoC1 plot." : "in the destination.");
    case plan_outcome::set_aside:
        return "Nothing to convert: every plot found is left as it is (see the log for why).";
    case plan_outcome::no_folders:
    case plan_outcome::planned:
        break;
    }
    return in_place ? "Select the folders whose plots are to be converted in place."
                    : "Select source and destination drives for plot conversion to PoC2.";
}

// What the run will do: only the plots it converts are counted, with what the options change.
std::string plan_text(const conversion_plan_s& record) {
    std::size_t sources = 0;
    for (const conversion_job_s& job : record.jobs) {
        sources += job.source_paths.size();
    }
    std::string memory;
    if (record.largest_job_bytes != 0) {
        // Over several drives at once, every stream's buffers together.
        memory = std::string(" Using ") +
                 size_text(farm_buffer_bytes(read_memory_status(), plan_streams(), max_ram_bytes),
                           true) +
                 " RAM";
    }
    char text[256];
    std::snprintf(
        text, sizeof text, "%s of %zu PoC1 plot%s will be converted%s to %zu PoC2 plot%s%s.%s",
        size_text(record.bytes_total, false), sources, plural(sources),
        record.in_place ? " in place" : "", record.jobs.size(), plural(record.jobs.size()),
        verify_before_deleting && !record.in_place ? " and checked" : "", memory.c_str());
    return text;
}

// What the plan leaves out, in one line; empty when it leaves out nothing.
std::string left_out_text(const conversion_plan_s& record) {
    std::vector<std::string> parts;
    if (!record.existing_jobs.empty()) {
        parts.push_back(std::to_string(record.existing_jobs.size()) +
                        (record.in_place ? " already converted" : " already in the destination"));
    }
    if (!record.unplaced_jobs.empty()) {
        std::size_t count = record.unplaced_jobs.size();
        parts.push_back(std::to_string(count) + (record.in_place ? " without room for a journal"
                                                 : count == 1    ? " fits on no destination drive"
                                                                 : " fit on no destination drive"));
    }
    if (!record.set_aside.empty()) {
        parts.push_back(std::to_string(record.set_aside.size()) + " file" +
                        plural(record.set_aside.size()) + " set aside");
    }
    if (parts.empty()) {
        return {};
    }
    std::string text = "Not converted: ";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        text += (i == 0 ? "" : ", ") + parts[i];
    }
    return text + ". Show why...";
}

// Up to most_listed lines of a kind, then how many more there are.
void list_lines(std::string& list, const std::vector<std::string>& lines) {
    for (std::size_t i = 0; i < lines.size() && i < most_listed; ++i) {
        list += "    " + lines[i] + "\n";
    }
    if (lines.size() > most_listed) {
        list += "    and " + std::to_string(lines.size() - most_listed) + " more, in the log\n";
    }
}

// The list the left-out line opens: every plot or file left out, with why.
void show_left_out() {
    const conversion_plan_s& record = the_plan();
    std::string list;
    if (!record.existing_jobs.empty()) {
        list += record.in_place ? "Already converted, left as they are:\n"
                                : "Already in the destination; their sources are kept:\n";
        std::vector<std::string> lines;
        for (const conversion_job_s& job : record.existing_jobs) {
            lines.push_back(job.output_path);
        }
        list_lines(list, lines);
    }
    if (!record.unplaced_jobs.empty()) {
        list += record.in_place ? "No room for the journal of a conversion in place:\n"
                                : "Not enough space on any destination drive; their sources "
                                  "are kept:\n";
        std::vector<std::string> lines;
        for (const conversion_job_s& job : record.unplaced_jobs) {
            lines.push_back(std::string(file_name_of(job.output_path)) + " (" +
                            size_text(plot_size(job.nonces), false) + ")");
        }
        list_lines(list, lines);
    }
    if (!record.set_aside.empty()) {
        list += "Set aside, left as they are:\n";
        std::vector<std::string> lines;
        for (const set_aside_s& file : record.set_aside) {
            lines.push_back(file.path + ": " + file.why);
        }
        list_lines(list, lines);
    }
    show_message(current_window, "Not converted", "%s", list.c_str());
}

void draw_summary(int window) {
    const conversion_plan_s& record = the_plan();
    window_record_s& screen = window_table[window];
    std::string summary = record.jobs.empty() ? empty_plan_text(record) : plan_text(record);
    set_font(window, font_family, 10);
    screen.fill_color = grey;
    draw_text(window, summary, 24, 74);

    std::string left_out = left_out_text(record);
    if (left_out.empty()) {
        return;
    }
    int width = static_cast<int>(measure_text(window, left_out)) + 1;
    region_look_s look = add_focusable_region(window, 24, left_out_y, width, 14, show_left_out);
    screen.fill_color = look.hovered || look.focused ? link_blue : grey;
    draw_text(window, left_out, 24, left_out_y);
    if (look.focused) {
        draw_focus_ring(window, 24, left_out_y, width, 14);
    }
}

// A check box and its label, as the merge option has always been drawn; a disabled option is
// greyed and takes no click.
void draw_option(int window, int y, const char* label, bool on, bool enabled,
                 std::function<void()> toggle) {
    window_record_s& record = window_table[window];
    region_look_s look;
    if (enabled) {
        look = add_focusable_region(window, 24, y, 592, 24, std::move(toggle));
    }
    record.fill_color = on && enabled ? accent_blue : box_off_grey;
    record.line_color = 0;
    draw_rect(window, 24, static_cast<float>(y), 24, 24);
    if (on && enabled) {
        record.line_color = white;
        record.line_width = 3;
        draw_line(window, 30, y + 6.0f, 42, y + 18.0f);
        draw_line(window, 30, y + 18.0f, 42, y + 6.0f);
        record.line_width = 1;
    }
    record.fill_color = !enabled ? disabled_grey : look.hovered ? accent_blue : grey;
    set_font(window, font_family, 12);
    draw_text(window, label, 58, y + 3.996f);
    if (look.focused) {
        draw_focus_ring(window, 24, y, static_cast<int>(34 + measure_text(window, label)), 24);
    }
}

void draw_memory_limit(int window) {
    region_look_s look = add_focusable_region(window, 24, 438, 320, 14, open_ram_entry);
    char text[128];
    std::snprintf(text, sizeof text, "Max RAM: %s",
                  max_ram_bytes == 0 ? "Automatic" : size_text(max_ram_bytes, true));
    window_table[window].fill_color = look.hovered ? link_blue : grey;
    draw_text(window, text, 24, 438);
    if (look.focused) {
        draw_focus_ring(window, 24, 438, static_cast<int>(measure_text(window, text)) + 1, 14);
    }
}

// The distinct source (or destination) folders of the plan's jobs, in plan order: what the
// run will read from (or write to), which may be fewer than the folders chosen.
std::vector<std::string> folders_of_jobs(const conversion_plan_s& plan, bool sources) {
    std::vector<std::string> folders;
    for (const conversion_job_s& job : plan.jobs) {
        const std::string& folder =
            sources || job.in_place ? job.source_folder : job.destination_folder;
        if (!folder.empty() && std::find(folders.begin(), folders.end(), folder) == folders.end()) {
            folders.push_back(folder);
        }
    }
    return folders;
}

} // namespace

const std::vector<conversion_plan_s>& plan_streams() {
    // A cache of the one plan it was made from, on the interface thread.
    static std::uint64_t generation = 0;
    static std::vector<conversion_plan_s> streams;
    const conversion_plan_s& record = the_plan();
    if (record.generation == 0 || record.generation != generation) {
        streams = split_into_streams(record);
        generation = record.generation;
    }
    return streams;
}

void config_screen() {
    int window = current_window;
    clear_surface(window, white);
    set_font(window, font_family, 22);
    draw_text(window, "Config", 18, 24);
    draw_summary(window);
    drive_panel("Source folders", source_list, 140);
    if (convert_in_place) {
        disabled_drive_panel("Destination folders", 230,
                             "Not needed: every plot is converted in its own file.");
    } else {
        drive_panel("Destination folders", destination_list, 230);
    }
    draw_option(window, merge_y, "Merge adjacent plots", merge_adjacent, !convert_in_place,
                toggle_merge);
    draw_option(window, verify_y, "Check before deleting", verify_before_deleting,
                !convert_in_place, toggle_verify);
    draw_option(window, in_place_y, "Convert in place", convert_in_place, true, toggle_in_place);
    set_font(window, font_family, 12);
    draw_memory_limit(window);
    draw_button(window, "Start Swizzling!", !the_plan().jobs.empty(), 486, 416, 130, 40,
                start_conversion, 12);
}

void start_conversion() {
    const conversion_plan_s& plan = the_plan();
    // Said once, where the person decides to leave the run to itself.
    std::string shortfall = plan_shortfall_text(plan);
    if (!shortfall.empty() && !ask_yes_no(current_window, "Not enough space",
                                          "%s\nStart converting the others?", shortfall.c_str())) {
        return;
    }
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
    farm_settings_s settings;
    settings.verify_outputs = verify_before_deleting && !plan.in_place;
    int window = current_window;
    start_farm(farm, plan, max_ram_bytes, settings, [&farm, window] {
        // The final figures are on the screen before the question comes.
        invalidate_window(window);
        if (farm.plan.in_place) {
            end_in_place_run(farm_plan(farm));
        } else {
            offer_source_deletion(farm_plan(farm));
        }
    });
}
