#pragma once

#include "base/Result.h"

#include <gtk/gtk.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

// WebKit's own type, known here by name only: this header is WebKit-free.
// NOLINTNEXTLINE(bugprone-reserved-identifier): WebKit's C name
typedef struct _WebKitWebView WebKitWebView;

namespace ulvo::gtk {

// A transparent web view showing one local page, with one script message handler.
class PageView {
public:
    struct Callbacks {
        std::function<void(const nlohmann::json&)> message;
        std::function<void()> loadFinished;
        // A link to an http or https address the user activated; the page stays.
        std::function<void(const std::string&)> openExternally;
    };

    virtual ~PageView() = default;
    virtual GtkWidget* widget() const = 0;
    virtual WebKitWebView* view() const = 0;
    // Loads the file as a file URL; a missing file leaves the view empty.
    virtual void load(const std::filesystem::path& page) = 0;
    // Fire and forget; a script error is ignored.
    virtual void evaluate(const std::string& script) = 0;
    virtual void setBackground(const GdkRGBA& color) = 0;
};

// The one web context both pages share, tuned for small local pages.
class WebEngine {
public:
    virtual ~WebEngine() = default;
    // A related view shares the other's web process.
    virtual std::unique_ptr<PageView> makePage(const char* handlerName, PageView::Callbacks callbacks,
                                               const PageView* related = nullptr) = 0;
};

// WebKit lives in a module of its own, <prefix>/lib/ulvo/modules/libulvo-web.so beside bin/, mapped at the
// first call (and then kept: WebKit does not unload), so a program that waits holds none of it.
// Fails with the loader's reason when the module cannot be loaded.
Result<std::unique_ptr<WebEngine>> loadWebEngine();

// The part of a link's address before the first colon, exactly as written; empty without one. Inline:
// the program and the web module each have their own.
inline std::string uriScheme(const std::string& uri) {
    const std::size_t colon = uri.find(':');
    return colon == std::string::npos ? std::string() : uri.substr(0, colon);
}

} // namespace ulvo::gtk
