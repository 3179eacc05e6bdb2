// The web view: the page folder served under the launcher's own scheme, confined to the start
// page, with page messages in both directions.
#include "compat.h"
#include "host/host.h"
#include "page.h"
#include "shell.h"
#include "window.h"

#include <launcher_core.h>

#include <cstdio>

namespace launcher::host {

namespace {

std::filesystem::path pageRoot; // the executable's folder / "ui"

void refuse(WebKitURISchemeRequest* request) {
    GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "Not found");
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
}

// Serves only files inside the page folder; everything else is "not found".
void serve(WebKitURISchemeRequest* request, gpointer) {
    const auto file = pageFile(pageRoot, webkit_uri_scheme_request_get_uri(request));
    gchar* contents = nullptr;
    gsize length = 0;
    if (file.empty() || !g_file_get_contents(file.c_str(), &contents, &length, nullptr)) {
        refuse(request);
        return;
    }
    GBytes* bytes = g_bytes_new_take(contents, length);
    GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
    webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(length),
                                     contentType(file));
    g_object_unref(stream);
    g_bytes_unref(bytes);
}

// Only the start address may load, in the main frame and in every frame; no new windows.
gboolean decide(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                gpointer) {
    if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
        auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
        WebKitNavigationAction* action =
            webkit_navigation_policy_decision_get_navigation_action(navigation);
        const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        if (startPage(uri))
            webkit_policy_decision_use(decision);
        else
            webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    return FALSE;
}

// The history API moves the address without asking the policy, and page messages would then be
// refused as coming from elsewhere: whenever the address leaves the start page, load it again.
void moved(WebKitWebView* view, GParamSpec*, gpointer) {
    guarded([&] {
        const char* uri = webkit_web_view_get_uri(view);
        if (uri != nullptr && !startPage(uri))
            webkit_web_view_load_uri(view, startAddress().c_str());
    });
}

GtkWidget* noWindow(WebKitWebView*, WebKitNavigationAction*, gpointer) {
    return nullptr;
}

gboolean deny(WebKitWebView*, WebKitPermissionRequest* request, gpointer) {
    webkit_permission_request_deny(request);
    return TRUE;
}

gboolean noMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*, gpointer) {
    return TRUE;
}

// A page message: its JSON text, as WebView2 hands it over, from the start page only.
void message(WebKitUserContentManager*, compat::MessageArgument argument, gpointer) {
    guarded([&] {
        JSCValue* value = compat::messageValue(argument);
        char* json = value ? jsc_value_to_json(value, 0) : nullptr;
        if (json == nullptr) return;
        std::u16string text;
        bool decoded = true;
        try {
            text = zolta_launcher::wide(json);
        } catch (const std::exception&) {
            decoded = false;
        }
        g_free(json);
        if (decoded && acceptable(webkit_web_view_get_uri(web), text)) receive(text);
    });
}

} // namespace

void createWeb(const std::filesystem::path& exeDir) {
    pageRoot = exeDir / "ui";

    // Nothing of the page is kept on disk: no cache, no storage, no cookies.
    WebKitWebContext* context = webkit_web_context_new_ephemeral();
    webkit_web_context_register_uri_scheme(context, pageScheme, serve, nullptr, nullptr);
    webkit_security_manager_register_uri_scheme_as_secure(
        webkit_web_context_get_security_manager(context), pageScheme);

    WebKitUserContentManager* content = webkit_user_content_manager_new();
    g_signal_connect(content, "script-message-received::launcher", G_CALLBACK(message), nullptr);
    compat::registerHandler(content, "launcher");

    web = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                       "user-content-manager", content, nullptr));
    g_object_unref(content);
    g_object_unref(context);

    WebKitSettings* settings = webkit_web_view_get_settings(web);
    g_object_set(settings, "enable-developer-extras", FALSE,
                 "javascript-can-open-windows-automatically", FALSE,
                 "enable-back-forward-navigation-gestures", FALSE, nullptr);
    const GdkRGBA background{16 / 255.0, 18 / 255.0, 22 / 255.0, 1.0};
    webkit_web_view_set_background_color(web, &background);
    // The page needs no GPU; setting up GL compositing kept a software-rendered window (Xvfb,
    // remote desktops) blank for over a second after the page was ready.
    webkit_settings_set_hardware_acceleration_policy(settings,
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);

    g_signal_connect(web, "decide-policy", G_CALLBACK(decide), nullptr);
    g_signal_connect(web, "notify::uri", G_CALLBACK(moved), nullptr);
    g_signal_connect(web, "create", G_CALLBACK(noWindow), nullptr);
    g_signal_connect(web, "permission-request", G_CALLBACK(deny), nullptr);
    g_signal_connect(web, "context-menu", G_CALLBACK(noMenu), nullptr);

    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(web));
    gtk_widget_show(GTK_WIDGET(web));
    webkit_web_view_load_uri(web, startAddress().c_str());
}

bool hasPage() {
    return web != nullptr && !closed.load();
}

void postToPage(const std::u16string& json) {
    if (!hasPage()) return;
    // The text travels as an argument, never as script source, so nothing in it can be run.
    GVariantBuilder arguments;
    g_variant_builder_init(&arguments, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&arguments, "{sv}", "text",
                          g_variant_new_string(zolta_launcher::narrow(json).c_str()));
    compat::callFunction(web,
                         "if (typeof launcherReceive === 'function')"
                         " launcherReceive(JSON.parse(text));",
                         g_variant_builder_end(&arguments));
}

} // namespace launcher::host
