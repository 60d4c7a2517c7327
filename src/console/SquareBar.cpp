#include "console/SquareBar.h"

#include <QPainter>
#include <cmath>

namespace vyt {

namespace {
constexpr double kTwipsPerInch = 1440.0;
}

int twipsToPixels(int twips, const QWidget *widget)
{
    return int(std::lround(twips * widget->logicalDpiX() / kTwipsPerInch));
}

SquareBar::SquareBar(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void SquareBar::setColor(const QColor &color)
{
    if (color == m_color)
        return;
    m_color = color;
    update();
}

bool SquareBar::setSquareCount(int count)
{
    count = std::max(0, count);
    if (count == m_count)
        return false;
    m_count = count;
    repaint();
    return true;
}

double SquareBar::squarePitch() const
{
    return kSquareTwips * logicalDpiX() / kTwipsPerInch;
}

QSize SquareBar::sizeHint() const
{
    const double pitch = squarePitch();
    return {int(std::ceil(pitch * kMaxSquares)) + 1, int(std::ceil(pitch * 1.5))};
}

void SquareBar::paintEvent(QPaintEvent *)
{
    if (m_count <= 0)
        return;
    QPainter painter(this);
    const double pitch = squarePitch();
    // A gap between the squares, as the symbol font drew them.
    const double side = std::min(pitch * 0.8, double(height()));
    const double top = (height() - side) / 2.0;
    for (int i = 0; i < m_count; ++i)
        painter.fillRect(QRectF(i * pitch, top, side, side), m_color);
}

} // namespace vyt
