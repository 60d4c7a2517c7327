#pragma once
// A bar drawn as a row of equal filled squares, one square per 5 % at the usual
// tag of 20. The squares are painted here: Linux has no symbol font with a square.
#include <QColor>
#include <QWidget>

namespace vyt {

class SquareBar : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int tag READ tag WRITE setTag)
    Q_PROPERTY(QColor color READ color WRITE setColor)
public:
    // One square stands for 100 twips, so that 20 squares fill the 2000 twips of 100 %.
    static constexpr int kSquareTwips = 100;
    static constexpr int kMaxSquares = 23;

    explicit SquareBar(QWidget *parent = nullptr);

    // Squares at 100 %.
    [[nodiscard]] int tag() const { return m_tag; }
    void setTag(int tag) { m_tag = tag; }

    [[nodiscard]] QColor color() const { return m_color; }
    void setColor(const QColor &color);

    [[nodiscard]] int squareCount() const { return m_count; }
    // Repaints at once when the count changes and answers whether it did; a steady
    // reading leaves the bar alone so that it does not flicker.
    bool setSquareCount(int count);

    [[nodiscard]] QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    [[nodiscard]] double squarePitch() const;

    int m_tag = 20;
    int m_count = 0;
    QColor m_color = Qt::red;
};

// Twips (1/1440 inch) to pixels of a widget's screen.
[[nodiscard]] int twipsToPixels(int twips, const QWidget *widget);

} // namespace vyt
