#include "platform/linux/x11/AtspiReader.h"

#include <gio/gio.h>

namespace ulvo::x11 {

namespace {

using glib::GErrorPtr;
using glib::GFreeDeleter;
using glib::GObjectPtr;
using glib::GVariantPtr;

// The matches of a collection: an array of accessibles, each holding a reference.
struct AccessibleArrayFree {
    void operator()(GArray* matches) const {
        for (guint m = 0; m < matches->len; ++m) {
            g_object_unref(g_array_index(matches, AtspiAccessible*, m));
        }
        g_array_free(matches, TRUE);
    }
};

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
    GObjectPtr<AtspiStateSet> states(atspi_accessible_get_state_set(accessible));
    return states && atspi_state_set_contains(states.get(), state) != FALSE;
}

GVariant* a11yStatusCall(GDBusConnection* bus, const char* method, GVariant* arguments,
                         const GVariantType* reply, GError** error) {
    return g_dbus_connection_call_sync(bus, "org.a11y.Bus", "/org/a11y/bus",
                                       "org.freedesktop.DBus.Properties", method, arguments, reply,
                                       G_DBUS_CALL_FLAGS_NONE, 500, nullptr, error);
}

} // namespace

AtspiFocusedText::AtspiFocusedText(std::function<unsigned long()> activePid)
    : activePid_(std::move(activePid)) {
    // atspi_init answers 0 the first time and 1 when already done; anything else means no bus.
    const int status = atspi_init();
    available_ = status == 0 || status == 1;
    if (!available_) {
        return;
    }
    // Every query runs on the main thread, five times a second: an application that does not answer
    // (hung, or busy starting) must not freeze the card and the tag, so each call gets a short time-out,
    // from an application's first moment on (the library would otherwise wait 25 s for a new one).
    atspi_set_timeout(queryTimeoutMilliseconds, -1);
    listener_.reset(atspi_event_listener_new(&AtspiFocusedText::focusChanged, this, nullptr));
    GError* raw = nullptr;
    if (atspi_event_listener_register(listener_.get(), "object:state-changed:focused", &raw) == FALSE) {
        GErrorPtr error(raw);
    }
}

AtspiFocusedText::~AtspiFocusedText() {
    if (listener_) {
        atspi_event_listener_deregister(listener_.get(), "object:state-changed:focused", nullptr);
    }
}

void AtspiFocusedText::focusChanged(AtspiEvent* event, void* data) {
    auto* self = static_cast<AtspiFocusedText*>(data);
    // A loss of focus keeps the element: a keyboard grab (the hot key's own) takes the focus from the
    // active window for a moment, and its selection is still the one the user means.
    if (event->source != nullptr && event->detail1 != 0) {
        self->tracked_.reset(static_cast<AtspiAccessible*>(g_object_ref(event->source)));
    }
    g_boxed_free(atspi_event_get_type(), event); // handed over to the listener
}

AtspiAccessible* AtspiFocusedText::searchFocused() {
    const unsigned long pid = activePid_ ? activePid_() : 0;
    if (pid == 0) {
        return nullptr;
    }
    GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop) {
        return nullptr;
    }
    const gint applications = atspi_accessible_get_child_count(desktop.get(), nullptr);
    for (gint i = 0; i < applications; ++i) {
        GObjectPtr<AtspiAccessible> application(
            atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
        if (!application || atspi_accessible_get_process_id(application.get(), nullptr) != pid) {
            continue;
        }
        const gint windows = atspi_accessible_get_child_count(application.get(), nullptr);
        for (gint w = 0; w < windows; ++w) {
            GObjectPtr<AtspiAccessible> window(
                atspi_accessible_get_child_at_index(application.get(), w, nullptr));
            if (!window || !hasState(window.get(), ATSPI_STATE_ACTIVE)) {
                continue;
            }
            GObjectPtr<AtspiCollection> collection(atspi_accessible_get_collection_iface(window.get()));
            if (!collection) {
                continue;
            }
            const glib::GArrayPtr wanted(g_array_new(FALSE, FALSE, sizeof(AtspiStateType)));
            const AtspiStateType focused = ATSPI_STATE_FOCUSED;
            g_array_append_val(wanted.get(), focused);
            GObjectPtr<AtspiStateSet> states(atspi_state_set_new(wanted.get()));
            GObjectPtr<AtspiMatchRule> rule(atspi_match_rule_new(
                states.get(), ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_NONE, nullptr,
                ATSPI_Collection_MATCH_NONE, nullptr, ATSPI_Collection_MATCH_NONE, FALSE));
            const std::unique_ptr<GArray, AccessibleArrayFree> matches(atspi_collection_get_matches(
                collection.get(), rule.get(), ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, nullptr));
            if (matches && matches->len > 0) {
                return static_cast<AtspiAccessible*>(
                    g_object_ref(g_array_index(matches.get(), AtspiAccessible*, 0)));
            }
        }
    }
    return nullptr;
}

AtspiAccessible* AtspiFocusedText::focusedElement() {
    if (!available_) {
        return nullptr;
    }
    // The last focused element counts while it is focused or its application still owns the active
    // window; otherwise (another application without accessibility is active, or the element's
    // application ended) the active window is searched.
    if (tracked_ && !hasState(tracked_.get(), ATSPI_STATE_FOCUSED)) {
        const unsigned long pid = activePid_ ? activePid_() : 0;
        if (pid == 0 || atspi_accessible_get_process_id(tracked_.get(), nullptr) != pid) {
            tracked_.reset();
        }
    }
    if (!tracked_) {
        tracked_.reset(searchFocused());
    }
    return tracked_.get();
}

bool AtspiFocusedText::focus() {
    current_.reset();
    AtspiAccessible* element = focusedElement();
    if (element == nullptr) {
        return false;
    }
    auto text = std::make_unique<AtspiElementText>(
        GObjectPtr<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(element))));
    if (!text->hasText()) {
        return false;
    }
    current_ = std::move(text);
    return true;
}

bool AtspiFocusedText::focusedIsTerminal() {
    AtspiAccessible* element = focusedElement();
    return element != nullptr && atspi_accessible_get_role(element, nullptr) == ATSPI_ROLE_TERMINAL;
}

AtspiElementText::AtspiElementText(GObjectPtr<AtspiAccessible> element)
    : element_(std::move(element))
    , text_(element_ ? atspi_accessible_get_text_iface(element_.get()) : nullptr) {}

std::optional<TextRange> AtspiElementText::selectedRange() {
    GError* raw = nullptr;
    const gint count = atspi_text_get_n_selections(text_.get(), &raw);
    GErrorPtr countError(raw);
    if (countError || count < 1) {
        return std::nullopt;
    }
    raw = nullptr;
    std::unique_ptr<AtspiRange, GFreeDeleter> range(atspi_text_get_selection(text_.get(), 0, &raw));
    GErrorPtr rangeError(raw);
    if (rangeError || !range) {
        return std::nullopt;
    }
    return TextRange{range->start_offset, range->end_offset};
}

std::optional<std::string> AtspiElementText::text(TextRange range) {
    GError* raw = nullptr;
    std::unique_ptr<gchar, GFreeDeleter> text(atspi_text_get_text(text_.get(), range.start, range.end, &raw));
    GErrorPtr error(raw);
    if (error || !text) {
        return std::nullopt;
    }
    return std::string(text.get());
}

std::optional<Rect> AtspiElementText::rangeExtents(TextRange range) {
    GError* raw = nullptr;
    std::unique_ptr<AtspiRect, GFreeDeleter> rect(
        atspi_text_get_range_extents(text_.get(), range.start, range.end, ATSPI_COORD_TYPE_SCREEN, &raw));
    GErrorPtr error(raw);
    if (error || !rect) {
        return std::nullopt;
    }
    return Rect{static_cast<double>(rect->x), static_cast<double>(rect->y), static_cast<double>(rect->width),
                static_cast<double>(rect->height)};
}

std::optional<int> AtspiElementText::characterCount() {
    GError* raw = nullptr;
    const gint count = atspi_text_get_character_count(text_.get(), &raw);
    GErrorPtr error(raw);
    if (error || count < 0) {
        return std::nullopt;
    }
    return count;
}

std::unique_ptr<AccessibleText> AtspiElementText::embeddedAt(int offset) {
    GObjectPtr<AtspiHypertext> hypertext(atspi_accessible_get_hypertext_iface(element_.get()));
    if (!hypertext) {
        return nullptr;
    }
    GError* raw = nullptr;
    const gint index = atspi_hypertext_get_link_index(hypertext.get(), offset, &raw);
    GErrorPtr indexError(raw);
    if (indexError || index < 0) {
        return nullptr;
    }
    raw = nullptr;
    GObjectPtr<AtspiHyperlink> link(atspi_hypertext_get_link(hypertext.get(), index, &raw));
    GErrorPtr linkError(raw);
    if (linkError || !link) {
        return nullptr;
    }
    raw = nullptr;
    GObjectPtr<AtspiAccessible> child(atspi_hyperlink_get_object(link.get(), 0, &raw));
    GErrorPtr childError(raw);
    if (childError || !child) {
        return nullptr;
    }
    auto text = std::make_unique<AtspiElementText>(std::move(child));
    if (!text->hasText()) {
        return nullptr;
    }
    return text;
}

bool AtspiElementText::isBlock() {
    // Browsers say how an element is laid out; other toolkits only what it is.
    const glib::GHashTablePtr attributes(atspi_accessible_get_attributes(element_.get(), nullptr));
    if (attributes) {
        if (const auto* display =
                static_cast<const char*>(g_hash_table_lookup(attributes.get(), "display"))) {
            return !g_str_has_prefix(display, "inline");
        }
    }
    switch (atspi_accessible_get_role(element_.get(), nullptr)) {
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_HEADING:
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_ITEM:
    case ATSPI_ROLE_BLOCK_QUOTE:
    case ATSPI_ROLE_TABLE_CELL:
    case ATSPI_ROLE_TABLE_ROW:
    case ATSPI_ROLE_ARTICLE:
    case ATSPI_ROLE_CAPTION:
    case ATSPI_ROLE_FORM:
    case ATSPI_ROLE_HEADER:
    case ATSPI_ROLE_FOOTER:
    case ATSPI_ROLE_DOCUMENT_FRAME:
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_DOCUMENT_TEXT:
        return true;
    default:
        return false;
    }
}

bool accessibilityEnabled() {
    GError* raw = nullptr;
    GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    GErrorPtr busError(raw);
    if (!bus) {
        return false;
    }
    raw = nullptr;
    const GVariantPtr reply(a11yStatusCall(bus.get(), "Get",
                                           g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"),
                                           G_VARIANT_TYPE("(v)"), &raw));
    GErrorPtr callError(raw);
    if (!reply) {
        return false;
    }
    GVariant* unboxed = nullptr;
    g_variant_get(reply.get(), "(v)", &unboxed);
    const GVariantPtr boxed(unboxed);
    return boxed && g_variant_is_of_type(boxed.get(), G_VARIANT_TYPE_BOOLEAN) &&
           g_variant_get_boolean(boxed.get()) != FALSE;
}

namespace {

Result<void> setAccessibility(bool on) {
    GError* raw = nullptr;
    GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    GErrorPtr busError(raw);
    if (!bus) {
        return Failure{busError ? busError->message : "no session bus"};
    }
    // The desktop setting makes toolkits started from now on load (or not) their accessibility bridge.
    if (GSettingsSchemaSource* source = g_settings_schema_source_get_default()) {
        const glib::GSettingsSchemaPtr schema(
            g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE));
        if (schema && g_settings_schema_has_key(schema.get(), "toolkit-accessibility") != FALSE) {
            GObjectPtr<GSettings> settings(g_settings_new("org.gnome.desktop.interface"));
            g_settings_set_boolean(settings.get(), "toolkit-accessibility", on ? TRUE : FALSE);
            // Written by GSettings as the main loop runs: waiting here for the settings service to start
            // would hold the first card back.
        }
    }
    raw = nullptr;
    const GVariantPtr reply(a11yStatusCall(
        bus.get(), "Set", g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(on)),
        nullptr, &raw));
    GErrorPtr setError(raw);
    if (setError) {
        return Failure{setError->message};
    }
    return {};
}

} // namespace

Result<bool> requestAccessibility() {
    if (accessibilityEnabled()) {
        return false;
    }
    if (Result<void> set = setAccessibility(true); !set) {
        return set.failure();
    }
    return true;
}

void releaseAccessibility() {
    // Nothing to tell anyone when it fails: the flag then stays as it was.
    (void)setAccessibility(false);
}

} // namespace ulvo::x11
