// The Linux launcher's entry point: start-up, the main window and its loop, shutdown and the
// exceptional exit.
#include "shell.h"
#include "window.h"

#include <launcher_core.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <system_error>
#include <unistd.h>

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

constexpr const char* lockName = "OrbelLauncher-0.2.lock";

// An exclusive lock on folder / lockName, held until the process ends. -1 when another launcher
// holds it; -2 when no lock could be made.
int lockIn(const std::filesystem::path& folder) {
    // Close-on-exec: the game started through Wine must not inherit the lock.
    const int fd = ::open((folder / lockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return -2;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return held ? -1 : -2;
}

// The single-instance guard: one launcher per data folder, since two would sweep each other's
// staging folders, and one per session, as on Windows. A lock in the data folder and one in the
// session's runtime folder (when there is one), held until the process ends. False when
// another launcher holds either; a lock that cannot be made is left out. Holds at most two
// descriptors in locks.
bool guard(int (&locks)[2]) {
    locks[0] = lockIn(support);
    if (locks[0] == -1) return false;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    if (runtime && runtime[0] == '/' && !std::filesystem::equivalent(runtime, support, ignored))
        locks[1] = lockIn(runtime);
    return locks[1] != -1;
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

    int locks[2] = {-2, -2};
    if (!guard(locks)) {
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
    for (int lock : locks)
        if (lock >= 0) ::close(lock);
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
