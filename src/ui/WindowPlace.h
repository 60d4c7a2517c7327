#pragma once
// Where the operator last put a window beyond the design (the run history, the live plot):
// section [Windows] of vyt.conf, one key per window, "x y width height", the frame's
// position and the client's size, as move() and resize() take them.
#include <QRect>
#include <QString>
#include <functional>
#include <optional>

class QSettings;
class QWidget;

namespace vyt {

// Whether a window whose frame starts at framePos, width wide, has its title bar on a
// screen; a monitor that is gone leaves it on none.
[[nodiscard]] bool titleBarOnAScreen(const QPoint &framePos, int width);

// The place stored under key, its size within the screen it is on; nullopt when none is
// stored, the text is damaged or the place is on no screen.
[[nodiscard]] std::optional<QRect> rememberedPlace(QSettings &store, const QString &key);
// Stores the window's place under key (only when it changed); false with the reason.
[[nodiscard]] bool rememberPlace(QSettings &store, const QString &key, const QWidget &window,
                                 QString *reason);

// rect moved onto area; a rectangle larger than area shows its left and top edges.
[[nodiscard]] QRect movedOnto(const QRect &rect, const QRect &area);

// Puts the window where the operator had it, or calls placeDefault when that is unknown,
// and remembers its place from then on each time it is closed or hidden.
void keepWindowPlace(QWidget &window, const QString &key,
                     const std::function<void()> &placeDefault);

} // namespace vyt
