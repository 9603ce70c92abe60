// The desktop session's D-Bus connection, shared by the launcher progress and
// the notifications.
//
// Looked up once: a desktop without a session bus is not asked again, and
// whatever would have gone over it is simply not shown. Interface thread only.
#pragma once

#include <gio/gio.h>

// The session bus, or null when there is none.
GDBusConnection* session_bus();
