// Starts the GTK host's display connection under whatever locale the environment gives and
// prints the program's number texts: a size, a percentage and the memory limit read from "1,5"
// and "1.5". Each must read the same under every locale.
#include <cstdio>

#include "sys/gtk_host.h"
#include "sys/start_up.h"
#include "ui/ram_entry.h"
#include "util/size_text.h"

int main() {
    if (!open_display()) {
        std::printf("no display\n");
        return 2;
    }
    std::printf("%s|%0.1f%%|%llu|%llu\n", size_text(10485760000ull, false), 25.0,
                static_cast<unsigned long long>(read_ram_text("1,5").bytes),
                static_cast<unsigned long long>(read_ram_text("1.5").bytes));
    end_process(0); // as the program ends: GTK's connections are not torn down
}
