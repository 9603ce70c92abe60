// Synthetic plot files for tests and benchmarks, and an independent checker of
// converted output.
//
// Every byte of a generated PoC1 plot is a function of (file, nonce, scoop,
// position) that differs for each of them: a swapped half, a misplaced run, a
// wrong nonce or bytes taken from the wrong source all show up. The checker
// computes the expected PoC2 bytes from the layout definition alone; it shares
// no code with the converter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One source plot: what its optimized PoC1 name says.
struct plot_spec_s {
    std::uint64_t account_id = 0;
    std::uint64_t start_nonce = 0;
    std::uint64_t nonces = 0;
};

// "<account>_<start>_<nonces>_<nonces>": the optimized PoC1 name of a plot.
std::string poc1_name(const plot_spec_s& plot);

// Fills out[0..64) with PoC1 scoop `scoop` of nonce `nonce` (relative to the file) of `plot`.
void poc1_scoop(const plot_spec_s& plot, std::uint64_t nonce, std::uint64_t scoop,
                std::uint8_t* out);

// Writes an optimized PoC1 plot into folder under its name and returns its path ("" on failure).
std::string write_poc1_plot(const std::string& folder, const plot_spec_s& plot);

// The bytes of an optimized PoC1 plot, for files in memory.
std::vector<std::uint8_t> poc1_plot_bytes(const plot_spec_s& plot);

// Checks the PoC2 file at path against the sources it was merged from, in order. Returns ""
// when every byte and the length are right, else a description of the first difference.
std::string check_poc2_file(const std::string& path, const std::vector<plot_spec_s>& sources);

// The same for the bytes of a file in memory, named `name` in the description.
std::string check_poc2_bytes(const std::vector<std::uint8_t>& bytes, const std::string& name,
                             const std::vector<plot_spec_s>& sources);
