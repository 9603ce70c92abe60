// Plot file names.
//
//   PoC1: <account>_<start nonce>_<nonces>_<stagger>
//   PoC2: <account>_<start nonce>_<nonces>
//
// A name is a plot's only when it is exactly that: decimal digits that fit 64
// bits, single underscores between them, and nothing before or after. Farms
// keep partial and renamed copies beside their plots ("1_0_8_8.part",
// "1_0_8_8.bak", a leading blank from a careless rename); such a file only
// begins like a plot and is never converted, deleted or renamed. Leading zeros
// are digits like any other ("0123" reads as 123). Only the name after the
// last '/' of a path is read. An optimized PoC1 plot (stagger = nonces) is the
// only kind the program converts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct plot_file_s {
    std::uint64_t account_id = 0;
    std::uint64_t start_nonce = 0;
    std::uint64_t nonces = 0;
    std::uint64_t stagger = 0; // 0 for a PoC2 name
    std::string path;          // folder, '/', file name
};

enum class plot_name_kind { none, poc1, poc2 };

enum class plot_file_kind {
    accepted,            // an optimized PoC1 plot
    skipped_poc2,        // a PoC2 name, or a PoC1 name with stagger 0
    skipped_unoptimized, // a PoC1 name whose stagger is not its nonce count
    resembles_plot,      // begins like a plot name but is not exactly one: never a plot
    not_a_plot,
};

// Reads the numbers of an exact plot name (or of the name at the end of a path) into *plot;
// none, with every number 0, for anything else. Logs nothing.
plot_name_kind parse_plot_file_name(std::string_view name, plot_file_s* plot);

// Whether a name that is not exactly a plot's begins like one (three or four numbers and
// underscores, possibly after blanks or a sign, followed by anything).
bool begins_like_plot_name(std::string_view name);

// The per-file step of a folder scan: fills *plot (path = folder + '/' + file_name), writes the
// skip line of a skipped plot to the log and says what the file is.
plot_file_kind classify_plot_file(const std::string& folder, const std::string& file_name,
                                  plot_file_s* plot);

// folder + '/' + "<account>_<start>_<nonces>": the path of a PoC2 output. Never cut.
std::string make_output_path(const std::string& folder, std::uint64_t account_id,
                             std::uint64_t start_nonce, std::uint64_t nonces);

// The part of a path after its last '/' (the whole text when it has none).
std::string_view file_name_of(std::string_view path);

// The suffixes of the program's own files beside an output: its temporary name, the progress
// record of a copying run and the journal of a conversion in place.
inline constexpr std::string_view temporary_suffix = ".swizzling";
inline constexpr std::string_view progress_suffix = ".swizzling.progress";
inline constexpr std::string_view journal_suffix = ".swizzling.journal";
