#include "texts/WindowTexts.h"

#include "config/NumberText.h"

namespace vyt {

QString hauptfensterTitel(int port)
{
    return QStringLiteral("COM%1: vyt-Pump controller").arg(port);
}

QString bereichTooltip(double lower, double upper, bool spaced, const QLocale &locale)
{
    const QString dots = spaced ? QStringLiteral(" ... ") : QStringLiteral("...");
    return QStringLiteral("range ") + generalForm(lower, locale) + dots + generalForm(upper, locale);
}

} // namespace vyt
