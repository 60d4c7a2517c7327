#include "ui/WindowPlace.h"

#include "config/NumberText.h"
#include "config/SettingsStore.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QStringList>
#include <QWidget>
#include <algorithm>
#include <cstdlib>

namespace vyt {
namespace {

const QString kSection = QStringLiteral("Windows");
// Anything beyond a few hundred screens is damage, not a place.
constexpr qint32 kFarthest = 1000000;

const QScreen *screenOfTitleBar(const QPoint &framePos, int width)
{
    const QRect titleBar(framePos, QSize(std::min(width, 200), 30));
    for (const QScreen *screen : QGuiApplication::screens()) {
        if (screen->geometry().intersected(titleBar).width() >= std::min(100, titleBar.width()))
            return screen;
    }
    return nullptr;
}

QString placeText(const QPoint &framePos, const QSize &size)
{
    return QStringList{integerForm(framePos.x()), integerForm(framePos.y()),
                       integerForm(size.width()), integerForm(size.height())}
        .join(QLatin1Char(' '));
}

std::optional<QRect> readPlace(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() != 4)
        return std::nullopt;
    qint32 v[4] = {};
    for (int i = 0; i < 4; ++i) {
        const auto n = readLong(parts.at(i), QLocale::c());
        if (!n || std::abs(*n) > kFarthest)
            return std::nullopt;
        v[i] = *n;
    }
    if (v[2] <= 0 || v[3] <= 0)
        return std::nullopt;
    return QRect(v[0], v[1], v[2], v[3]);
}

// Remembers the window's place whenever the program or the operator closes or hides it.
class PlaceKeeper : public QObject {
public:
    PlaceKeeper(QWidget &window, QString key)
        : QObject(&window), m_window(window), m_key(std::move(key))
    {
        window.installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // A minimised window hides spontaneously: its place is still the one it had.
        if (watched == &m_window && event->type() == QEvent::Hide && !event->spontaneous()) {
            // A place that cannot be stored is not worth a box over the operator's work;
            // the next save of the settings names the file and the reason.
            QString reason;
            (void)rememberPlace(*openStore(), m_key, m_window, &reason);
        }
        return false;
    }

private:
    QWidget &m_window;
    QString m_key;
};

} // namespace

bool titleBarOnAScreen(const QPoint &framePos, int width)
{
    return screenOfTitleBar(framePos, width) != nullptr;
}

std::optional<QRect> rememberedPlace(QSettings &store, const QString &key)
{
    const auto place = readPlace(readStoreText(store, kSection, key));
    if (!place)
        return std::nullopt;
    const QScreen *screen = screenOfTitleBar(place->topLeft(), place->width());
    if (!screen)
        return std::nullopt;
    return QRect(place->topLeft(), place->size().boundedTo(screen->availableGeometry().size()));
}

bool rememberPlace(QSettings &store, const QString &key, const QWidget &window, QString *reason)
{
    const QString text = placeText(window.pos(), window.size());
    if (readStoreText(store, kSection, key) == text)
        return true;
    if (!prepareStoreForWriting(nullptr, reason))
        return false;
    store.beginGroup(kSection);
    store.setValue(key, text);
    store.endGroup();
    return storeWritten(store, reason);
}

QRect movedOnto(const QRect &rect, const QRect &area)
{
    const QPoint at(std::max(area.left(), std::min(rect.left(), area.right() + 1 - rect.width())),
                    std::max(area.top(), std::min(rect.top(), area.bottom() + 1 - rect.height())));
    return {at, rect.size()};
}

void keepWindowPlace(QWidget &window, const QString &key, const std::function<void()> &placeDefault)
{
    if (const auto place = rememberedPlace(*openStore(), key)) {
        window.resize(place->size());
        window.move(place->topLeft());
    } else {
        placeDefault();
    }
    new PlaceKeeper(window, key);
}

} // namespace vyt
