// The command line of the terminal front end.
//
// Copying: the positional folders are sources and the last one is the destination, as with cp;
// once any --destination is given, every positional folder is a source. In place: every
// positional folder is converted in its own files. A folder named twice counts once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class deletion_answer { ask, delete_sources, keep_sources };

struct cli_options_s {
    bool merge = true;
    std::uint64_t max_ram_bytes = 0; // 0 = automatic
    deletion_answer deletion = deletion_answer::ask;
    bool plan_only = false;
    bool verify = false;   // read every output back against its sources before it is complete
    bool in_place = false; // convert the plots of `sources` in their own files
    bool json = false;     // events as JSON lines on standard output, human text on error
    // --log: "" for log_swizzle.txt in the working folder, "-" for standard error.
    std::string log_path;
    bool help = false;
    bool version = false;
    std::vector<std::string> sources;      // in place: the folders to convert; each once
    std::vector<std::string> destinations; // empty in place; each once
};

// The usage text, for --help and for every mistake on the command line.
extern const char* const cli_usage;

// Parses argv; on a mistake returns false with *error saying what is wrong.
bool parse_cli_options(int argc, char** argv, cli_options_s* options, std::string* error);

// Reads a memory limit in GiB the way the memory entry does (a decimal number, fraction allowed);
// false for text that is not a number, a negative number, or more than 64 bits of bytes.
bool parse_gib(const std::string& text, std::uint64_t* bytes);
