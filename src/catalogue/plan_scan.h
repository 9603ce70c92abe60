// The steps planning shares between copying and converting in place: knowing
// the chosen folders by identity, and scanning them for plots.
//
// Internal to planning (planning.cpp, in_place_planning.cpp); the same threading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/conversion_plan.h"
#include "catalogue/planning.h"
#include "catalogue/plot_name.h"

// An accepted plot, the source entry it was found in, and what the listing said of its file.
struct found_plot_s {
    plot_file_s plot;
    std::size_t folder = 0; // index into the request's sources
    file_identity_s identity;
    std::uint64_t links = 1;
    bool symlink = false;
};

// The folder's identity as its entry keeps it, or as stat finds it now ({} when unreadable).
file_identity_s folder_identity(const drive_info_s& folder);

// The entries of `folders` to plan, in order: the first of each folder (by identity; by path
// when the folder cannot be read). Logs each one dropped.
std::vector<std::size_t> distinct_folders(const std::vector<drive_info_s>& folders,
                                          const char* kind);

// Every accepted plot of the given source entries, in list order, each file once. Counts the
// plots and their bytes per folder into the plan, and sets aside what is no plot's job: names
// that only begin like a plot's, plots too large for a file, a file reached again.
std::vector<found_plot_s> scan_sources(const plan_request_s& request,
                                       const std::vector<std::size_t>& entries,
                                       conversion_plan_s& plan);

// Sorts by account, start nonce, then path (the last only keeps the plan independent of the
// order of the folder listing).
void sort_plots(std::vector<found_plot_s>& plots);

// a + b, or the largest value when that does not fit: totals of huge plots must not wrap
// around and pass a space check.
std::uint64_t add_saturating(std::uint64_t a, std::uint64_t b);
