// The Linux launcher's entry point: start-up, the main window and its loop, shutdown and the
// exceptional exit.
#include "host/host.h"
#include "shell.h"
#include "window.h"

#include <launcher_core.h>

#include <cstdlib>
#include <cstring>
#include <system_error>

namespace launcher::host {
namespace {

constexpr const char* title = "Orbel Launcher";

std::filesystem::path exeFolder() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

// The user's data folder: $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
std::filesystem::path dataHome() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/') return data;
    const char* home = std::getenv("HOME");
    zolta_launcher::require(home && home[0] == '/', "Cannot find the user's data folder");
    return std::filesystem::path(home) / ".local/share";
}

// The single-instance guard: one launcher per data folder, since two would sweep each other's
// staging folders, and one per session, as on Windows. The data folder's lock, and one in the
// session's runtime folder when there is one. False when another launcher holds either.
bool guard() {
    if (!lockFolder(support)) return false;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    if (!runtime || runtime[0] != '/' || std::filesystem::equivalent(runtime, support, ignored))
        return true;
    return lockFolder(runtime);
}

gboolean closing(GtkWidget*, GdkEvent*, gpointer) {
    bool keep = false;
    guarded([&] { keep = !mayClose(); });
    return keep;
}

void destroyed(GtkWidget*, gpointer) {
    closed = true;
    window = nullptr;
    gtk_main_quit();
}

void createWindow() {
    zolta_launcher::require(display(), "Cannot open the display");
    g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", TRUE, nullptr);
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), title);
    gtk_window_set_default_size(GTK_WINDOW(window), 1440, 960);
    GdkGeometry smallest{};
    smallest.min_width = 1060;
    smallest.min_height = 760;
    gtk_window_set_geometry_hints(GTK_WINDOW(window), nullptr, &smallest, GDK_HINT_MIN_SIZE);

    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, "window { background-color: rgb(16, 18, 22); }", -1,
                                    nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(window), GTK_STYLE_PROVIDER(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    g_signal_connect(window, "delete-event", G_CALLBACK(closing), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(destroyed), nullptr);
}

// Stops a worker that still runs; its payloads from then on are freed, not handled.
void stopJob() {
    closed = true;
    launcher::stopWorker();
}

int run(int argc, char** argv) {
    const auto exeDir = exeFolder();
    if (argc == 2 && std::strcmp(argv[1], "--core-smoke") == 0)
        return smoke(exeDir / "launcher-smoke-data");

    support = dataHome() / "Orbel Launcher";
    managed = support / "Games/OrbelZolta-Windows";
    std::filesystem::create_directories(support);

    if (!guard()) {
        messageBox("Orbel Launcher is already open.", GTK_MESSAGE_INFO);
        return 0;
    }

    readSettings();
    detect();

    createWindow();
    createWeb(exeDir);
    gtk_widget_show(window);
    gtk_main();
    if (failure) std::rethrow_exception(failure);

    // Shutdown: stop and join the worker, drop the queued payloads, release the page.
    if (window) gtk_widget_destroy(window);
    stopJob();
    drainPayloads();
    web = nullptr;
    return 0;
}

} // namespace
} // namespace launcher::host

int main(int argc, char** argv) {
    using namespace launcher::host;
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        // The worker is told to stop before the box, so its payloads are freed, not handled;
        // it is joined once the box is closed.
        closed = true;
        launcher::cancelled.exchange(true);
        messageBox(error.what(), GTK_MESSAGE_ERROR);
        stopJob();
        drainPayloads();
        return 1;
    }
}
