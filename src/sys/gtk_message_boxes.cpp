// Message boxes as modal GtkMessageDialogs owned by the main window.
//
// GTK may only be used on the interface thread. A box raised there runs its
// own nested loop (gtk_dialog_run), so the window keeps painting. A box raised
// on another thread is handed to the interface thread through the
// interface-task queue, whose lock orders the request's fields before the
// interface thread reads them; the caller blocks on a future until the user
// answers, and no other thread is held up. A box that appears while the
// main window is not the focused window (the user is elsewhere, or the window
// is hidden behind others) is also sent to the desktop as a notification.
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "sys/desktop_notification.h"
#include "sys/gtk_dialogs.h"
#include "sys/gtk_host.h"
#include "util/log.h"
#include "util/ui_tasks.h"

namespace {

std::thread::id interface_thread; // written once by install_message_boxes, then only read

struct box_request_s {
    int window = -1;
    std::string title;
    std::string text;
    message_box_kind kind = message_box_kind::ok;
    std::promise<bool> answer;
};

// GTK wants UTF-8; a path in another encoding must not make the box fail.
std::string valid_utf8(const char* text) {
    gchar* valid = g_utf8_make_valid(text, -1);
    std::string result(valid);
    g_free(valid);
    return result;
}

bool run_box(int window, const char* title, const char* text, message_box_kind kind) {
    GtkWindow* owner = window >= 0 ? gtk_window_of(window) : nullptr;
    if (owner == nullptr || !gtk_window_is_active(owner)) {
        notify_desktop(title, text);
    }
    bool yes_no = kind == message_box_kind::yes_no;
    std::string shown_text = valid_utf8(text);
    GtkWidget* dialog = gtk_message_dialog_new(
        owner, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        GTK_MESSAGE_OTHER, yes_no ? GTK_BUTTONS_YES_NO : GTK_BUTTONS_OK, "%s", shown_text.c_str());
    if (dialog == nullptr) {
        return false;
    }
    gtk_window_set_title(GTK_WINDOW(dialog), valid_utf8(title).c_str());
    // Enter answers with the first button, Yes or OK, as desktop boxes do.
    gtk_dialog_set_default_response(GTK_DIALOG(dialog),
                                    yes_no ? GTK_RESPONSE_YES : GTK_RESPONSE_OK);
    // The reference keeps the dialog alive even when closing the main window destroys it
    // while it runs; the run then ends with no answer, which counts as No.
    g_object_ref(dialog);
    int response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    g_object_unref(dialog);
    return response == GTK_RESPONSE_YES;
}

bool show_box(int window, const char* title, const char* text, message_box_kind kind) {
    if (std::this_thread::get_id() == interface_thread) {
        return run_box(window, title, text, kind);
    }
    // The queued closure shares the request, so the promise outlives its set_value even when the
    // caller wakes and returns at once.
    auto request = std::make_shared<box_request_s>();
    request->window = window;
    request->title = title;
    request->text = text;
    request->kind = kind;
    std::future<bool> answer = request->answer.get_future();
    post_to_ui([request] {
        request->answer.set_value(
            run_box(request->window, request->title.c_str(), request->text.c_str(), request->kind));
    });
    return answer.get();
}

} // namespace

void install_message_boxes() {
    interface_thread = std::this_thread::get_id();
    set_message_box_handler(show_box);
}
