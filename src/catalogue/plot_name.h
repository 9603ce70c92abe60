// Plot file names.
//
//   PoC1: <account>_<start nonce>_<nonces>_<stagger>[anything]
//   PoC2: <account>_<start nonce>_<nonces>[anything that does not make it PoC1]
//
// Numbers are read as "%llu" reads them: leading blanks skipped, an optional
// sign, decimal digits; a value too large for 64 bits reads as the largest
// one. Only the name after the last '/' of a path is read. An optimized PoC1
// plot (stagger = nonces) is the only kind the program converts.
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

enum class plot_file_kind { accepted, skipped_poc2, skipped_unoptimized, not_a_plot };

// Reads the numbers of a name or path into *plot (numbers not reached stay 0); logs nothing.
plot_name_kind parse_plot_file_name(std::string_view name, plot_file_s* plot);

// The per-file step of a folder scan: fills *plot (path = folder + '/' + file_name), writes the
// skip line of a skipped plot to the log and says what the file is.
plot_file_kind classify_plot_file(const std::string& folder, const std::string& file_name,
                                  plot_file_s* plot);

// folder + '/' + "<account>_<start>_<nonces>": the path of a PoC2 output. Never cut.
std::string make_output_path(const std::string& folder, std::uint64_t account_id,
                             std::uint64_t start_nonce, std::uint64_t nonces);

// The part of a path after its last '/' (the whole text when it has none).
std::string_view file_name_of(std::string_view path);
