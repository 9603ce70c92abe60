#include "sys/desktop_notification.h"

#include <cstdint>
#include <string>

#include "sys/session_bus.h"

namespace {

constexpr const char* service_name = "org.freedesktop.Notifications";
constexpr const char* service_path = "/org/freedesktop/Notifications";
constexpr std::int32_t server_default_timeout = -1;

// D-Bus strings must be UTF-8; a path in another encoding must not lose the notification.
std::string valid_utf8(const char* text) {
    gchar* valid = g_utf8_make_valid(text, -1);
    std::string result(valid);
    g_free(valid);
    return result;
}

} // namespace

void notify_desktop(const char* title, const char* text) {
    GDBusConnection* bus = session_bus();
    if (bus == nullptr) {
        return;
    }
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    // The desktop entry lets the desktop show the program's name and icon and raise its window.
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("scoopshift"));
    std::string summary = valid_utf8(title);
    std::string body = valid_utf8(text);
    // No callback: the call goes out without a reply expected, and an absent service is an
    // error nobody waits for.
    g_dbus_connection_call(bus, service_name, service_path, service_name, "Notify",
                           g_variant_new("(susssasa{sv}i)", "Scoopshift", 0u, "scoopshift",
                                         summary.c_str(), body.c_str(), &actions, &hints,
                                         server_default_timeout),
                           nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
}
