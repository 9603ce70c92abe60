// A stand-in for a file manager in the drop test: a window at the top left of the screen that
// drags a file's URI, offering to copy or move it. It prints "ready" once shown, "deleted" when
// the drop's target asks it to delete what was dragged (a move), and "ended <action>" when the
// drag is over.
#include <gtk/gtk.h>

#include <cstdio>

namespace {

void report(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

void on_data_get(GtkWidget*, GdkDragContext*, GtkSelectionData* data, guint, guint, gpointer) {
    static char uri[] = "file:///tmp/123_0_8_8";
    char* uris[] = {uri, nullptr};
    gtk_selection_data_set_uris(data, uris);
}

void on_data_delete(GtkWidget*, GdkDragContext*, gpointer) {
    report("deleted");
}

void on_end(GtkWidget*, GdkDragContext* context, gpointer) {
    GdkDragAction action = gdk_drag_context_get_selected_action(context);
    report(action == GDK_ACTION_MOVE   ? "ended move"
           : action == GDK_ACTION_COPY ? "ended copy"
                                       : "ended none");
}

gboolean on_mapped(GtkWidget*, GdkEvent*, gpointer) {
    report("ready");
    return FALSE;
}

} // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Drag source");
    gtk_window_set_default_size(GTK_WINDOW(window), 150, 150);
    gtk_window_move(GTK_WINDOW(window), 0, 0);
    GtkWidget* box = gtk_event_box_new();
    gtk_container_add(GTK_CONTAINER(window), box);
    static const GtkTargetEntry uri_list = {const_cast<char*>("text/uri-list"), 0, 0};
    gtk_drag_source_set(box, GDK_BUTTON1_MASK, &uri_list, 1,
                        static_cast<GdkDragAction>(GDK_ACTION_COPY | GDK_ACTION_MOVE));
    g_signal_connect(box, "drag-data-get", G_CALLBACK(on_data_get), nullptr);
    g_signal_connect(box, "drag-data-delete", G_CALLBACK(on_data_delete), nullptr);
    g_signal_connect(box, "drag-end", G_CALLBACK(on_end), nullptr);
    g_signal_connect(window, "map-event", G_CALLBACK(on_mapped), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
