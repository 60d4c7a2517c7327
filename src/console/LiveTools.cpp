#include "console/LiveTools.h"

#include "config/LastFolders.h"
#include "config/PumpState.h"
#include "ui/WindowPlace.h"
#include "console/LiveValueLog.h"
#include "console/frmDirekt.h"
#include "console/frmLivePlot.h"
#include "ui/MessageBox.h"
#include "ui/PlainText.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QGroupBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>

namespace vyt {
namespace {

constexpr int kGap = 8; // between the console and the plot

} // namespace

QRect livePlotPlace(const QRect &area, const QRect &console, const QRect &kept, const QSize &wanted,
                    const QSize &least)
{
    const QSize most = wanted.boundedTo(area.size());
    const int right = area.right() - console.right() - kGap;
    const int left = console.left() - kGap - area.left();
    const int side = std::max(right, left);
    if (side >= least.width()) {
        const QSize size(std::min(most.width(), side), most.height());
        const int x =
            right >= left ? console.right() + 1 + kGap : console.left() - kGap - size.width();
        return movedOnto({{x, console.top()}, size}, area);
    }
    const int below = area.bottom() - console.bottom() - kGap;
    const int above = console.top() - kGap - area.top();
    if (std::max(below, above) >= least.height()) {
        const QSize size(most.width(), std::min(most.height(), std::max(below, above)));
        const int y =
            below >= above ? console.bottom() + 1 + kGap : console.top() - kGap - size.height();
        return movedOnto({{console.left(), y}, size}, area);
    }
    // Under the terminal and the function keys, at the screen's right edge: the console's
    // lower right holds the fewest controls (polling and parameters are on the left), and
    // as narrow as it may be so that it covers few of them.
    const int underKept = area.bottom() - kept.bottom() - kGap;
    const QSize size(std::min(most.width(), std::max(least.width(), side)),
                     std::min(most.height(), std::max(least.height(), underKept)));
    const int x = area.right() + 1 - size.width();
    return movedOnto({{x, kept.bottom() + 1 + kGap}, size}, area);
}

LiveTools::LiveTools(const PumpState &state, frmDirekt &console, QPushButton *plotButton,
                     QPushButton *logButton)
    : QObject(&console), m_state(state), m_console(console), m_plotButton(plotButton),
      m_logButton(logButton), m_log(new LiveValueLog(this))
{
    setObjectName(QStringLiteral("liveTools"));
    chooseLogFile = [](QWidget *parent, const QString &suggested,
                       std::function<void(const QString &)> chosen) {
        // open(), not exec(): a nested loop here would hold up the polling that called it.
        auto *dialog = new QFileDialog(parent, tr("Log live values"), suggested,
                                       tr("CSV files (*.csv);;All files (*)"));
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setDefaultSuffix(QStringLiteral("csv"));
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(dialog, &QFileDialog::fileSelected, dialog, chosen);
        QObject::connect(dialog, &QFileDialog::rejected, dialog, [chosen] { chosen({}); });
        dialog->open();
    };

    connect(&console, &frmDirekt::liveValues, this, &LiveTools::liveValues);
    connect(m_plotButton, &QPushButton::clicked, this, &LiveTools::openPlot);
    connect(m_logButton, &QPushButton::clicked, this, &LiveTools::toggleLog);
    connect(m_log, &LiveValueLog::stopped, this, &LiveTools::showLogState);
    connect(m_log, &LiveValueLog::failed, this, &LiveTools::reportLater);
    // The log ends with the console; the plot window goes with it.
    connect(&console, &QDialog::finished, this, [this] {
        m_log->stop();
        if (m_plot)
            m_plot->close();
    });
    placeButtons();
}

LiveTools::~LiveTools()
{
    m_log->stop();
}

frmLivePlot *LiveTools::plot() const
{
    return m_plot;
}

void LiveTools::placeButtons()
{
    // Beside Start and Stop, whose rows follow the font; right of the current bar's
    // 115 % end and its value label.
    const QPushButton *start =
        m_console.findChild<QPushButton *>(QStringLiteral("cmdWerteabfrageStart"));
    const QPushButton *stop =
        m_console.findChild<QPushButton *>(QStringLiteral("cmdWerteabfrageStop"));
    if (!start || !stop)
        return;
    const int width = std::max(
        {m_plotButton->width(), m_plotButton->sizeHint().width(), m_logButton->sizeHint().width()});
    // The bars are placed in twips for the screen's dpi: with a large font the current
    // bar's 115 % mark and its value reach further right than the .ui's place.
    int x = m_plotButton->x();
    const auto *mark = m_console.findChild<QWidget *>(QStringLiteral("lineGRC100"));
    const auto *value = m_console.findChild<QWidget *>(QStringLiteral("lblValueGRC"));
    if (mark && value)
        x = std::max(x, mark->geometry().right() + value->width() / 2 + 10);
    m_plotButton->setGeometry(x, start->y(), width, start->height());
    m_logButton->setGeometry(x, stop->y(), width, stop->height());
    if (auto *frame = qobject_cast<QGroupBox *>(m_plotButton->parentWidget()))
        frame->setMinimumWidth(std::max(frame->minimumWidth(), m_plotButton->x() + width + 10));
}

void LiveTools::liveValues(qint32 rpm, qint32 mA, const QString &faultFlags)
{
    m_log->append(QDateTime::currentDateTime(), rpm, mA, faultFlags);
    if (m_plot)
        m_plot->liveValues(rpm, mA, faultFlags);
}

void LiveTools::openPlot()
{
    if (!m_plot) {
        m_plot = new frmLivePlot(m_state, &m_console);
        keepWindowPlace(*m_plot, QStringLiteral("LivePlot"), [this] { placePlot(); });
    }
    m_plot->show();
    m_plot->raise();
    m_plot->activateWindow();
}

void LiveTools::placePlot()
{
    // The plot's frame is not known before it is shown: the console's stands in.
    const QSize frame = m_console.frameGeometry().size() - m_console.size();
    const QRect place =
        livePlotPlace(m_console.screen()->availableGeometry(), m_console.frameGeometry(),
                      keptArea(), m_plot->size() + frame, m_plot->minimumSizeHint() + frame);
    m_plot->resize(place.size() - frame);
    m_plot->move(place.topLeft());
}

QRect LiveTools::keptArea() const
{
    // From the console's title bar down to its function keys.
    const QRect console = m_console.frameGeometry();
    const auto *keys = m_console.findChild<QWidget *>(QStringLiteral("frameFtasten"));
    const int bottom =
        keys ? keys->mapToGlobal(QPoint(0, keys->height() - 1)).y() : console.bottom();
    return {console.topLeft(), QPoint(console.right(), bottom)};
}

void LiveTools::toggleLog()
{
    if (m_log->isActive()) {
        m_log->stop();
        return;
    }
    if (m_choosing)
        return;
    m_choosing = true;
    QPointer<LiveTools> self(this);
    const QString suggested = startPath(FileKind::ValueLog, LiveValueLog::defaultName());
    chooseLogFile(&m_console, suggested, [self](const QString &file) {
        if (!self)
            return;
        self->m_choosing = false;
        if (!file.isEmpty())
            self->startLog(file);
    });
}

void LiveTools::startLog(const QString &file)
{
    if (!m_log->start(file)) {
        reportLater(m_log->error());
        return;
    }
    rememberFolder(FileKind::ValueLog, file);
    showLogState();
}

void LiveTools::showLogState()
{
    m_logButton->setText(m_log->isActive() ? tr("Stop logging") : tr("Log to file…"));
    // The button tells where the rows go, and once stopped where they are.
    // A log that failed has told so; its file is not whole.
    const QString file = QDir::toNativeSeparators(m_log->path());
    if (m_log->isActive())
        m_logButton->setToolTip(plainToolTip(tr("Logging to %1.").arg(file)));
    else if (!file.isEmpty() && m_log->error().isEmpty())
        m_logButton->setToolTip(plainToolTip(tr("Saved in %1.").arg(file)));
    else
        m_logButton->setToolTip({});
}

void LiveTools::reportLater(const QString &text)
{
    // From the event loop, not from inside the polling cycle that found the fault.
    QPointer<frmDirekt> console(&m_console);
    const QString title = m_state.FehlerTitel;
    QTimer::singleShot(0, this, [console, text, title] {
        showMessage(console, text, title, MsgButtons::Ok, MsgIcon::Critical);
    });
}

} // namespace vyt
