// Message boxes as modal GtkMessageDialogs owned by the main window.
//
// GTK may only be used on the interface thread, and only one box is on the
// screen at a time: boxes wait their turn in a queue there, so that two
// drives' questions never open on top of each other. A box raised on another
// thread is handed to the interface thread through the interface-task queue,
// whose lock orders the request's fields before the interface thread reads
// them. A question raised there blocks its thread until the user answers; an
// OK box (an error or a warning of a work thread) does not: the run goes on,
// and the end of the run lists what failed. OK boxes with one title that wait
// behind another box are shown as one, so a drive that fails for every plot
// leaves one box, not one per plot. A question raised on the interface thread
// waits for its answer in a nested loop, so the window keeps painting.
//
// Every question answers No to Return: No is the answer that leaves the plots
// as they are. A box that appears while the person is not using the program
// (none of its windows has the focus, nor had it a moment ago) is also sent
// to the desktop as a notification.
#include <deque>
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

// OK boxes folded into one show this many texts; the rest are counted.
constexpr int most_texts_in_one_box = 5;

std::thread::id interface_thread; // written once by install_message_boxes, then only read

struct box_request_s {
    int window = -1;
    std::string title;
    std::string text;
    message_box_kind kind = message_box_kind::ok;
    std::function<void(bool)> answered; // on the interface thread, once
    int texts = 1;                      // OK boxes folded into this one
    int more = 0;                       // further ones, counted only
    int response = GTK_RESPONSE_NONE;
};

using request_ptr = std::shared_ptr<box_request_s>;

std::deque<request_ptr> waiting; // interface thread only
bool box_open = false;           // interface thread only

// GTK wants UTF-8; a path in another encoding must not make the box fail.
std::string valid_utf8(const char* text) {
    gchar* valid = g_utf8_make_valid(text, -1);
    std::string result(valid);
    g_free(valid);
    return result;
}

void show_next();

void on_response(GtkDialog* dialog, int response, gpointer data) {
    static_cast<request_ptr*>(data)->get()->response = response;
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

// Also when the box goes with its owner: that is a No.
void on_destroyed(GtkWidget*, gpointer data) {
    request_ptr request = *static_cast<request_ptr*>(data);
    box_open = false;
    if (request->answered) {
        request->answered(request->response == GTK_RESPONSE_YES);
    }
    show_next();
}

void free_request(gpointer data, GClosure*) {
    delete static_cast<request_ptr*>(data);
}

// Shows the first waiting box unless one is open; a box whose window has gone answers No.
void show_next() {
    while (!box_open && !waiting.empty()) {
        request_ptr request = waiting.front();
        waiting.pop_front();
        GtkWindow* owner = request->window >= 0 ? gtk_window_of(request->window) : nullptr;
        bool yes_no = request->kind == message_box_kind::yes_no;
        std::string text = request->text;
        if (request->more > 0) {
            text += "\n\n... and " + std::to_string(request->more) + " more, in the log.";
        }
        GtkWidget* dialog = nullptr;
        if (owner != nullptr || request->window < 0) {
            dialog = gtk_message_dialog_new(
                owner,
                static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                GTK_MESSAGE_OTHER, yes_no ? GTK_BUTTONS_YES_NO : GTK_BUTTONS_OK, "%s",
                valid_utf8(text.c_str()).c_str());
        }
        if (dialog == nullptr) {
            if (request->answered) {
                request->answered(false);
            }
            continue;
        }
        if (!program_in_use()) {
            notify_desktop(request->title.c_str(), text.c_str());
        }
        gtk_window_set_title(GTK_WINDOW(dialog), valid_utf8(request->title.c_str()).c_str());
        gtk_dialog_set_default_response(GTK_DIALOG(dialog),
                                        yes_no ? GTK_RESPONSE_NO : GTK_RESPONSE_OK);
        track_program_use(GTK_WINDOW(dialog));
        g_signal_connect_data(dialog, "response", G_CALLBACK(on_response), new request_ptr(request),
                              free_request, GConnectFlags{});
        g_signal_connect_data(dialog, "destroy", G_CALLBACK(on_destroyed), new request_ptr(request),
                              free_request, GConnectFlags{});
        box_open = true;
        gtk_widget_show(dialog);
    }
}

// Queues a box on the interface thread; an OK box joins an OK box of the same title and window
// that is still waiting.
void enqueue(request_ptr request) {
    if (request->kind == message_box_kind::ok && !waiting.empty()) {
        box_request_s& last = *waiting.back();
        if (last.kind == message_box_kind::ok && last.window == request->window &&
            last.title == request->title) {
            if (last.texts < most_texts_in_one_box) {
                last.text += "\n\n" + request->text;
                ++last.texts;
            } else {
                ++last.more;
            }
            return;
        }
    }
    waiting.push_back(std::move(request));
    show_next();
}

bool show_box(int window, const char* title, const char* text, message_box_kind kind) {
    auto request = std::make_shared<box_request_s>();
    request->window = window;
    request->title = title;
    request->text = text;
    request->kind = kind;
    if (std::this_thread::get_id() == interface_thread) {
        bool done = false;
        bool yes = false;
        request->answered = [&](bool answer) {
            yes = answer;
            done = true;
        };
        enqueue(request);
        while (!done) {
            g_main_context_iteration(nullptr, TRUE);
        }
        return yes;
    }
    if (kind == message_box_kind::ok) {
        // Shown without holding the work thread.
        post_to_ui([request] { enqueue(request); });
        return false;
    }
    // The promise is shared with the queued request, so it outlives its set_value even when the
    // caller wakes and returns at once.
    auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> future = answer->get_future();
    request->answered = [answer](bool yes) { answer->set_value(yes); };
    post_to_ui([request] { enqueue(request); });
    return future.get();
}

} // namespace

void install_message_boxes() {
    interface_thread = std::this_thread::get_id();
    set_message_box_handler(show_box);
}
