#include "console/CommandLineRule.h"

namespace vyt {
namespace {

// The control characters an operator may know by name; the others by their code.
QString controlName(char16_t c)
{
    static const struct {
        char16_t code;
        const char *name;
    } kNames[] = {{0x00, "NUL"}, {0x09, "Tab"},  {0x0a, "LF"},  {0x0d, "CR"},
                  {0x11, "XON"}, {0x13, "XOFF"}, {0x1b, "Esc"}, {0x7f, "DEL"}};
    const QString code = QStringLiteral("0x") +
                         QString::number(int(c), 16).rightJustified(2, QLatin1Char('0')).toUpper();
    for (const auto &n : kNames) {
        if (n.code == c)
            return QStringLiteral("%1 (%2)").arg(QLatin1String(n.name), code);
    }
    return code;
}

} // namespace

QString commandLineRefusal(const QString &text)
{
    if (text.size() > kMaxCommandLength)
        return QStringLiteral("A command may have at most %1 characters; this one has %2.")
            .arg(kMaxCommandLength)
            .arg(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        // A CR or LF would end the command early and start another one; XON and XOFF
        // would steer the line instead of reaching the controller.
        if (c < 0x20 || c == 0x7f)
            return QStringLiteral("A command may not contain control characters: %1 at "
                                  "position %2. Give each command a line of its own.")
                .arg(controlName(c))
                .arg(i + 1);
        // The line carries Latin-1: anything beyond it would go out as "?".
        if (c > 0xff)
            return QStringLiteral("The character \"%1\" at position %2 cannot be sent to the "
                                  "controller.")
                .arg(text.at(i))
                .arg(i + 1);
    }
    return {};
}

} // namespace vyt
