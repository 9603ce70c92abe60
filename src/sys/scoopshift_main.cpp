// The desktop program: starts with the configuration screen. Everything is chosen in the window;
// the command line only answers --help and --version, as every installed program does.
#include <cstdio>
#include <cstring>

#include "sys/start_up.h"
#include "ui/config_screen.h"

namespace {

const char* const usage =
    "usage: scoopshift [--help | --version]\n"
    "\n"
    "Opens the Scoopshift window, which converts the optimized PoC1 plots of a folder to PoC2\n"
    "plots in another folder. It needs a desktop session; without one, use scoopshift-cli.\n"
    "\n"
    "  --help      show this text\n"
    "  --version   show the version\n";

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("scoopshift %s\n", SCOOPSHIFT_VERSION);
        return 0;
    }
    if (argc > 1) {
        std::fprintf(stderr, "scoopshift: unknown argument %s\n\n%s", argv[1], usage);
        return 2;
    }
    end_process(run_desktop_program(config_screen));
}
