#include "util/keep_awake.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

namespace {

// logind answers at once when it runs; a bus that does not answer within this is treated as
// having refused.
constexpr int reply_timeout_ms = 2000;

} // namespace

int begin_keep_awake() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (bus == nullptr) {
        g_clear_error(&error);
        return -1;
    }
    GUnixFDList* received = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
        "Inhibit",
        g_variant_new("(ssss)", "sleep:idle", "Scoopshift", "Converting plot files", "block"),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, reply_timeout_ms, nullptr, &received,
        nullptr, &error);
    int lock = -1;
    if (reply != nullptr) {
        gint32 index = -1;
        g_variant_get(reply, "(h)", &index);
        if (received != nullptr) {
            lock = g_unix_fd_list_get(received, index, nullptr); // a duplicate we own
        }
        g_variant_unref(reply);
    }
    if (received != nullptr) {
        g_object_unref(received);
    }
    g_clear_error(&error);
    g_object_unref(bus);
    return lock;
}

void end_keep_awake(int lock) {
    if (lock >= 0) {
        close(lock); // logind lifts the inhibitor when the last copy of its descriptor closes
    }
}
