// The chosen source and destination folders, with the free space of their volumes.
//
// Two ordered lists, source (0) and destination (1), without duplicate paths
// within a list. Planning reads the first entry of each. Interface thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct drive_info_s {
    std::string path;             // the folder as chosen, with or without a trailing '/'
    std::uint64_t free_bytes = 0; // available to this user on its volume when it was added
    std::uint64_t plot_bytes = 0; // source only: accepted plots found by the last scan
};

inline constexpr int source_list = 0;
inline constexpr int destination_list = 1;

extern std::vector<drive_info_s> source_drives;
extern std::vector<drive_info_s> destination_drives;

// The list of that index (source_list or destination_list).
std::vector<drive_info_s>& drive_list(int list);

// Adds a folder with its free space, plans again and asks for a repaint; a path the list already
// holds changes nothing.
void add_drive(int list, const std::string& path);

// Adds every folder of `paths` as add_drive does, but plans only once, after the last: a plan
// over only some of them would warn about room that the others have.
void add_drives(int list, const std::vector<std::string>& paths);

// Removes entry `index` of the list (which must exist); the caller plans and repaints.
void remove_drive(int list, std::size_t index);

// Installs what "ask for a repaint" does (the window invalidates itself). Before other threads.
void set_repaint_handler(std::function<void()> repaint);

// Asks the host for a repaint (nothing when none is installed).
void request_repaint();
