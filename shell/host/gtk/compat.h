// The WebKitGTK API differences the host meets, in one place: the GTK 3 API (4.1) and the GTK 4
// API (6.0) name a few calls differently, and older releases lack the call with arguments.
#pragma once

#include <webkit2/webkit2.h>

namespace launcher::host::compat {

inline bool registerHandler(WebKitUserContentManager* manager, const char* name) {
#if WEBKIT_CHECK_VERSION(2, 40, 0) && GTK_MAJOR_VERSION >= 4
    return webkit_user_content_manager_register_script_message_handler(manager, name, nullptr);
#else
    return webkit_user_content_manager_register_script_message_handler(manager, name);
#endif
}

// The value a script message carries; the GTK 3 API wraps it in a result object.
#if GTK_MAJOR_VERSION >= 4
using MessageArgument = JSCValue*;
inline JSCValue* messageValue(JSCValue* value) {
    return value;
}
#else
using MessageArgument = WebKitJavascriptResult*;
inline JSCValue* messageValue(WebKitJavascriptResult* result) {
    return webkit_javascript_result_get_js_value(result);
}
#endif

// Runs body as an async function in the page's main world with the named arguments.
inline void callFunction(WebKitWebView* web, const char* body, GVariant* arguments) {
#if WEBKIT_CHECK_VERSION(2, 40, 0)
    webkit_web_view_call_async_javascript_function(web, body, -1, arguments, nullptr, nullptr,
                                                   nullptr, nullptr, nullptr);
#else
    webkit_web_view_run_async_javascript_function_in_world(web, body, arguments, nullptr, nullptr,
                                                           nullptr, nullptr);
#endif
}

} // namespace launcher::host::compat
