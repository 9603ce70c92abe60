// The main window, its paint and input paths and the main loop.
//
// Widget tree: a non-resizable GtkWindow holding a GtkOverlay whose main child
// is the 640 x 480 GtkDrawingArea; text boxes are overlay children. The record
// of the window table keeps the GtkWindow in `handle`; the other widgets of a
// record live in host_windows.
#include "sys/gtk_host.h"

#include <clocale>
#include <cmath>

#include "catalogue/drives.h"
#include "sys/gtk_dialogs.h"
#include "ui/click_regions.h"
#include "ui/draw.h"
#include "ui/window_record.h"
#include "util/log.h"
#include "util/ui_tasks.h"

namespace {

constexpr int client_width = 640;
constexpr int client_height = 480;

struct host_window_s {
    GtkWidget* window = nullptr;
    GtkWidget* overlay = nullptr;
    GtkWidget* area = nullptr;
};

host_window_s host_windows[window_table_size]; // interface thread only
GMainLoop* main_loop = nullptr;                // interface thread only
bool quit_requested = false;                   // interface thread only
int exit_status = 0;                           // interface thread only
std::function<bool()> close_guard;             // interface thread only; empty: closes at once
bool close_guard_asking = false;               // interface thread only

// How long the focus may take to come back to the main window after a box is answered, at
// most: a window manager that refuses it must not keep the program "in use" for ever.
constexpr gint64 focus_return_us = 5 * G_USEC_PER_SEC;
// Until when the focus is on its way back from a box or chooser the person has just closed;
// 0 once the main window's focus has changed since. Interface thread only.
gint64 focus_returning_until = 0;

int index_of(gpointer data) {
    return GPOINTER_TO_INT(data);
}

bool valid_index(int window) {
    return window >= 0 && window < window_table_size;
}

void quit_main_loop(int status) {
    exit_status = status;
    quit_requested = true;
    if (main_loop != nullptr) {
        g_main_loop_quit(main_loop);
    }
}

gboolean on_draw(GtkWidget* area, cairo_t* cr, gpointer data) {
    int window = index_of(data);
    window_record_s& record = window_table[window];
    int width = gtk_widget_get_allocated_width(area);
    int height = gtk_widget_get_allocated_height(area);
    // On a high-density screen the back buffer has the device's pixels, so that the copy below
    // is one to one and nothing is magnified.
    if (!ensure_back_buffer(window, width, height, gtk_widget_get_scale_factor(area))) {
        return TRUE;
    }
    prepare_back_buffer(window);
    cairo_surface_flush(record.back_buffer);

    // The whole frame except the text boxes, which draw themselves above it.
    cairo_save(cr);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    cairo_rectangle(cr, 0, 0, width, height);
    for (const child_control_s& control : record.child_controls) {
        cairo_rectangle(cr, control.x, control.y, control.width, control.height);
    }
    cairo_clip(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cr, record.back_buffer, 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
    return TRUE;
}

// Pointer positions arrive as fractional pixels and, during the implicit grab of a press, may
// lie left of or above the window: round towards minus infinity so that -0.5 is outside.
void route_pointer(int window, int kind, double x, double y) {
    window_record_s& record = window_table[window];
    record.pointer_x = static_cast<int>(std::floor(x));
    record.pointer_y = static_cast<int>(std::floor(y));
    dispatch_click_regions(window, kind, record.pointer_x, record.pointer_y);
}

gboolean on_button_press(GtkWidget*, GdkEventButton* event, gpointer data) {
    // GTK adds GDK_2BUTTON_PRESS after the second press of a double click; that press has
    // already been routed as a press of its own.
    if (event->type == GDK_BUTTON_PRESS && event->button == GDK_BUTTON_PRIMARY) {
        route_pointer(index_of(data), pointer_press, event->x, event->y);
    }
    return TRUE;
}

gboolean on_button_release(GtkWidget*, GdkEventButton* event, gpointer data) {
    if (event->button == GDK_BUTTON_PRIMARY) {
        route_pointer(index_of(data), pointer_release, event->x, event->y);
    }
    return TRUE;
}

gboolean on_motion(GtkWidget*, GdkEventMotion* event, gpointer data) {
    route_pointer(index_of(data), pointer_move, event->x, event->y);
    return TRUE;
}

// The wheel scrolls what lies under the pointer; each notch (or a smooth scroll's unit) is one
// step, down and right towards the end.
gboolean on_scroll(GtkWidget*, GdkEventScroll* event, gpointer data) {
    double steps = 0;
    switch (event->direction) {
    case GDK_SCROLL_UP:
    case GDK_SCROLL_LEFT:
        steps = -1;
        break;
    case GDK_SCROLL_DOWN:
    case GDK_SCROLL_RIGHT:
        steps = 1;
        break;
    case GDK_SCROLL_SMOOTH:
        steps = event->delta_x + event->delta_y;
        break;
    }
    return steps != 0 && dispatch_wheel(index_of(data), static_cast<int>(std::floor(event->x)),
                                        static_cast<int>(std::floor(event->y)), steps);
}

// Tab and Shift+Tab move among the screen's controls, Return and space act, Delete removes; a key
// the screen does not take (Alt+F4, the desktop's own) goes on.
gboolean on_key_press(GtkWidget*, GdkEventKey* event, gpointer data) {
    bool shift = (event->state & GDK_SHIFT_MASK) != 0;
    screen_key key;
    switch (event->keyval) {
    case GDK_KEY_Tab:
    case GDK_KEY_KP_Tab:
        key = shift ? screen_key::previous : screen_key::next;
        break;
    case GDK_KEY_ISO_Left_Tab:
        key = screen_key::previous;
        break;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_space:
        key = screen_key::activate;
        break;
    case GDK_KEY_Delete:
    case GDK_KEY_KP_Delete:
    case GDK_KEY_BackSpace:
        key = screen_key::remove;
        break;
    default:
        return FALSE;
    }
    return dispatch_key(index_of(data), key);
}

// Folders come only from the folder chooser: a drop is taken and has no effect.
void on_drop_received(GtkWidget*, GdkDragContext*, int, int, GtkSelectionData*, guint, guint,
                      gpointer) {}

// Closing the window (its close button, Alt+F4) first asks the guard; TRUE keeps the window.
gboolean on_delete(GtkWidget*, GdkEvent*, gpointer) {
    if (!close_guard) {
        return FALSE;
    }
    if (close_guard_asking) {
        return TRUE;
    }
    close_guard_asking = true;
    bool may_close = close_guard();
    close_guard_asking = false;
    return may_close ? FALSE : TRUE;
}

void on_destroy(GtkWidget*, gpointer data) {
    int window = index_of(data);
    window_table[window].handle = nullptr;
    host_windows[window] = {};
    for (const window_record_s& record : window_table) {
        if (record.handle != nullptr) {
            return;
        }
    }
    // A quit already requested (the end of a run while a question was open) keeps its status.
    quit_main_loop(quit_requested ? exit_status : 0);
}

// The client area's top-left corner goes to the centre of the primary monitor; static gravity
// makes the position that of the client area rather than of the frame the window manager adds.
void centre_on_primary_monitor(GtkWindow* window) {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (monitor == nullptr) {
        monitor = gdk_display_get_monitor(display, 0);
    }
    if (monitor == nullptr) {
        gtk_window_set_position(window, GTK_WIN_POS_CENTER);
        return;
    }
    GdkRectangle screen;
    gdk_monitor_get_geometry(monitor, &screen);
    gtk_window_set_gravity(window, GDK_GRAVITY_STATIC);
    gtk_window_move(window, screen.x + (screen.width - client_width) / 2,
                    screen.y + (screen.height - client_height) / 2);
}

void invalidate(int window) {
    if (valid_index(window) && host_windows[window].area != nullptr) {
        gtk_widget_queue_draw(host_windows[window].area);
    }
}

gboolean run_queued_tasks(gpointer) {
    run_ui_tasks();
    return G_SOURCE_REMOVE;
}

// The same idle source that g_main_context_invoke attaches when called from another thread.
// It is attached also when the interface thread posts to itself, where g_main_context_invoke
// would run the queue at once, inside the poster, ahead of closures already being run.
bool wake_interface_thread() {
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, run_queued_tasks, nullptr, nullptr);
    guint id = g_source_attach(source, g_main_context_default());
    g_source_unref(source);
    return id != 0;
}

// The person answered a box or closed a chooser: the focus goes back to the window it belongs
// to, as a window manager gives it back (and without one, where nothing else would).
void on_tracked_destroyed(GtkWidget* widget, gpointer) {
    GtkWindow* owner = gtk_window_get_transient_for(GTK_WINDOW(widget));
    if (gtk_window_is_active(GTK_WINDOW(widget)) && owner != nullptr) {
        focus_returning_until = g_get_monotonic_time() + focus_return_us;
        gtk_window_present(owner);
    }
}

// The main window got the focus back, or the person went elsewhere: either way the focus is no
// longer on its way.
void on_main_active_changed(GObject*, GParamSpec*, gpointer) {
    focus_returning_until = 0;
}

} // namespace

void track_program_use(GtkWindow* window) {
    g_signal_connect(window, "destroy", G_CALLBACK(on_tracked_destroyed), nullptr);
}

bool program_in_use() {
    GList* windows = gtk_window_list_toplevels();
    bool active = false;
    for (GList* item = windows; item != nullptr; item = item->next) {
        active = active || gtk_window_is_active(GTK_WINDOW(item->data));
    }
    g_list_free(windows);
    return active || g_get_monotonic_time() < focus_returning_until;
}

bool open_display() {
    if (!gtk_init_check(nullptr, nullptr)) {
        return false;
    }
    // GTK takes the user's locale for everything; the program's numbers (sizes, percentages,
    // the memory limit) read the same under every locale, as in the terminal front end. The
    // dialogs keep the user's language.
    std::setlocale(LC_NUMERIC, "C");
    return true;
}

void install_gtk_host() {
    set_invalidate_handler(invalidate);
    set_repaint_handler([] { invalidate(current_window); });
    set_ui_wake_handler(wake_interface_thread);
    set_quit_handler(quit_main_loop);
    install_message_boxes();
    install_host_hooks();
}

int create_main_window() {
    int window = 0;
    while (window < window_table_size && window_table[window].handle != nullptr) {
        ++window;
    }
    if (window == window_table_size) {
        return -1;
    }
    gpointer data = GINT_TO_POINTER(window);

    GtkWidget* top = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(top), "Scoopshift");
    gtk_window_set_icon_name(GTK_WINDOW(top), "scoopshift");
    // A window that cannot be resized cannot be maximized either; it can still be minimized.
    gtk_window_set_resizable(GTK_WINDOW(top), FALSE);
    gtk_window_set_type_hint(GTK_WINDOW(top), GDK_WINDOW_TYPE_HINT_NORMAL);

    GtkWidget* overlay = gtk_overlay_new();
    GtkWidget* area = gtk_drawing_area_new();
    gtk_widget_set_size_request(area, client_width, client_height);
    gtk_widget_add_events(area, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                    GDK_POINTER_MOTION_MASK | GDK_SCROLL_MASK | GDK_KEY_PRESS_MASK);
    gtk_widget_set_can_focus(area, TRUE);
    gtk_container_add(GTK_CONTAINER(overlay), area);
    gtk_container_add(GTK_CONTAINER(top), overlay);

    // Copy only: a drop accepted as a move lets the drag's source delete what was dragged.
    static const GtkTargetEntry uri_list = {const_cast<char*>("text/uri-list"), 0, 0};
    gtk_drag_dest_set(area, GTK_DEST_DEFAULT_ALL, &uri_list, 1, GDK_ACTION_COPY);

    g_signal_connect(area, "draw", G_CALLBACK(on_draw), data);
    g_signal_connect(area, "button-press-event", G_CALLBACK(on_button_press), data);
    g_signal_connect(area, "button-release-event", G_CALLBACK(on_button_release), data);
    g_signal_connect(area, "motion-notify-event", G_CALLBACK(on_motion), data);
    g_signal_connect(area, "scroll-event", G_CALLBACK(on_scroll), data);
    g_signal_connect(area, "key-press-event", G_CALLBACK(on_key_press), data);
    g_signal_connect(area, "drag-data-received", G_CALLBACK(on_drop_received), data);
    g_signal_connect(top, "delete-event", G_CALLBACK(on_delete), data);
    g_signal_connect(top, "destroy", G_CALLBACK(on_destroy), data);
    g_signal_connect(top, "notify::is-active", G_CALLBACK(on_main_active_changed), nullptr);

    window_table[window].handle = top;
    host_windows[window] = {top, overlay, area};
    centre_on_primary_monitor(GTK_WINDOW(top));
    gtk_widget_show_all(top);
    gtk_widget_grab_focus(area);
    return window;
}

GtkWindow* gtk_window_of(int window) {
    if (!valid_index(window) || host_windows[window].window == nullptr) {
        return nullptr;
    }
    return GTK_WINDOW(host_windows[window].window);
}

GtkOverlay* gtk_overlay_of(int window) {
    if (!valid_index(window) || host_windows[window].overlay == nullptr) {
        return nullptr;
    }
    return GTK_OVERLAY(host_windows[window].overlay);
}

void set_close_guard(std::function<bool()> may_close) {
    close_guard = std::move(may_close);
}

int run_main_loop() {
    if (!quit_requested) {
        main_loop = g_main_loop_new(nullptr, FALSE);
        g_main_loop_run(main_loop);
        g_main_loop_unref(main_loop);
        main_loop = nullptr;
    }
    return exit_status;
}
