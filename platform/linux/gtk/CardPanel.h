#pragma once

#include "card/CardGeometry.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/gtk/PageView.h"
#include "platform/linux/gtk/WidgetPtr.h"

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <optional>

namespace ulvo::gtk {

// The floating card: an undecorated rounded dark window on every workspace, above other windows and
// outside the task bar and pager, with a drag header, a close button, the page and a resize handle.
// Where a Wayland compositor offers layer surfaces with focus on demand the card is one, which takes the
// keyboard only while the pointer is over it; elsewhere on Wayland it is an ordinary window that the
// compositor places and moves.
class CardPanel {
public:
    struct Callbacks {
        std::function<void()> headerPressed; // before the window drag starts
        std::function<void()> closeClicked;
        PageView::Callbacks page;
        std::function<void(PageView&)> pageMade; // loads the page into a view just made
    };

    // The page, and so a web process, exists only while needed: the first page() makes it, in the
    // engine the provider gives then, and releasePage() ends it.
    CardPanel(GtkApplication* application, std::function<WebEngine&()> engine, Callbacks callbacks);
    CardPanel(GtkApplication* application, WebEngine& engine, Callbacks callbacks);
    ~CardPanel();
    CardPanel(const CardPanel&) = delete;
    CardPanel& operator=(const CardPanel&) = delete;

    GtkWindow* window() const { return glib::as<GtkWindow>(window_.get()); }
    PageView& page();
    bool hasPage() const { return page_ != nullptr; }
    void releasePage();
    GtkWidget* resizeHandle() const { return resizeHandle_; }
    GtkWidget* header() const { return header_; }

    // Frames in the card logic's coordinates (origin bottom-left, y up).
    Rect frame() const;
    void setFrame(const Rect& frame);
    void setOrigin(Point origin);

    // Shows the card in front and gives it the keyboard focus.
    void present();
    void hide();
    bool isVisible() const;

    // The resize handle's operations, each clamped to the limits with the top-left corner kept.
    void resizeBy(double dw, double dh);
    // The accessibility press: 40 points wider and taller.
    bool performPress();

private:
    static gboolean headerPressed(GtkWidget*, GdkEventButton* event, gpointer data);
    static gboolean headerDragged(GtkWidget*, GdkEventMotion* event, gpointer data);
    static gboolean headerReleased(GtkWidget*, GdkEventButton*, gpointer data);
    static void closeClicked(GtkButton*, gpointer data);
    static gboolean drawMoveIcon(GtkWidget* widget, cairo_t* cr, gpointer);
    static gboolean drawResizeHandle(GtkWidget* widget, cairo_t* cr, gpointer);
    static gboolean handlePressed(GtkWidget* widget, GdkEventButton* event, gpointer data);
    static gboolean handleDragged(GtkWidget* widget, GdkEventMotion* event, gpointer data);
    static gboolean handleReleased(GtkWidget*, GdkEventButton*, gpointer);
    static gboolean handleKey(GtkWidget*, GdkEventKey* event, gpointer data);
    static gboolean windowKey(GtkWidget* window, GdkEventKey* event, gpointer data);
    static gboolean pointerCrossed(GtkWidget* window, GdkEventCrossing* event, gpointer);
    static void handleActivated(GtkButton*, gpointer data);
    static void handleRealized(GtkWidget* widget, gpointer);
    static void windowAllocated(GtkWidget* widget, GdkRectangle* allocation, gpointer data);
    static gboolean windowDeleted(GtkWidget* widget, GdkEvent*, gpointer);

    void applyShape(int width, int height);

    Callbacks callbacks_;
    std::function<WebEngine&()> engine_;
    gtk::WindowPtr window_;
    GtkWidget* column_ = nullptr; // the header, then the page
    GtkWidget* header_ = nullptr;
    GtkWidget* resizeHandle_ = nullptr;
    std::unique_ptr<PageView> page_;
    glib::GObjectPtr<GtkCssProvider> css_;
    Point initialMouse_;
    Rect initialFrame_;
    bool dragging_ = false;
    bool layered_ = false;
    // Where the header was pressed to move a layer surface, in header coordinates.
    std::optional<Point> moveGrip_;
    int shapedWidth_ = 0;
    int shapedHeight_ = 0;
};

} // namespace ulvo::gtk
