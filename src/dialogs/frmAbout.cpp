#include "dialogs/frmAbout.h"

#include "config/PumpCatalog.h"
#include "ui_frmAbout.h"

#include <QIcon>
#include <QScreen>
#include <array>

// The logo lives in a static library: its resources must be registered by hand.
static void initDialogResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(dialogs);
        return true;
    }();
    Q_UNUSED(registered);
}

namespace vyt {
namespace {

// How many pump names go on each line of the description.
constexpr std::array<int, 7> kNamesPerLine{4, 3, 5, 3, 3, 4, 3};

} // namespace

QIcon programIcon()
{
    initDialogResources();
    return QIcon(QStringLiteral(":/dialogs/logo.png"));
}

QString frmAbout::description()
{
    const QStringList names = pumpTypeNames();
    QStringList lines{QStringLiteral("Control program for micro annular gear pumps")};
    int next = 0;
    for (const int count : kNamesPerLine) {
        lines << names.mid(next, count).join(QStringLiteral(", ")) + QLatin1Char(',');
        next += count;
    }
    lines << QStringLiteral("and controllers MC 2805, MC 3006 and MC 3610.");
    return lines.join(QLatin1Char('\n'));
}

frmAbout::frmAbout(QWidget *parent) : QDialog(parent), m_ui(std::make_unique<Ui::frmAbout>())
{
    initDialogResources();
    m_ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    m_ui->lblDescription->setText(description());
    connect(m_ui->cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    adjustSize();
    setFixedSize(size());
    // Centred on the screen, whatever window showed it.
    if (const QScreen *s = parent ? parent->screen() : screen()) {
        const QRect area = s->geometry();
        move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
    }
}

frmAbout::~frmAbout() = default;

void frmAbout::zeigen(QWidget *parent)
{
    frmAbout dialog(parent);
    // cmdOK is also the cancel button: Esc and the close box end the dialog as OK does.
    dialog.exec();
}

} // namespace vyt
