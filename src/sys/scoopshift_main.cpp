// The desktop program: starts with the configuration screen; takes nothing from its command
// line.
#include "sys/start_up.h"
#include "ui/config_screen.h"

int main() {
    end_process(run_desktop_program(config_screen));
}
