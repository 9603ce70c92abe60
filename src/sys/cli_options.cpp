#include "sys/cli_options.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

const char* const cli_usage =
    "usage: scoopshift-cli [--no-merge] [--max-ram GIB] [--delete-sources | --keep-sources]\n"
    "                      [--verify] [--plan-only] SOURCE_DIR... DESTINATION_DIR\n"
    "       scoopshift-cli [options] SOURCE_DIR... --destination DIR [--destination DIR]...\n"
    "       scoopshift-cli [--max-ram GIB] [--plan-only] --in-place FOLDER...\n"
    "       scoopshift-cli --help | --version\n"
    "\n"
    "Converts the optimized PoC1 plots of every SOURCE_DIR to PoC2 plots in DESTINATION_DIR\n"
    "(or in the --destination folders, each output where there is room), or those of every\n"
    "FOLDER to PoC2 plots in the same files. Drives that share nothing convert at once.\n"
    "\n"
    "  --destination DIR  a destination folder, as often as needed; with it every folder\n"
    "                     without an option is a source\n"
    "  --no-merge         convert every plot on its own (default: plots of one account in one\n"
    "                     folder whose nonce ranges follow each other become one PoC2 plot)\n"
    "  --max-ram GIB      memory for buffers in GiB, a decimal number such as 4 or 0.5;\n"
    "                     0 = automatic (default)\n"
    "  --delete-sources   at the end, delete the sources of completed conversions without asking\n"
    "  --keep-sources     at the end, keep every source without asking\n"
    "  --verify           read every converted plot back and compare it with its sources\n"
    "                     before it gets its final name (reads the data twice more)\n"
    "  --in-place         convert every plot of every FOLDER in its own file: no second drive,\n"
    "                     room only for a small journal; each plot is its own job, nothing is\n"
    "                     deleted\n"
    "  --plan-only        show the plan and stop\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
    "\n"
    "Exit status: 0 when every conversion completed, 1 when one failed or the run could not\n"
    "start, 2 for a mistake on the command line. The log is log_swizzle.txt in the working\n"
    "folder.\n";

bool parse_gib(const std::string& text, std::uint64_t* bytes) {
    // Plain decimals only: strtod would also take "0x10" (16), "1e-300" (0, which means
    // automatic), "inf" and blanks, each a limit the user did not mean.
    std::size_t digits = 0;
    std::size_t points = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c == '.') {
            ++points;
        } else {
            return false;
        }
    }
    if (digits == 0 || points > 1) {
        return false;
    }
    double gib = std::strtod(text.c_str(), nullptr);
    double value = gib * 1024.0 * 1024.0 * 1024.0;
    if (!std::isfinite(value) || value >= 18446744073709551616.0) {
        return false;
    }
    *bytes = static_cast<std::uint64_t>(value);
    // A limit too small for one byte is still a limit, not "automatic".
    if (*bytes == 0 && value > 0) {
        *bytes = 1;
    }
    return true;
}

namespace {

// The folder without trailing slashes: "a/" names the folder "a" does.
std::string without_trailing_slashes(const std::string& folder) {
    std::size_t end = folder.find_last_not_of('/');
    return end == std::string::npos ? folder.substr(0, 1) : folder.substr(0, end + 1);
}

// Adds the folder unless the list already names it (with or without trailing slashes).
void add_once(std::vector<std::string>& folders, const std::string& folder) {
    for (const std::string& known : folders) {
        if (without_trailing_slashes(known) == without_trailing_slashes(folder)) {
            return;
        }
    }
    folders.push_back(folder);
}

// In place each plot is its own job and stays where it is: nothing to merge, no destination, no
// sources to delete or keep, no sources to verify against.
bool in_place_fits(const cli_options_s& options, const std::vector<std::string>& folders,
                   std::string* error) {
    if (folders.empty()) {
        *error = "--in-place needs a folder";
        return false;
    }
    const char* clash = !options.destinations.empty()                         ? "--destination"
                        : !options.merge                                      ? "--no-merge"
                        : options.deletion == deletion_answer::delete_sources ? "--delete-sources"
                        : options.deletion == deletion_answer::keep_sources   ? "--keep-sources"
                        : options.verify                                      ? "--verify"
                                                                              : nullptr;
    if (clash != nullptr) {
        *error = std::string(clash) +
                 " makes no sense with --in-place: each plot is converted in its own file";
        return false;
    }
    return true;
}

} // namespace

bool parse_cli_options(int argc, char** argv, cli_options_s* options, std::string* error) {
    std::vector<std::string> folders;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options->help = true;
        } else if (arg == "--version") {
            options->version = true;
        } else if (arg == "--no-merge") {
            options->merge = false;
        } else if (arg == "--verify") {
            options->verify = true;
        } else if (arg == "--plan-only") {
            options->plan_only = true;
        } else if (arg == "--in-place") {
            options->in_place = true;
        } else if (arg == "--delete-sources" || arg == "--keep-sources") {
            auto wanted = arg == "--delete-sources" ? deletion_answer::delete_sources
                                                    : deletion_answer::keep_sources;
            if (options->deletion != deletion_answer::ask && options->deletion != wanted) {
                *error = "--delete-sources and --keep-sources exclude each other";
                return false;
            }
            options->deletion = wanted;
        } else if (arg == "--max-ram") {
            if (i + 1 >= argc) {
                *error = "--max-ram needs a size in GiB";
                return false;
            }
            if (!parse_gib(argv[++i], &options->max_ram_bytes)) {
                *error = std::string("--max-ram takes a size in GiB, not \"") + argv[i] + "\"";
                return false;
            }
        } else if (arg == "--destination") {
            if (i + 1 >= argc) {
                *error = "--destination needs a folder";
                return false;
            }
            add_once(options->destinations, argv[++i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            *error = "unknown option " + arg;
            return false;
        } else {
            folders.push_back(arg);
        }
    }
    if (options->help || options->version) {
        return true;
    }
    if (options->in_place) {
        if (!in_place_fits(*options, folders, error)) {
            return false;
        }
    } else if (options->destinations.empty()) {
        if (folders.size() < 2) {
            *error = "a source and a destination folder are needed";
            return false;
        }
        options->destinations.push_back(folders.back());
        folders.pop_back();
    } else if (folders.empty()) {
        *error = "a source folder is needed besides --destination";
        return false;
    }
    for (const std::string& folder : folders) {
        add_once(options->sources, folder);
    }
    return true;
}
