#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_folder.h"
#include "util/keep_awake.h"

#if defined(__SANITIZE_THREAD__)
#define SCOOPSHIFT_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SCOOPSHIFT_THREAD_SANITIZER 1
#endif
#endif

namespace {

// A stand-in for logind on a private bus: it records each Inhibit call and hands out the
// write end of a pipe, so the test sees the lock go when the read end reports a hang-up.
struct fake_logind_s {
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    GDBusConnection* connection = nullptr;
    std::thread thread;
    std::mutex lock; // guards calls, held and ready
    std::condition_variable owned;
    std::vector<std::string> calls;
    int held = -1; // read end of the lock handed out last
    bool ready = false;
};

const char* manager_xml = "<node><interface name='org.freedesktop.login1.Manager'>"
                          "<method name='Inhibit'><arg type='s' direction='in'/>"
                          "<arg type='s' direction='in'/><arg type='s' direction='in'/>"
                          "<arg type='s' direction='in'/><arg type='h' direction='out'/>"
                          "</method></interface></node>";

void on_method_call(GDBusConnection*, const char*, const char*, const char*, const char*,
                    GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto* fake = static_cast<fake_logind_s*>(data);
    const char *what, *who, *why, *mode;
    g_variant_get(parameters, "(&s&s&s&s)", &what, &who, &why, &mode);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        g_dbus_method_invocation_return_error(invocation, G_IO_ERROR, G_IO_ERROR_FAILED, "pipe");
        return;
    }
    {
        std::lock_guard hold(fake->lock);
        fake->calls = {what, who, why, mode};
        fake->held = ends[0];
    }
    GUnixFDList* list = g_unix_fd_list_new();
    int index = g_unix_fd_list_append(list, ends[1], nullptr);
    close(ends[1]);
    g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", index),
                                                            list);
    g_object_unref(list);
}

void serve(fake_logind_s* fake, std::string address) {
    g_main_context_push_thread_default(fake->context);
    fake->connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (fake->connection != nullptr) {
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(manager_xml, nullptr);
        static const GDBusInterfaceVTable vtable = {on_method_call, nullptr, nullptr, {}};
        g_dbus_connection_register_object(fake->connection, "/org/freedesktop/login1",
                                          node->interfaces[0], &vtable, fake, nullptr, nullptr);
        g_dbus_node_info_unref(node);
        GVariant* reply = g_dbus_connection_call_sync(
            fake->connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "RequestName",
            g_variant_new("(su)", "org.freedesktop.login1", 4u), nullptr, G_DBUS_CALL_FLAGS_NONE,
            -1, nullptr, nullptr);
        if (reply != nullptr) {
            g_variant_unref(reply);
        }
    }
    {
        std::lock_guard hold(fake->lock);
        fake->ready = true;
    }
    fake->owned.notify_all();
    g_main_loop_run(fake->loop);
    if (fake->connection != nullptr) {
        g_dbus_connection_close_sync(fake->connection, nullptr, nullptr);
        g_object_unref(fake->connection);
    }
    g_main_context_pop_thread_default(fake->context);
}

bool program_on_path(const char* name) {
    gchar* found = g_find_program_in_path(name);
    g_free(found);
    return found != nullptr;
}

TEST(keep_awake_test, logind_is_asked_to_block_sleep_and_idle_until_the_lock_is_given_back) {
#ifdef SCOOPSHIFT_THREAD_SANITIZER
    // GLib is not built for the sanitizer, which then takes GDBus's own hand-overs between its
    // threads for races.
    GTEST_SKIP() << "GDBus cannot run under ThreadSanitizer; the inhibitor lock is not tested";
#endif
    if (!program_on_path("dbus-daemon")) {
        GTEST_SKIP() << "no dbus-daemon for a private bus; the inhibitor lock is not tested";
    }
    GTestDBus* bus = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(bus);
    std::string address = g_test_dbus_get_bus_address(bus);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);

    fake_logind_s fake;
    fake.context = g_main_context_new();
    fake.loop = g_main_loop_new(fake.context, FALSE);
    fake.thread = std::thread(serve, &fake, address);
    {
        std::unique_lock hold(fake.lock); // the name must be owned before anyone asks for it
        fake.owned.wait(hold, [&fake] { return fake.ready; });
    }

    int lock = begin_keep_awake();
    EXPECT_GE(lock, 0);
    int held;
    {
        std::lock_guard hold(fake.lock);
        EXPECT_EQ(fake.calls, (std::vector<std::string>{"sleep:idle", "Scoopshift",
                                                        "Converting plot files", "block"}));
        held = fake.held;
    }
    ASSERT_GE(held, 0);
    pollfd watch{held, POLLIN, 0};
    EXPECT_EQ(poll(&watch, 1, 0), 0) << "the lock is held";
    end_keep_awake(lock);
    EXPECT_EQ(poll(&watch, 1, 5000), 1);
    EXPECT_TRUE(watch.revents & POLLHUP) << "the lock was given back";
    close(held);

    g_main_loop_quit(fake.loop);
    fake.thread.join();
    g_main_loop_unref(fake.loop);
    g_main_context_unref(fake.context);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    g_test_dbus_down(bus);
    g_object_unref(bus);
}

TEST(keep_awake_test, without_a_system_bus_the_request_is_refused) {
    temp_folder_s folder;
    std::string address = "unix:path=" + folder.path + "/no_bus";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    EXPECT_EQ(begin_keep_awake(), -1);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

} // namespace
