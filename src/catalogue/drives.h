// The chosen source and destination folders, with the free space of their volumes.
//
// Two ordered lists, source (0) and destination (1), without one folder twice
// within a list (a folder is known by its device and inode, so "a", "a/" and
// "./a" are one). They are the window's choice: planning reads them through
// plan_jobs. Interface thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "catalogue/conversion_plan.h"

struct drive_info_s {
    std::string path;             // the folder as chosen, with or without a trailing '/'
    std::uint64_t free_bytes = 0; // available to this user on its volume when it was added
    std::uint64_t plot_bytes = 0; // source only: accepted plots found by the last scan
    // The folder itself (device and inode) when it was added; its device is its volume. An
    // inode of 0 (a folder given by hand) makes planning look.
    file_identity_s folder;
};

inline constexpr int source_list = 0;
inline constexpr int destination_list = 1;

extern std::vector<drive_info_s> source_drives;
extern std::vector<drive_info_s> destination_drives;

// The list of that index (source_list or destination_list).
std::vector<drive_info_s>& drive_list(int list);

// The folder at path as a list keeps it: its identity and the free space of its volume (0,
// logged, when that cannot be read).
drive_info_s describe_folder(const std::string& path);

// Adds a folder with its free space, plans again and asks for a repaint; a folder the list
// already holds (under any spelling) changes nothing.
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
