// The GTK side of what the rest of the program asks of the desktop: message
// boxes, the folder chooser, the memory-limit text box, the repaint timer and
// the launcher's progress indicator.
//
// Message boxes may be raised from any thread: off the interface thread the
// box is shown there while the caller waits for the answer. Everything else
// runs on the interface thread. Limits: boxes and the chooser need the main
// loop running to be shown from another thread; without a session bus the
// launcher progress shows nothing.
#pragma once

// Installs the GTK message boxes as the log's box handler. On the interface thread, after
// open_display, before other threads exist.
void install_message_boxes();

// Fills host_hooks() with the GTK timer, folder chooser, text box and launcher progress.
// On the interface thread, after open_display.
void install_host_hooks();
