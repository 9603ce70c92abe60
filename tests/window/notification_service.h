// A stand-in for the desktop's notification service: it owns
// org.freedesktop.Notifications on a (private) session bus, answers Notify as
// a desktop would and keeps what it was sent, for the tests to look at.
//
// Limits: one service per record; it serves on a thread of its own until
// stopped. The bus is given by its address (a private dbus-daemon's).
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct notification_s {
    std::string app_name;
    std::string app_icon;
    std::string summary;
    std::string body;
    std::string desktop_entry; // the "desktop-entry" hint, "" without one
};

struct _GMainLoop;

struct notification_service_s {
    std::thread thread;
    _GMainLoop* loop = nullptr; // the service thread's loop; set before start returns
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<notification_s> received; // guarded by lock, oldest first
};

// Connects to the bus at `address`, takes the service's name and starts serving. False, with
// `why_not`, when the bus cannot be reached or the name is taken.
bool start_notification_service(notification_service_s& service, const std::string& address,
                                std::string& why_not);

// The oldest notification not yet taken, waiting up to `seconds` for one.
std::optional<notification_s> next_notification(notification_service_s& service, double seconds);

// Stops serving and leaves the bus.
void stop_notification_service(notification_service_s& service);
