#include "notification_service.h"

#include <gio/gio.h>

#include <chrono>
#include <future>

namespace {

constexpr const char* service_name = "org.freedesktop.Notifications";
constexpr const char* service_path = "/org/freedesktop/Notifications";

// The one method of the notification interface that the program calls.
constexpr const char* interface_xml = R"(
<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
  </interface>
</node>)";

std::string string_of(GVariant* value) {
    return value != nullptr && g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)
               ? g_variant_get_string(value, nullptr)
               : "";
}

// Notify, the interface's only method (GDBus refuses the others): keeps the notification and
// answers with its number.
void handle_notify(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                   GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto* service = static_cast<notification_service_s*>(data);
    notification_s note;
    const gchar *app_name, *app_icon, *summary, *body;
    guint32 replaces = 0;
    GVariant* actions = nullptr;
    GVariant* hints = nullptr;
    gint32 timeout = 0;
    g_variant_get(parameters, "(&su&s&s&s@as@a{sv}i)", &app_name, &replaces, &app_icon, &summary,
                  &body, &actions, &hints, &timeout);
    note.app_name = app_name;
    note.app_icon = app_icon;
    note.summary = summary;
    note.body = body;
    GVariant* entry = g_variant_lookup_value(hints, "desktop-entry", nullptr);
    note.desktop_entry = string_of(entry);
    if (entry != nullptr) {
        g_variant_unref(entry);
    }
    g_variant_unref(actions);
    g_variant_unref(hints);
    std::size_t id = 0;
    {
        std::lock_guard guard(service->lock);
        service->received.push_back(note);
        id = service->received.size();
    }
    service->arrived.notify_all();
    g_dbus_method_invocation_return_value(invocation,
                                          g_variant_new("(u)", static_cast<guint32>(id)));
}

// The service thread: connects, registers, takes the name, then serves until stopped. The
// promise says whether it got that far.
void serve(notification_service_s* service, std::string address,
           std::promise<std::string> started) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GError* error = nullptr;
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    std::string why_not;
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(interface_xml, nullptr);
    if (bus == nullptr) {
        why_not = std::string("cannot connect to the bus: ") + error->message;
        g_clear_error(&error);
    } else {
        static const GDBusInterfaceVTable vtable = {handle_notify, nullptr, nullptr, {}};
        g_dbus_connection_register_object(bus, service_path, node->interfaces[0], &vtable, service,
                                          nullptr, nullptr);
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", service_name, 4u /* do not queue */),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
        guint32 result = 0;
        if (reply != nullptr) {
            g_variant_get(reply, "(u)", &result);
            g_variant_unref(reply);
        } else {
            g_clear_error(&error);
        }
        if (result != 1 /* primary owner */) {
            why_not = "the notification service's name is taken";
        }
    }
    if (why_not.empty()) {
        service->loop = g_main_loop_new(context, FALSE);
    }
    started.set_value(why_not);
    if (service->loop != nullptr) {
        g_main_loop_run(service->loop);
    }
    if (bus != nullptr) {
        g_dbus_connection_close_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
    }
    g_dbus_node_info_unref(node);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
}

} // namespace

bool start_notification_service(notification_service_s& service, const std::string& address,
                                std::string& why_not) {
    std::promise<std::string> started;
    std::future<std::string> outcome = started.get_future();
    service.thread = std::thread(serve, &service, address, std::move(started));
    why_not = outcome.get();
    if (!why_not.empty()) {
        service.thread.join();
        return false;
    }
    return true;
}

std::optional<notification_s> next_notification(notification_service_s& service, double seconds) {
    std::unique_lock guard(service.lock);
    if (!service.arrived.wait_for(guard, std::chrono::duration<double>(seconds),
                                  [&] { return !service.received.empty(); })) {
        return std::nullopt;
    }
    notification_s note = service.received.front();
    service.received.pop_front();
    return note;
}

void stop_notification_service(notification_service_s& service) {
    if (service.loop != nullptr) {
        GMainLoop* loop = service.loop;
        g_main_context_invoke(
            g_main_loop_get_context(loop),
            [](gpointer data) {
                g_main_loop_quit(static_cast<GMainLoop*>(data));
                return G_SOURCE_REMOVE;
            },
            loop);
    }
    if (service.thread.joinable()) {
        service.thread.join();
    }
    if (service.loop != nullptr) {
        g_main_loop_unref(service.loop);
        service.loop = nullptr;
    }
}
