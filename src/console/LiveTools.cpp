#include "console/LiveTools.h"

#include "config/PumpState.h"
#include "console/LiveValueLog.h"
#include "console/frmDirekt.h"
#include "console/frmLivePlot.h"
#include "ui/MessageBox.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QGroupBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

namespace vyt {

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
        placePlot();
    }
    m_plot->show();
    m_plot->raise();
    m_plot->activateWindow();
}

void LiveTools::placePlot()
{
    // Beside the console, right or left, where the screen has room, narrowed down to its
    // least width if need be (a 1920 px screen has about 600 px beside a centred console);
    // else in the screen's top right corner, over the terminal rather than the buttons.
    const QRect area = m_console.screen()->availableGeometry();
    const QRect console = m_console.frameGeometry();
    const int frame = m_plot->frameGeometry().width() - m_plot->width();
    const int roomRight = area.right() - console.right() - 8;
    const int roomLeft = console.left() - 8 - area.left();
    const int room = std::max(roomRight, roomLeft);
    const int least = m_plot->minimumSizeHint().width() + frame;
    if (room < m_plot->frameGeometry().width() && room >= least)
        m_plot->resize(room - frame, m_plot->height());
    const int width = m_plot->frameGeometry().width();
    const int besideTop =
        std::max(area.top(), std::min(console.top(), area.bottom() - m_plot->height()));
    QPoint at(area.right() - width, area.top());
    if (width <= roomRight)
        at = QPoint(console.right() + 8, besideTop);
    else if (width <= roomLeft)
        at = QPoint(console.left() - 8 - width, besideTop);
    m_plot->move(std::max(area.left(), at.x()), at.y());
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
    const QString suggested = LiveValueLog::defaultPath();
    // The dialog opens in the data folder only when it exists.
    QDir().mkpath(QFileInfo(suggested).absolutePath());
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
    showLogState();
}

void LiveTools::showLogState()
{
    m_logButton->setText(m_log->isActive() ? tr("Stop logging") : tr("Log to file…"));
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
