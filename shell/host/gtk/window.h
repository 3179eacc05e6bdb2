// What the GTK host's files share: the main window, the web view and the callback guard.
#pragma once

#include <atomic>
#include <exception>
#include <filesystem>
#include <string>

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

namespace launcher::host {

extern GtkWidget* window;        // the main window; null until created and once destroyed
extern WebKitWebView* web;       // the page's web view; null until created
extern std::atomic<bool> closed; // the window is gone: payloads are freed, not handled

// The first exception that reached a GTK callback; the loop ends and start-up rethrows it.
extern std::exception_ptr failure;

// Runs a callback's body so that no exception crosses into GTK: the first one is kept in
// failure and ends the main loop, which turns it into the exceptional exit.
template <typename Body> void guarded(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        if (!failure) failure = std::current_exception();
        if (gtk_main_level() > 0) gtk_main_quit();
    }
}

// Runs the idle sources of the payloads still queued, which frees them unhandled; call once no
// worker can post any more.
void drainPayloads();

// Creates the web view inside window, serving exeDir / "ui", and loads the start page.
void createWeb(const std::filesystem::path& exeDir);

// A modal box titled "Orbel Launcher" with an OK button; also written to standard error, and
// only there when there is no display.
void messageBox(const std::string& text, GtkMessageType type);

// Opens the display once; false when there is none.
[[nodiscard]] bool display();

} // namespace launcher::host
