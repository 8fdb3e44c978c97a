// The web module (libulvo-web.so): the pages on WebKitGTK, loaded only when a page is first needed.
#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/gtk/PageView.h"

#include <webkit2/webkit2.h>

#include <cmath>

namespace ulvo::gtk {

namespace {

// The page's message body as JSON: objects, arrays, strings, booleans and numbers (NaN and the
// infinities kept as numbers); undefined, functions and anything nested too deeply become null.
nlohmann::json jsonFromScriptValue(JSCValue* value);

// The document-viewer cache model and no hardware acceleration, since nothing here needs compositing.
class WebKitEngine final : public WebEngine {
public:
    WebKitEngine();
    std::unique_ptr<PageView> makePage(const char* handlerName, PageView::Callbacks callbacks,
                                       const PageView* related) override;
    WebKitWebContext* context() const { return context_.get(); }
    WebKitSettings* settings() const { return settings_.get(); }

private:
    glib::GObjectPtr<WebKitWebContext> context_;
    glib::GObjectPtr<WebKitSettings> settings_;
};

class WebKitPageView final : public PageView {
public:
    WebKitPageView(WebKitEngine& engine, const char* handlerName, Callbacks callbacks,
                   const PageView* related);
    ~WebKitPageView() override;
    WebKitPageView(const WebKitPageView&) = delete;
    WebKitPageView& operator=(const WebKitPageView&) = delete;

    GtkWidget* widget() const override { return glib::as<GtkWidget>(view_.get()); }
    WebKitWebView* view() const override { return view_.get(); }
    void load(const std::filesystem::path& page) override;
    void evaluate(const std::string& script) override;
    void setBackground(const GdkRGBA& color) override {
        webkit_web_view_set_background_color(view_.get(), &color);
    }

private:
    static void messageReceived(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data);
    static void loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data);
    static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer data);

    Callbacks callbacks_;
    glib::GObjectPtr<WebKitUserContentManager> contentManager_;
    glib::GObjectPtr<WebKitWebView> view_;
};

WebKitEngine::WebKitEngine()
    : context_(webkit_web_context_new())
    , settings_(webkit_settings_new()) {
    webkit_web_context_set_cache_model(context_.get(), WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    webkit_settings_set_hardware_acceleration_policy(settings_.get(),
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    webkit_settings_set_enable_developer_extras(settings_.get(), TRUE);
    webkit_settings_set_enable_back_forward_navigation_gestures(settings_.get(), FALSE);
    webkit_settings_set_enable_page_cache(settings_.get(), FALSE);
    webkit_settings_set_enable_webaudio(settings_.get(), FALSE);
    webkit_settings_set_enable_webgl(settings_.get(), FALSE);
    webkit_settings_set_enable_media(settings_.get(), FALSE);
}

std::unique_ptr<PageView> WebKitEngine::makePage(const char* handlerName, PageView::Callbacks callbacks,
                                                 const PageView* related) {
    return std::make_unique<WebKitPageView>(*this, handlerName, std::move(callbacks), related);
}

constexpr int maximumDepth = 16;

// As bytes, so text holding U+0000 arrives whole.
std::string stringValue(JSCValue* value) {
    const glib::GBytesPtr bytes(jsc_value_to_string_as_bytes(value));
    if (!bytes) {
        return {};
    }
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
    return {data != nullptr ? data : "", data != nullptr ? size : 0};
}

nlohmann::json convert(JSCValue* value, int depth) {
    if (value == nullptr || depth > maximumDepth || jsc_value_is_undefined(value) ||
        jsc_value_is_null(value) || jsc_value_is_function(value)) {
        return nullptr;
    }
    if (jsc_value_is_string(value)) {
        return stringValue(value);
    }
    if (jsc_value_is_boolean(value)) {
        return jsc_value_to_boolean(value) != FALSE;
    }
    if (jsc_value_is_number(value)) {
        return jsc_value_to_double(value);
    }
    if (jsc_value_is_array(value)) {
        nlohmann::json array = nlohmann::json::array();
        glib::GObjectPtr<JSCValue> length(jsc_value_object_get_property(value, "length"));
        const double count = length ? jsc_value_to_double(length.get()) : 0;
        for (guint i = 0; std::isfinite(count) && i < static_cast<guint>(std::min(count, 100000.0)); ++i) {
            glib::GObjectPtr<JSCValue> element(jsc_value_object_get_property_at_index(value, i));
            array.push_back(convert(element.get(), depth + 1));
        }
        return array;
    }
    if (jsc_value_is_object(value)) {
        nlohmann::json object = nlohmann::json::object();
        const glib::GStrvPtr names(jsc_value_object_enumerate_properties(value));
        for (gchar** name = names.get(); name != nullptr && *name != nullptr; ++name) {
            glib::GObjectPtr<JSCValue> property(jsc_value_object_get_property(value, *name));
            object[*name] = convert(property.get(), depth + 1);
        }
        return object;
    }
    return nullptr;
}

nlohmann::json jsonFromScriptValue(JSCValue* value) {
    return convert(value, 0);
}

WebKitPageView::WebKitPageView(WebKitEngine& engine, const char* handlerName, Callbacks callbacks,
                               const PageView* related)
    : callbacks_(std::move(callbacks))
    , contentManager_(webkit_user_content_manager_new()) {
    webkit_user_content_manager_register_script_message_handler(contentManager_.get(), handlerName);
    const std::string signal = std::string("script-message-received::") + handlerName;
    glib::connect(contentManager_.get(), signal.c_str(), &WebKitPageView::messageReceived, this);

    GObject* created = nullptr;
    if (related != nullptr) {
        created = glib::as<GObject>(g_object_new(webkit_web_view_get_type(), "related-view", related->view(),
                                                 "user-content-manager", contentManager_.get(), "settings",
                                                 engine.settings(), nullptr));
    } else {
        created = glib::as<GObject>(g_object_new(webkit_web_view_get_type(), "web-context", engine.context(),
                                                 "user-content-manager", contentManager_.get(), "settings",
                                                 engine.settings(), nullptr));
    }
    view_.reset(glib::as<WebKitWebView>(g_object_ref_sink(created)));
    const GdkRGBA clear{0, 0, 0, 0};
    webkit_web_view_set_background_color(view_.get(), &clear);
    glib::connect(view_.get(), "load-changed", &WebKitPageView::loadChanged, this);
    glib::connect(view_.get(), "decide-policy", &WebKitPageView::decidePolicy, this);
}

WebKitPageView::~WebKitPageView() {
    g_signal_handlers_disconnect_by_data(view_.get(), this);
    g_signal_handlers_disconnect_by_data(contentManager_.get(), this);
}

void WebKitPageView::load(const std::filesystem::path& page) {
    GError* raw = nullptr;
    glib::GCharPtr uri(g_filename_to_uri(page.c_str(), nullptr, &raw));
    glib::GErrorPtr error(raw);
    if (uri) {
        webkit_web_view_load_uri(view_.get(), uri.get());
    }
}

void WebKitPageView::evaluate(const std::string& script) {
    webkit_web_view_evaluate_javascript(view_.get(), script.c_str(), static_cast<gssize>(script.size()),
                                        nullptr, nullptr, nullptr, nullptr, nullptr);
}

void WebKitPageView::messageReceived(WebKitUserContentManager*, WebKitJavascriptResult* result,
                                     gpointer data) {
    auto* self = static_cast<WebKitPageView*>(data);
    if (self->callbacks_.message) {
        self->callbacks_.message(jsonFromScriptValue(webkit_javascript_result_get_js_value(result)));
    }
}

void WebKitPageView::loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
    auto* self = static_cast<WebKitPageView*>(data);
    if (event == WEBKIT_LOAD_FINISHED && self->callbacks_.loadFinished) {
        self->callbacks_.loadFinished();
    }
}

gboolean WebKitPageView::decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                      WebKitPolicyDecisionType type, gpointer data) {
    auto* self = static_cast<WebKitPageView*>(data);
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
        type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        return FALSE;
    }
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
        glib::as<WebKitNavigationPolicyDecision>(decision));
    if (webkit_navigation_action_get_navigation_type(action) != WEBKIT_NAVIGATION_TYPE_LINK_CLICKED) {
        return FALSE;
    }
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    const gchar* raw = request != nullptr ? webkit_uri_request_get_uri(request) : nullptr;
    if (raw == nullptr) {
        return FALSE;
    }
    const std::string uri(raw);
    const std::string scheme = uriScheme(uri);
    if (scheme != "http" && scheme != "https") {
        return FALSE;
    }
    if (self->callbacks_.openExternally) {
        self->callbacks_.openExternally(uri);
    }
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

} // namespace

} // namespace ulvo::gtk

// The module's one entry point, found by name (see loadWebEngine).
extern "C" __attribute__((visibility("default"))) ulvo::gtk::WebEngine* ulvo_web_engine_new() {
    return new ulvo::gtk::WebKitEngine(); // NOLINT(cppcoreguidelines-owning-memory): the caller owns it
}
