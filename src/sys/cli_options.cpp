#include "sys/cli_options.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

const char* const cli_usage =
    "usage: scoopshift-cli [--no-merge] [--max-ram GIB] [--delete-sources | --keep-sources]\n"
    "                      [--verify] [--plan-only] SOURCE_DIR DESTINATION_DIR\n"
    "       scoopshift-cli [--max-ram GIB] [--plan-only] --in-place FOLDER\n"
    "       scoopshift-cli --help | --version\n"
    "\n"
    "Converts the optimized PoC1 plots of SOURCE_DIR to PoC2 plots in DESTINATION_DIR, or\n"
    "those of FOLDER to PoC2 plots in the same files.\n"
    "\n"
    "  --no-merge         convert every plot on its own (default: plots of one account whose\n"
    "                     nonce ranges follow each other become one PoC2 plot)\n"
    "  --max-ram GIB      memory for buffers in GiB, fractions allowed; 0 = automatic (default)\n"
    "  --delete-sources   at the end, delete the sources of completed conversions without asking\n"
    "  --keep-sources     at the end, keep every source without asking\n"
    "  --verify           read every converted plot back and compare it with its sources\n"
    "                     before it gets its final name (reads the data twice more)\n"
    "  --in-place FOLDER  convert every plot in its own file: no second drive, room only for\n"
    "                     a small journal; each plot is its own job, nothing is deleted\n"
    "  --plan-only        show the plan and stop\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
    "\n"
    "Exit status: 0 when every conversion completed, 1 when one failed or the run could not\n"
    "start, 2 for a mistake on the command line. The log is log_swizzle.txt in the working\n"
    "folder.\n";

bool parse_gib(const std::string& text, std::uint64_t* bytes) {
    const char* start = text.c_str();
    char* end = nullptr;
    double gib = std::strtod(start, &end);
    if (end == start || *end != '\0' || !std::isfinite(gib) || gib < 0) {
        return false;
    }
    double value = gib * 1024.0 * 1024.0 * 1024.0;
    if (value >= 18446744073709551616.0) {
        return false;
    }
    *bytes = static_cast<std::uint64_t>(value);
    return true;
}

namespace {

// In place each plot is its own job and stays where it is: nothing to merge, no sources to
// delete or keep, no sources to verify against.
bool in_place_fits(const cli_options_s& options, int folders, std::string* error) {
    if (folders != 0) {
        *error = "--in-place takes exactly one folder";
        return false;
    }
    const char* clash = !options.merge                                        ? "--no-merge"
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
    int folders = 0;
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
        } else if (arg == "--in-place") {
            if (i + 1 >= argc) {
                *error = "--in-place needs a folder";
                return false;
            }
            if (options->in_place) {
                *error = "--in-place takes exactly one folder";
                return false;
            }
            options->in_place = true;
            options->source = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            *error = "unknown option " + arg;
            return false;
        } else if (folders == 0) {
            options->source = arg;
            ++folders;
        } else if (folders == 1) {
            options->destination = arg;
            ++folders;
        } else {
            *error = "too many folders: " + arg;
            return false;
        }
    }
    if (options->in_place) {
        return in_place_fits(*options, folders, error);
    }
    if (!options->help && !options->version && folders != 2) {
        *error = "a source and a destination folder are needed";
        return false;
    }
    return true;
}
