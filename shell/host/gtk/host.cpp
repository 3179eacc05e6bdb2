// The GTK side of the shell's seam: the payload hand-off, the file dialog, the desktop's
// handler, the folder lock, the local time and message boxes.
#include "host/host.h"
#include "shell.h"
#include "window.h"

#include <launcher_core.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace launcher::host {

GtkWidget* window = nullptr;
WebKitWebView* web = nullptr;
std::atomic<bool> closed{false};
std::exception_ptr failure;

namespace {
std::atomic<int> queued{0}; // payloads whose idle source still exists
}

namespace {

// One queued payload. The idle callback hands it on and clears it; the destroy notify frees
// whatever is left, so a payload whose source never runs is not leaked.
struct Delivery {
    nlohmann::json* payload;
};

gboolean deliver(gpointer data) {
    auto* delivery = static_cast<Delivery*>(data);
    if (!closed.load()) guarded([&] { handlePayload(std::exchange(delivery->payload, nullptr)); });
    return G_SOURCE_REMOVE;
}

void discard(gpointer data) {
    auto* delivery = static_cast<Delivery*>(data);
    delete delivery->payload;
    delete delivery;
    --queued;
}

// GTK matches file patterns by case; the dialog should find the game in any letter case, as
// the check after it does.
std::string anyCase(const char* name) {
    std::string pattern;
    for (const char* c = name; *c; ++c) {
        const char lower = g_ascii_tolower(*c), upper = g_ascii_toupper(*c);
        if (lower == upper)
            pattern += *c;
        else
            pattern += std::string("[") + lower + upper + "]";
    }
    return pattern;
}

} // namespace

bool postPayload(nlohmann::json* payload) {
    if (closed.load()) return false;
    // Idle sources of one priority run in the order they were added: first in, first out.
    ++queued;
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, deliver, new Delivery{payload}, discard);
    return true;
}

void drainPayloads() {
    while (queued.load() > 0) g_main_context_iteration(nullptr, TRUE);
}

std::filesystem::path pickGame() {
    GtkWidget* dialog = gtk_file_chooser_dialog_new(
        "Choose OrbelZolta.exe", GTK_WINDOW(window), GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel",
        GTK_RESPONSE_CANCEL, "_Open", GTK_RESPONSE_ACCEPT, nullptr);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, "Orbel Zolta (OrbelZolta.exe)");
    gtk_file_filter_add_pattern(filter, anyCase("OrbelZolta.exe").c_str());
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dialog), filter);

    // The dialog's own loop keeps dispatching idle sources, so payloads are still handled.
    std::filesystem::path chosen;
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        if (char* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
            chosen = name;
            g_free(name);
        }
    }
    gtk_widget_destroy(dialog);
    return chosen;
}

void open(const std::u16string& target) {
    const std::string text = zolta_launcher::narrow(target);
    gchar* uri = nullptr;
    if (g_str_has_prefix(text.c_str(), "https://") || g_str_has_prefix(text.c_str(), "http://"))
        uri = g_strdup(text.c_str());
    else
        uri = g_filename_to_uri(text.c_str(), nullptr, nullptr);
    if (uri == nullptr) return;
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(uri, nullptr, &error)) {
        std::fprintf(stderr, "Orbel Launcher: cannot open %s: %s\n", uri, error->message);
        g_error_free(error);
    }
    g_free(uri);
}

bool lockFolder(const std::filesystem::path& folder) {
    // Close-on-exec: the game started through Wine must not inherit the lock.
    const int fd = ::open((folder / lockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return true;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true; // the descriptor stays open
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return !held;
}

void endProcess(int code) {
    _exit(code);
}

LocalTime localTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return {static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min)};
}

bool display() {
    static const bool opened = gtk_init_check(nullptr, nullptr);
    return opened;
}

void messageBox(const std::string& text, GtkMessageType type) {
    const std::string shown = clean(text);
    std::fprintf(stderr, "Orbel Launcher: %s\n", shown.c_str());
    if (!display()) return;
    GtkWidget* box = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, type, GTK_BUTTONS_OK, "%s",
                                            shown.c_str());
    gtk_window_set_title(GTK_WINDOW(box), "Orbel Launcher");
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}

} // namespace launcher::host
