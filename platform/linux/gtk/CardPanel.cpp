#include "platform/linux/gtk/CardPanel.h"
#include "platform/linux/gtk/WindowShape.h"

#include "platform/linux/gtk/ScreenGeometry.h"

#include <gtk-layer-shell/gtk-layer-shell.h>

#include <algorithm>

namespace ulvo::gtk {

namespace {

// Colours are the card's: header white 0.09, title 0.92, close button 0.15 with text 0.9.
constexpr const char* cardStyle = R"css(
window.ulvo-card { background-color: transparent; }
.ulvo-card-content { background-color: #000000; border-radius: 28px; }
.ulvo-card-header { background-color: rgb(23, 23, 23); border-radius: 28px 28px 0 0; }
.ulvo-card-title { color: rgb(235, 235, 235); font-family: monospace; font-size: 16px; font-weight: 600; }
button.ulvo-card-close {
    background-image: none; background-color: rgb(38, 38, 38); color: rgb(230, 230, 230);
    border: none; border-radius: 18px; box-shadow: none; text-shadow: none; padding: 0;
    font-family: monospace; font-size: 15px; font-weight: 500; min-width: 78px; min-height: 36px;
}
button.ulvo-card-close label { color: rgb(230, 230, 230); }
button.ulvo-card-close:hover { background-color: rgb(56, 56, 56); }
button.ulvo-card-close:focus { outline: 2px solid rgb(10, 132, 255); outline-offset: 1px; }
button.ulvo-resize-handle {
    background-image: none; background-color: transparent; border: none; box-shadow: none; padding: 0;
    min-width: 24px; min-height: 20px;
}
)css";

constexpr double cornerRadius = 28;

GtkWidget* styled(GtkWidget* widget, const char* styleClass) {
    gtk_style_context_add_class(gtk_widget_get_style_context(widget), styleClass);
    return widget;
}

} // namespace

CardPanel::CardPanel(GtkApplication* application, WebEngine& engine, Callbacks callbacks)
    : CardPanel(
          application, [&engine]() -> WebEngine& { return engine; }, std::move(callbacks)) {}

CardPanel::CardPanel(GtkApplication* application, std::function<WebEngine&()> engine, Callbacks callbacks)
    : callbacks_(std::move(callbacks))
    , engine_(std::move(engine))
    , css_(gtk_css_provider_new()) {
    gtk_css_provider_load_from_data(css_.get(), cardStyle, -1, nullptr);

    window_.reset(styled(gtk_window_new(GTK_WINDOW_TOPLEVEL), "ulvo-card"));
    GtkWindow* window = this->window();
    gtk_style_context_add_provider_for_screen(gtk_widget_get_screen(window_.get()),
                                              glib::as<GtkStyleProvider>(css_.get()),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    gtk_window_set_title(window, "ULVO");
    // Where the compositor offers layer surfaces with focus on demand (wlroots), the card is one: placed
    // where this program says and kept above, which a Wayland window otherwise cannot be. With only
    // version 3 of the protocol (KDE Plasma 5.27) a layer surface that can be typed into holds the
    // keyboard exclusively, so there the card is an ordinary window.
    if (gtk_layer_is_supported() != FALSE && gtk_layer_get_protocol_version() >= 4) {
        layered_ = true;
        gtk_layer_init_for_window(window);
        gtk_layer_set_namespace(window, "ulvo-card");
        gtk_layer_set_layer(window, GTK_LAYER_SHELL_LAYER_TOP);
        gtk_layer_set_anchor(window, GTK_LAYER_SHELL_EDGE_TOP, TRUE);
        gtk_layer_set_anchor(window, GTK_LAYER_SHELL_EDGE_LEFT, TRUE);
        // The keyboard stays with the user's program: the card can take it only while the pointer is
        // over it (a click then activates it), and gives it back as the pointer leaves, since a
        // compositor keeps a focused layer surface focused whatever else is clicked.
        gtk_layer_set_keyboard_mode(window, GTK_LAYER_SHELL_KEYBOARD_MODE_NONE);
        gtk_widget_add_events(window_.get(), GDK_ENTER_NOTIFY_MASK | GDK_LEAVE_NOTIFY_MASK);
        glib::connect(window_.get(), "enter-notify-event", &CardPanel::pointerCrossed, this);
        glib::connect(window_.get(), "leave-notify-event", &CardPanel::pointerCrossed, this);
    }
    gtk_window_set_decorated(window, FALSE);
    gtk_window_set_skip_taskbar_hint(window, TRUE);
    gtk_window_set_skip_pager_hint(window, TRUE);
    gtk_window_set_keep_above(window, TRUE);
    gtk_window_stick(window);
    gtk_window_set_default_size(window, static_cast<int>(cardWidth), static_cast<int>(cardHeight));
    if (layered_) {
        // A layer surface takes the size its content asks for; the page asks for none.
        gtk_widget_set_size_request(window_.get(), static_cast<int>(cardWidth), static_cast<int>(cardHeight));
    }
    GdkGeometry hints{};
    hints.min_width = static_cast<int>(cardLimits.minWidth);
    hints.min_height = static_cast<int>(cardLimits.minHeight);
    hints.max_width = static_cast<int>(cardLimits.maxWidth);
    hints.max_height = static_cast<int>(cardLimits.maxHeight);
    gtk_window_set_geometry_hints(window, nullptr, &hints,
                                  static_cast<GdkWindowHints>(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE));
    if (GdkVisual* rgba = gdk_screen_get_rgba_visual(gtk_widget_get_screen(window_.get()))) {
        gtk_widget_set_visual(window_.get(), rgba);
    }
    if (application != nullptr) {
        gtk_window_set_application(window, application);
    }
    glib::connect(window_.get(), "delete-event", &CardPanel::windowDeleted, this);
    glib::connect(window_.get(), "size-allocate", &CardPanel::windowAllocated, this);
    glib::connect(window_.get(), "key-press-event", &CardPanel::windowKey, this);

    GtkWidget* overlay = styled(gtk_overlay_new(), "ulvo-card-content");
    GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    column_ = column;
    gtk_container_add(glib::as<GtkContainer>(overlay), column);
    gtk_container_add(glib::as<GtkContainer>(window_.get()), overlay);

    // Header: pressing anywhere but the close button drags the window.
    header_ = styled(gtk_event_box_new(), "ulvo-card-header");
    gtk_widget_set_size_request(header_, -1, static_cast<int>(headerHeight));
    glib::connect(header_, "button-press-event", &CardPanel::headerPressed, this);
    if (layered_) {
        // No compositor move for a layer surface: the header moves it by its margins.
        gtk_widget_add_events(header_, GDK_BUTTON_MOTION_MASK | GDK_BUTTON_RELEASE_MASK);
        glib::connect(header_, "motion-notify-event", &CardPanel::headerDragged, this);
        glib::connect(header_, "button-release-event", &CardPanel::headerReleased, this);
    }
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_widget_set_margin_start(row, 22);
    gtk_widget_set_margin_end(row, 18);
    gtk_container_add(glib::as<GtkContainer>(header_), row);

    GtkWidget* icon = gtk_drawing_area_new();
    gtk_widget_set_size_request(icon, 18, 18);
    gtk_widget_set_valign(icon, GTK_ALIGN_CENTER);
    atk_object_set_name(gtk_widget_get_accessible(icon), "Drag to move");
    glib::connect(icon, "draw", &CardPanel::drawMoveIcon, nullptr);
    gtk_box_pack_start(glib::as<GtkBox>(row), icon, FALSE, FALSE, 0);

    GtkWidget* title = styled(gtk_label_new("Drag to move"), "ulvo-card-title");
    gtk_widget_set_valign(title, GTK_ALIGN_CENTER);
    gtk_box_pack_start(glib::as<GtkBox>(row), title, FALSE, FALSE, 0);

    GtkWidget* close = styled(gtk_button_new_with_label("Close"), "ulvo-card-close");
    gtk_widget_set_size_request(close, 78, 36);
    gtk_widget_set_valign(close, GTK_ALIGN_CENTER);
    glib::connect(close, "clicked", &CardPanel::closeClicked, this);
    gtk_box_pack_end(glib::as<GtkBox>(row), close, FALSE, FALSE, 0);

    gtk_box_pack_start(glib::as<GtkBox>(column), header_, FALSE, FALSE, 0);

    // Resize handle: a button, so keyboard focus and the accessibility press come with it; the mouse
    // drag is handled here instead of by the button.
    resizeHandle_ = styled(gtk_button_new(), "ulvo-resize-handle");
    gtk_widget_set_size_request(resizeHandle_, 24, 20);
    gtk_widget_set_halign(resizeHandle_, GTK_ALIGN_END);
    gtk_widget_set_valign(resizeHandle_, GTK_ALIGN_END);
    gtk_widget_set_margin_end(resizeHandle_, 4);
    gtk_widget_set_can_focus(resizeHandle_, TRUE);
    gtk_widget_add_events(resizeHandle_,
                          GDK_POINTER_MOTION_MASK | GDK_BUTTON_MOTION_MASK | GDK_KEY_PRESS_MASK);
    AtkObject* accessible = gtk_widget_get_accessible(resizeHandle_);
    atk_object_set_role(accessible, ATK_ROLE_PUSH_BUTTON);
    atk_object_set_name(accessible, "Resize ULVO window");
    atk_object_set_description(accessible,
                               "Drag to resize. With keyboard focus, use the arrow keys. Press to enlarge.");
    gtk_widget_set_tooltip_text(resizeHandle_, "Drag to resize");
    glib::connect(resizeHandle_, "draw", &CardPanel::drawResizeHandle, nullptr);
    glib::connect(resizeHandle_, "button-press-event", &CardPanel::handlePressed, this);
    glib::connect(resizeHandle_, "motion-notify-event", &CardPanel::handleDragged, this);
    glib::connect(resizeHandle_, "button-release-event", &CardPanel::handleReleased, this);
    glib::connect(resizeHandle_, "key-press-event", &CardPanel::handleKey, this);
    glib::connect(resizeHandle_, "clicked", &CardPanel::handleActivated, this);
    glib::connect(resizeHandle_, "realize", &CardPanel::handleRealized, nullptr, true);
    gtk_overlay_add_overlay(glib::as<GtkOverlay>(overlay), resizeHandle_);

    gtk_widget_show_all(overlay);
    gtk_widget_realize(window_.get());
}

CardPanel::~CardPanel() {
    g_signal_handlers_disconnect_by_data(window_.get(), this);
    g_signal_handlers_disconnect_by_data(header_, this);
    g_signal_handlers_disconnect_by_data(resizeHandle_, this);
    window_.reset();
    gtk_style_context_remove_provider_for_screen(gdk_screen_get_default(),
                                                 glib::as<GtkStyleProvider>(css_.get()));
}

PageView& CardPanel::page() {
    if (!page_) {
        page_ = engine_().makePage("ulvo", callbacks_.page);
        gtk_box_pack_start(glib::as<GtkBox>(column_), page_->widget(), TRUE, TRUE, 0);
        gtk_widget_show(page_->widget());
        gtk_widget_grab_focus(page_->widget());
        if (callbacks_.pageMade) {
            callbacks_.pageMade(*page_);
        }
    }
    return *page_;
}

void CardPanel::releasePage() {
    if (page_) {
        gtk_container_remove(glib::as<GtkContainer>(column_), page_->widget());
        page_.reset();
    }
}

Rect CardPanel::frame() const {
    GdkRectangle rect{};
    if (layered_) {
        rect.x = gtk_layer_get_margin(window(), GTK_LAYER_SHELL_EDGE_LEFT);
        rect.y = gtk_layer_get_margin(window(), GTK_LAYER_SHELL_EDGE_TOP);
    } else {
        gtk_window_get_position(window(), &rect.x, &rect.y);
    }
    gtk_window_get_size(window(), &rect.width, &rect.height);
    return ScreenGeometry(gtk_widget_get_display(window_.get())).toLogic(rect);
}

void CardPanel::setFrame(const Rect& frame) {
    const GdkRectangle rect = ScreenGeometry(gtk_widget_get_display(window_.get())).fromLogic(frame);
    if (layered_) {
        gtk_layer_set_margin(window(), GTK_LAYER_SHELL_EDGE_LEFT, std::max(rect.x, 0));
        gtk_layer_set_margin(window(), GTK_LAYER_SHELL_EDGE_TOP, std::max(rect.y, 0));
    } else {
        gtk_window_move(window(), rect.x, rect.y);
    }
    if (layered_) {
        gtk_widget_set_size_request(window_.get(), rect.width, rect.height);
    }
    gtk_window_resize(window(), rect.width, rect.height);
}

void CardPanel::setOrigin(Point origin) {
    Rect moved = frame();
    moved.x = origin.x;
    moved.y = origin.y;
    setFrame(moved);
}

void CardPanel::present() {
    gtk_widget_show(window_.get());
    gtk_window_present(window());
    // The page takes the keys as the card is activated: Escape and typing a question work at once.
    if (page_) {
        gtk_widget_grab_focus(page_->widget());
    }
}

gboolean CardPanel::pointerCrossed(GtkWidget* window, GdkEventCrossing* event, gpointer) {
    // Crossings between the card's own widgets change nothing.
    if (event->detail != GDK_NOTIFY_INFERIOR) {
        gtk_layer_set_keyboard_mode(glib::as<GtkWindow>(window), event->type == GDK_ENTER_NOTIFY
                                                                     ? GTK_LAYER_SHELL_KEYBOARD_MODE_ON_DEMAND
                                                                     : GTK_LAYER_SHELL_KEYBOARD_MODE_NONE);
    }
    return FALSE;
}

gboolean CardPanel::windowKey(GtkWidget* window, GdkEventKey* event, gpointer data) {
    auto* self = static_cast<CardPanel*>(data);
    if (event->keyval != GDK_KEY_Escape) {
        return FALSE;
    }
    // The page closes the card itself unless it uses the key (an input method's composition); from
    // anywhere else in the card, Escape closes it here.
    if (self->page_ && gtk_window_get_focus(glib::as<GtkWindow>(window)) == self->page_->widget()) {
        return FALSE;
    }
    if (self->callbacks_.closeClicked) {
        self->callbacks_.closeClicked();
    }
    return TRUE;
}

void CardPanel::hide() {
    gtk_widget_hide(window_.get());
}

bool CardPanel::isVisible() const {
    return gtk_widget_get_visible(window_.get()) != FALSE;
}

void CardPanel::resizeBy(double dw, double dh) {
    setFrame(resizedFrame(frame(), dw, dh, cardLimits));
}

bool CardPanel::performPress() {
    resizeBy(resizePressStep, resizePressStep);
    return true;
}

gboolean CardPanel::headerPressed(GtkWidget*, GdkEventButton* event, gpointer data) {
    auto* self = static_cast<CardPanel*>(data);
    if (event->button != GDK_BUTTON_PRIMARY || event->type != GDK_BUTTON_PRESS) {
        return FALSE;
    }
    if (self->callbacks_.headerPressed) {
        self->callbacks_.headerPressed();
    }
    if (self->layered_) {
        self->moveGrip_ = Point{event->x, event->y};
        return TRUE;
    }
    gtk_window_begin_move_drag(self->window(), static_cast<gint>(event->button),
                               static_cast<gint>(event->x_root), static_cast<gint>(event->y_root),
                               event->time);
    return TRUE;
}

gboolean CardPanel::headerDragged(GtkWidget*, GdkEventMotion* event, gpointer data) {
    auto* self = static_cast<CardPanel*>(data);
    if (!self->moveGrip_) {
        return FALSE;
    }
    // The surface follows the pointer, so the grip stays where it was taken within the header.
    GtkWindow* window = self->window();
    const int left = gtk_layer_get_margin(window, GTK_LAYER_SHELL_EDGE_LEFT);
    const int top = gtk_layer_get_margin(window, GTK_LAYER_SHELL_EDGE_TOP);
    gtk_layer_set_margin(window, GTK_LAYER_SHELL_EDGE_LEFT,
                         std::max(0, left + static_cast<int>(event->x - self->moveGrip_->x)));
    gtk_layer_set_margin(window, GTK_LAYER_SHELL_EDGE_TOP,
                         std::max(0, top + static_cast<int>(event->y - self->moveGrip_->y)));
    return TRUE;
}

gboolean CardPanel::headerReleased(GtkWidget*, GdkEventButton*, gpointer data) {
    static_cast<CardPanel*>(data)->moveGrip_.reset();
    return FALSE;
}

void CardPanel::closeClicked(GtkButton*, gpointer data) {
    auto* self = static_cast<CardPanel*>(data);
    if (self->callbacks_.closeClicked) {
        self->callbacks_.closeClicked();
    }
}

gboolean CardPanel::drawMoveIcon(GtkWidget* widget, cairo_t* cr, gpointer) {
    const double width = gtk_widget_get_allocated_width(widget);
    const double height = gtk_widget_get_allocated_height(widget);
    const double s = std::min(width, height) / 24;
    cairo_save(cr);
    cairo_translate(cr, (width - 24 * s) / 2, (height - 24 * s) / 2);
    cairo_scale(cr, s, s);
    cairo_set_source_rgba(cr, 0.92, 0.92, 0.92, 1);
    cairo_set_line_width(cr, 1.8);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    // A four-way arrow cross; the design grid is symmetric, so y-down draws it the same.
    const double strokes[][6] = {
        {12, 2, 12, 22, -1, -1}, {2, 12, 22, 12, -1, -1}, {8, 6, 12, 2, 16, 6},
        {8, 18, 12, 22, 16, 18}, {6, 8, 2, 12, 6, 16},    {18, 8, 22, 12, 18, 16},
    };
    for (const auto& stroke : strokes) {
        cairo_move_to(cr, stroke[0], stroke[1]);
        cairo_line_to(cr, stroke[2], stroke[3]);
        if (stroke[4] >= 0) {
            cairo_line_to(cr, stroke[4], stroke[5]);
        }
    }
    cairo_stroke(cr);
    cairo_restore(cr);
    return FALSE;
}

gboolean CardPanel::drawResizeHandle(GtkWidget* widget, cairo_t* cr, gpointer) {
    const double width = gtk_widget_get_allocated_width(widget);
    const double height = gtk_widget_get_allocated_height(widget);
    if (gtk_widget_has_visible_focus(widget)) {
        cairo_set_source_rgba(cr, 10 / 255.0, 132 / 255.0, 1, 1);
        cairo_set_line_width(cr, 2);
        cairo_rectangle(cr, 1, 1, width - 2, height - 2);
        cairo_stroke(cr);
    }
    // The handle's box reaches 4 points below the card, so its strokes start at the card's bottom edge.
    const double boxBottom = height + 4;
    cairo_set_source_rgba(cr, 0.56, 0.56, 0.56, 0.75);
    cairo_set_line_width(cr, 1.25);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    for (const double o : {6.0, 10.0, 14.0}) {
        cairo_new_path(cr);
        cairo_move_to(cr, width - o, boxBottom - 4);
        cairo_line_to(cr, width - 4, boxBottom - o);
        cairo_stroke(cr);
    }
    return TRUE;
}

gboolean CardPanel::handlePressed(GtkWidget* widget, GdkEventButton* event, gpointer data) {
    auto* self = static_cast<CardPanel*>(data);
    if (event->button != GDK_BUTTON_PRIMARY) {
        return TRUE;
    }
    gtk_widget_grab_focus(widget);
    ScreenGeometry geometry(gtk_widget_get_display(widget));
    self->initialMouse_ = geometry.toLogic(event->x_root, event->y_root);
    self->initialFrame_ = self->frame();
    self->dragging_ = true;
    return TRUE;
}

gboolean CardPanel::handleDragged(GtkWidget* widget, GdkEventMotion* event, gpointer data) {
    auto* self = static_cast<CardPanel*>(data);
    if (!self->dragging_) {
        return TRUE;
    }
    ScreenGeometry geometry(gtk_widget_get_display(widget));
    const Point mouse = geometry.toLogic(event->x_root, event->y_root);
    self->setFrame(draggedFrame(self->initialFrame_, self->initialMouse_, mouse, cardLimits));
    return TRUE;
}

gboolean CardPanel::handleReleased(GtkWidget*, GdkEventButton*, gpointer data) {
    static_cast<CardPanel*>(data)->dragging_ = false;
    return TRUE;
}

gboolean CardPanel::handleKey(GtkWidget*, GdkEventKey* event, gpointer data) {
    auto* self = static_cast<CardPanel*>(data);
    ArrowKey key{};
    switch (event->keyval) {
    case GDK_KEY_Left:
    case GDK_KEY_KP_Left:
        key = ArrowKey::left;
        break;
    case GDK_KEY_Right:
    case GDK_KEY_KP_Right:
        key = ArrowKey::right;
        break;
    case GDK_KEY_Down:
    case GDK_KEY_KP_Down:
        key = ArrowKey::down;
        break;
    case GDK_KEY_Up:
    case GDK_KEY_KP_Up:
        key = ArrowKey::up;
        break;
    default:
        return FALSE; // on to the window: Tab moves the focus, Space presses
    }
    const Point delta = arrowResizeDelta(key);
    self->resizeBy(delta.x, delta.y);
    return TRUE;
}

void CardPanel::handleActivated(GtkButton*, gpointer data) {
    static_cast<CardPanel*>(data)->performPress();
}

void CardPanel::handleRealized(GtkWidget* widget, gpointer) {
    GdkWindow* events = gtk_button_get_event_window(glib::as<GtkButton>(widget));
    if (events != nullptr) {
        glib::GObjectPtr<GdkCursor> cursor(
            gdk_cursor_new_from_name(gtk_widget_get_display(widget), "crosshair"));
        gdk_window_set_cursor(events, cursor.get());
    }
}

void CardPanel::windowAllocated(GtkWidget*, GdkRectangle* allocation, gpointer data) {
    static_cast<CardPanel*>(data)->applyShape(allocation->width, allocation->height);
}

gboolean CardPanel::windowDeleted(GtkWidget* widget, GdkEvent*, gpointer) {
    gtk_widget_hide(widget);
    return TRUE;
}

void CardPanel::applyShape(int width, int height) {
    if (width == shapedWidth_ && height == shapedHeight_) {
        return;
    }
    shapedWidth_ = width;
    shapedHeight_ = height;
    // The page paints its whole area, and without a compositor transparent pixels show black, so
    // the corners are cut out of the window itself.
    shapeToRoundedRectangle(window_.get(), GdkRectangle{0, 0, width, height}, cornerRadius);
}

} // namespace ulvo::gtk
