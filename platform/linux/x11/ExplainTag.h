#pragma once

#include "card/CardGeometry.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/gtk/WidgetPtr.h"

#include <gtk/gtk.h>

#include <functional>

namespace ulvo::x11 {

inline constexpr const char* explainTagTitle = "Explain";
inline constexpr const char* explainTagAccessibleName = "Explain selected text with ULVO";

// The explain tag: a small rounded blue "Explain" button in a window that never takes the focus and
// shows above other windows on every workspace: a pop-up on X11, a layer surface on Wayland.
class ExplainTag {
public:
    explicit ExplainTag(std::function<void()> clicked);
    ~ExplainTag();
    ExplainTag(const ExplainTag&) = delete;
    ExplainTag& operator=(const ExplainTag&) = delete;

    GtkWidget* window() const { return window_.get(); }
    GtkWidget* button() const { return button_; }
    // Shows the tag with its origin (bottom-left corner) at a point of the card logic's coordinates.
    void showAt(Point origin);
    void hide();
    bool isVisible() const;

private:
    static void activated(GtkButton*, gpointer data);
    static void allocated(GtkWidget* widget, GdkRectangle* allocation, gpointer);

    std::function<void()> clicked_;
    gtk::WindowPtr window_;
    GtkWidget* button_ = nullptr;
    glib::GObjectPtr<GtkCssProvider> css_;
    bool layered_ = false;
};

} // namespace ulvo::x11
