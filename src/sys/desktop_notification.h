// Desktop notifications through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus), so that a box raised
// behind other windows, such as "Done!" at the end of a run of many hours,
// is not missed.
//
// Sent without waiting for an answer: a desktop without a session bus or a
// notification service shows nothing and nothing fails. Interface thread only.
#pragma once

// Shows a notification of the program with the summary `title` and the body `text`.
void notify_desktop(const char* title, const char* text);
