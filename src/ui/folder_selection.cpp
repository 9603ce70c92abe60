#include "ui/folder_selection.h"

#include <optional>
#include <string>

#include "catalogue/drives.h"
#include "ui/drive_panel.h"
#include "ui/host_hooks.h"
#include "util/log.h"

namespace {

// Whether the folder is in the other list already: writing PoC2 plots beside their PoC1 plots
// is rarely what a person means, so it is asked.
bool used_both_ways_agreed(int list, const std::string& folder) {
    file_identity_s chosen = describe_folder(folder).folder;
    int other = list == source_list ? destination_list : source_list;
    bool in_other = false;
    for (const drive_info_s& drive : drive_list(other)) {
        in_other =
            in_other || (chosen.inode != 0 && drive.folder == chosen) || drive.path == folder;
    }
    if (!in_other) {
        return true;
    }
    bool source = list == source_list;
    return ask_yes_no(current_window, "Same folder",
                      "%s is also a %s folder.\n\nThe PoC2 plots would be written beside their "
                      "PoC1 plots, which needs room for both. \"Convert in place\" converts each "
                      "plot in its own file and needs no second folder.\n\nUse it as a %s "
                      "folder too?",
                      folder.c_str(), source ? "destination" : "source",
                      source ? "source" : "destination");
}

} // namespace

void browse_for_folder(int list) {
    const char* title = list == source_list ? "Path to source" : "Path to destination";
    std::optional<std::string> folder;
    if (host_hooks().choose_folder) {
        folder = host_hooks().choose_folder(current_window, title);
    }
    if (folder && used_both_ways_agreed(list, *folder)) {
        add_drive(list, *folder);
    }
    // Also after a cancel: no repaint is asked for here, the flag waits for the next one.
    drive_panel_state[list].scroll_to_end = true;
}
