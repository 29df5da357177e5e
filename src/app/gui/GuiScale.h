#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QWidget>

namespace talwen {
namespace app {
namespace gui {

// Sizes and positions of the window are logical pixels at 96 DPI; on another
// screen they grow with its logical DPI (horizontal for x and widths, vertical for
// y and heights).
struct GuiScale {
    double x = 1.0;
    double y = 1.0;

    static GuiScale of(const QWidget* widget) {
        GuiScale scale;
        if (widget) {
            scale.x = widget->logicalDpiX() / 96.0;
            scale.y = widget->logicalDpiY() / 96.0;
        }
        return scale;
    }
    int w(int value) const { return static_cast<int>(value * x + 0.5); }
    int h(int value) const { return static_cast<int>(value * y + 0.5); }
    QSize size(int width, int height) const { return QSize(w(width), h(height)); }
    QPoint point(int px, int py) const { return QPoint(w(px), h(py)); }
    QRect rect(int px, int py, int width, int height) const { return QRect(point(px, py), size(width, height)); }
};

}  // namespace gui
}  // namespace app
}  // namespace talwen
