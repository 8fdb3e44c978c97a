#pragma once

#include "platform/linux/gtk/GObjectPtr.h"

#include <nlohmann/json.hpp>
#include <webkit2/webkit2.h>

#include <filesystem>
#include <functional>
#include <string>

namespace ulvo::gtk {

// The one web context both pages share, tuned for small local pages: the document-viewer cache
// model and no hardware acceleration, since nothing here needs compositing.
class WebEngine {
public:
    WebEngine();
    WebKitWebContext* context() const { return context_.get(); }
    WebKitSettings* settings() const { return settings_.get(); }

private:
    GObjectPtr<WebKitWebContext> context_;
    GObjectPtr<WebKitSettings> settings_;
};

// The page's message body as JSON: objects, arrays, strings, booleans and numbers (NaN and the
// infinities kept as numbers); undefined, functions and anything nested too deeply become null.
nlohmann::json jsonFromScriptValue(JSCValue* value);

// A transparent web view showing one local page, with one script message handler.
class PageView {
public:
    struct Callbacks {
        std::function<void(const nlohmann::json&)> message;
        std::function<void()> loadFinished;
        // A link to an http or https address the user activated; the page stays.
        std::function<void(const std::string&)> openExternally;
    };

    // A related view shares the other's web process.
    PageView(WebEngine& engine, const char* handlerName, Callbacks callbacks,
             const PageView* related = nullptr);
    ~PageView();
    PageView(const PageView&) = delete;
    PageView& operator=(const PageView&) = delete;

    GtkWidget* widget() const { return as<GtkWidget>(view_.get()); }
    WebKitWebView* view() const { return view_.get(); }

    // Loads the file as a file URL; a missing file leaves the view empty.
    void load(const std::filesystem::path& page);
    // Fire and forget; a script error is ignored.
    void evaluate(const std::string& script);

private:
    static void messageReceived(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data);
    static void loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data);
    static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer data);

    Callbacks callbacks_;
    GObjectPtr<WebKitUserContentManager> contentManager_;
    GObjectPtr<WebKitWebView> view_;
};

// The part of a link's address before the first colon, exactly as written; empty without one.
std::string uriScheme(const std::string& uri);

} // namespace ulvo::gtk
