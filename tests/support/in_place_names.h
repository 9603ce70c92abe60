// What a miner may find in a folder while a plot in it is converted in place, for the tests
// that interrupt such conversions.
#pragma once

#include <dirent.h>

#include <set>
#include <string>

#include "support/plot_files.h"
#include "support/temp_folder.h"

// The names in a folder, sorted.
inline std::set<std::string> file_names_in(const std::string& folder) {
    std::set<std::string> found;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") {
                found.insert(name);
            }
        }
        closedir(dir);
    }
    return found;
}

// The whole content of a file ("" when it cannot be read).
inline std::string file_bytes(const std::string& path) {
    return read_text_file(path);
}

// Checks what a miner would find in the folder after a crash: the plot's PoC1 name only while
// it holds the untouched PoC1 plot, its PoC2 name only when it is complete, and otherwise only
// the temporary name and the journal. "" when all is well.
inline std::string check_names_after_crash(const std::set<std::string>& names,
                                           const plot_spec_s& plot, const std::string& folder,
                                           const std::string& original_bytes) {
    std::string poc1 = poc1_name(plot);
    std::string poc2 = std::to_string(plot.account_id) + "_" + std::to_string(plot.start_nonce) +
                       "_" + std::to_string(plot.nonces);
    std::set<std::string> allowed = {poc1, poc2, poc2 + ".swizzling", poc2 + ".swizzling.journal"};
    for (const std::string& name : names) {
        if (allowed.count(name) == 0) {
            return "an unexpected file " + name;
        }
    }
    if (names.count(poc1) != 0 && file_bytes(folder + "/" + poc1) != original_bytes) {
        return "the plot under its PoC1 name has changed";
    }
    if (names.count(poc2) != 0) {
        std::string problem = check_poc2_file(folder + "/" + poc2, {plot});
        if (!problem.empty()) {
            return "an incomplete plot under its PoC2 name: " + problem;
        }
    }
    int plot_names =
        static_cast<int>(names.count(poc1) + names.count(poc2) + names.count(poc2 + ".swizzling"));
    return plot_names == 1 ? "" : "the plot is under " + std::to_string(plot_names) + " names";
}
