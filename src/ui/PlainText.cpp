#include "ui/PlainText.h"

#include <QLabel>

namespace vyt {

QLabel *showsPlainText(QLabel *label)
{
    label->setTextFormat(Qt::PlainText);
    return label;
}

QString plainToolTip(const QString &text)
{
    if (text.isEmpty())
        return text;
    return QStringLiteral("<p style=\"white-space:pre\">") + text.toHtmlEscaped() +
           QStringLiteral("</p>");
}

} // namespace vyt
