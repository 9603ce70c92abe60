// Folder selection: the add card's action, through the host's modal folder chooser.
#pragma once

// Asks for a folder for list `list` ("Path to source" or "Path to destination") and adds a
// chosen one with add_drive, unchanged; a folder that the other list holds is added only when
// the person says so. Either way the panel scrolls to its end at the next
// frame. Returns when the chooser is closed. Interface thread only.
void browse_for_folder(int list);
