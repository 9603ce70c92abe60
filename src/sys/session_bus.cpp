#include "sys/session_bus.h"

namespace {

GDBusConnection* bus = nullptr; // interface thread only; kept for the life of the process
bool looked_up = false;         // interface thread only

} // namespace

GDBusConnection* session_bus() {
    if (!looked_up) {
        looked_up = true;
        bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    }
    return bus;
}
