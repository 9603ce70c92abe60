#include "ui/folder_selection.h"

#include <optional>
#include <string>

#include "catalogue/drives.h"
#include "ui/drive_panel.h"
#include "ui/host_hooks.h"

void browse_for_folder(int list) {
    const char* title = list == source_list ? "Path to source" : "Path to destination";
    std::optional<std::string> folder;
    if (host_hooks().choose_folder) {
        folder = host_hooks().choose_folder(current_window, title);
    }
    if (folder) {
        add_drive(list, *folder);
    }
    // Also after a cancel: no repaint is asked for here, the flag waits for the next one.
    drive_panel_state[list].scroll_to_end = true;
}
