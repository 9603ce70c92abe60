// The host hooks of the screens, on GTK: repaint timer, folder chooser, the
// memory-limit text box (with its Enter and Escape) and the launcher's
// progress indicator.
//
// The folder chooser opens on the last folder chosen with its title in this
// run (a source chooser on the last source, a destination chooser on the last
// destination, never on a source), selected in its parent so that a
// neighbouring drive is one click away; on the first opening of each it shows
// the user's removable-media folder (/media/$USER, or /run/media/$USER on some
// distributions), else the home folder. The launcher
// progress is the Unity LauncherEntry signal that KDE Plasma and the GNOME and
// Ubuntu docks read; desktops without a listener simply ignore it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "sys/gtk_dialogs.h"
#include "sys/gtk_host.h"
#include "sys/session_bus.h"
#include "ui/host_hooks.h"
#include "ui/window_record.h"

namespace {

constexpr const char* launcher_app_uri = "application://scoopshift.desktop";
constexpr const char* launcher_object_path = "/com/canonical/unity/launcherentry/scoopshift";

// The last folder chosen under each chooser title. Interface thread only.
std::map<std::string, std::string> last_chosen_folders;

gboolean on_repaint_tick(gpointer data) {
    invalidate_window(GPOINTER_TO_INT(data));
    return G_SOURCE_CONTINUE;
}

void start_repaint_timer(int window, int milliseconds) {
    g_timeout_add(static_cast<guint>(std::max(milliseconds, 1)), on_repaint_tick,
                  GINT_TO_POINTER(window));
}

bool is_folder(const std::string& path) {
    return !path.empty() && g_file_test(path.c_str(), G_FILE_TEST_IS_DIR);
}

void preselect_folder(GtkFileChooser* chooser, const std::string& last_chosen_folder) {
    if (is_folder(last_chosen_folder)) {
        gtk_file_chooser_set_filename(chooser, last_chosen_folder.c_str());
        return;
    }
    std::string user = g_get_user_name();
    for (std::string media : {"/media/" + user, "/run/media/" + user}) {
        if (is_folder(media)) {
            gtk_file_chooser_set_current_folder(chooser, media.c_str());
            return;
        }
    }
    gtk_file_chooser_set_current_folder(chooser, g_get_home_dir());
}

std::optional<std::string> choose_folder(int window, const char* title) {
    GtkWidget* dialog = gtk_file_chooser_dialog_new(
        title, gtk_window_of(window), GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "_Cancel",
        GTK_RESPONSE_CANCEL, "_Select", GTK_RESPONSE_ACCEPT, nullptr);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_destroy_with_parent(GTK_WINDOW(dialog), TRUE);
    gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(dialog), TRUE);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    preselect_folder(GTK_FILE_CHOOSER(dialog), last_chosen_folders[title]);
    track_program_use(GTK_WINDOW(dialog));

    // Held so that closing the main window while the chooser is open cannot free it under us.
    g_object_ref(dialog);
    std::optional<std::string> chosen;
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        if (gchar* path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
            chosen = path;
            last_chosen_folders[title] = path;
            g_free(path);
        }
    }
    gtk_widget_destroy(dialog);
    g_object_unref(dialog);
    return chosen;
}

child_control_s* control_of_widget(int window, GtkWidget* widget) {
    for (child_control_s& control : window_table[window].child_controls) {
        if (control.handle == widget) {
            return &control;
        }
    }
    return nullptr;
}

// Every change of the box's text goes to the control's buffer, and the screen that reads it
// is drawn again.
void on_text_changed(GtkEditable* editable, gpointer data) {
    int window = GPOINTER_TO_INT(data);
    child_control_s* control = control_of_widget(window, GTK_WIDGET(editable));
    if (control == nullptr || control->text == nullptr || control->capacity <= 0) {
        return;
    }
    const char* text = gtk_entry_get_text(GTK_ENTRY(editable));
    std::size_t length =
        std::min(std::strlen(text), static_cast<std::size_t>(control->capacity - 1));
    std::memcpy(control->text, text, length);
    control->text[length] = '\0';
    invalidate_window(window);
}

// Enter and Escape go to the screen that made the box. The screen's action may destroy the box
// and its control record, so it runs from a copy.
void run_key_action(int window, GtkWidget* widget, std::function<void()> child_control_s::*key) {
    child_control_s* control = control_of_widget(window, widget);
    if (control == nullptr || !(control->*key)) {
        return;
    }
    std::function<void()> action = control->*key;
    action();
}

void on_text_activate(GtkEntry* entry, gpointer data) {
    run_key_action(GPOINTER_TO_INT(data), GTK_WIDGET(entry), &child_control_s::on_enter);
}

gboolean on_text_key_press(GtkWidget* widget, GdkEventKey* event, gpointer data) {
    if (event->keyval != GDK_KEY_Escape) {
        return FALSE;
    }
    run_key_action(GPOINTER_TO_INT(data), widget, &child_control_s::on_escape);
    return TRUE;
}

// A box without frame, shadow or padding, white like the screens, so that only the text and
// the screen's underline show.
GtkCssProvider* text_box_style() {
    static GtkCssProvider* provider = [] {
        GtkCssProvider* css = gtk_css_provider_new();
        gtk_css_provider_load_from_data(css,
                                        "entry { font-family: \"Microsoft Sans Serif\", sans-serif;"
                                        " font-size: 28px; font-weight: normal;"
                                        " border: none; border-radius: 0; box-shadow: none;"
                                        " background-image: none; background-color: #ffffff;"
                                        " color: #000000; padding: 0 2px; min-height: 0; }",
                                        -1, nullptr);
        return css;
    }();
    return provider;
}

void create_text_box(int window, child_control_s& control) {
    GtkOverlay* overlay = gtk_overlay_of(window);
    if (overlay == nullptr) {
        return;
    }
    GtkWidget* entry = gtk_entry_new();
    gtk_entry_set_has_frame(GTK_ENTRY(entry), FALSE);
    gtk_entry_set_max_length(GTK_ENTRY(entry), std::max(control.capacity - 1, 0));
    gtk_style_context_add_provider(gtk_widget_get_style_context(entry),
                                   GTK_STYLE_PROVIDER(text_box_style()),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    if (control.text != nullptr) {
        gtk_entry_set_text(GTK_ENTRY(entry), control.text);
    }
    gtk_widget_set_halign(entry, GTK_ALIGN_START);
    gtk_widget_set_valign(entry, GTK_ALIGN_START);
    gtk_widget_set_margin_start(entry, control.x);
    gtk_widget_set_margin_top(entry, control.y);
    gtk_widget_set_size_request(entry, control.width, control.height);
    g_signal_connect(entry, "changed", G_CALLBACK(on_text_changed), GINT_TO_POINTER(window));
    g_signal_connect(entry, "activate", G_CALLBACK(on_text_activate), GINT_TO_POINTER(window));
    g_signal_connect(entry, "key-press-event", G_CALLBACK(on_text_key_press),
                     GINT_TO_POINTER(window));
    gtk_overlay_add_overlay(overlay, entry);
    control.handle = entry;
    gtk_widget_show(entry);
    // Focus selects the suggested value, so that typing replaces it.
    gtk_widget_grab_focus(entry);
}

void destroy_text_box(int window, child_control_s& control) {
    if (control.handle != nullptr) {
        gtk_widget_destroy(GTK_WIDGET(control.handle));
        control.handle = nullptr;
    }
    // The keys go back to the screen.
    if (GtkOverlay* overlay = gtk_overlay_of(window)) {
        if (GtkWidget* area = gtk_bin_get_child(GTK_BIN(overlay))) {
            gtk_widget_grab_focus(area);
        }
    }
}

// Thousandths, as the progress is counted out of 1000; negative is the error state.
void set_launcher_progress(int, double fraction) {
    GDBusConnection* launcher_bus = session_bus();
    if (launcher_bus == nullptr) {
        return;
    }
    double shown = fraction > 0 ? std::min(std::floor(fraction * 1000.0), 1000.0) / 1000.0 : 0.0;
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "progress", g_variant_new_double(shown));
    g_variant_builder_add(&properties, "{sv}", "progress-visible",
                          g_variant_new_boolean(fraction != 0));
    g_variant_builder_add(&properties, "{sv}", "urgent", g_variant_new_boolean(fraction < 0));
    g_dbus_connection_emit_signal(
        launcher_bus, nullptr, launcher_object_path, "com.canonical.Unity.LauncherEntry", "Update",
        g_variant_new("(sa{sv})", launcher_app_uri, &properties), nullptr);
    g_dbus_connection_flush(launcher_bus, nullptr, nullptr, nullptr);
}

} // namespace

void install_host_hooks() {
    host_hooks_s& hooks = host_hooks();
    hooks.start_repaint_timer = start_repaint_timer;
    hooks.choose_folder = choose_folder;
    hooks.create_text_box = create_text_box;
    hooks.destroy_text_box = destroy_text_box;
    hooks.set_launcher_progress = set_launcher_progress;
}
