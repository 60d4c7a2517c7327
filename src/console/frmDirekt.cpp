#include "console/frmDirekt.h"

#include "config/NumberText.h"
#include "console/CommandLineRule.h"
#include "console/LiveTools.h"
#include "console/SquareBar.h"
#include "console/Transcript.h"
#include "link/ControllerLink.h"
#include "ui/MessageBox.h"
#include "session/ProgramEnd.h"
#include "session/Wait.h"
#include "ui_frmDirekt.h"

#include <QGroupBox>

#include <QApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

namespace vyt {

namespace {

const QColor kDunkelblau(0, 0, 192);
const QColor kRot(255, 0, 0);
const QColor kGelb(255, 255, 0);

constexpr int kMaxProzent = 115;
// The value label is 440 twips wide and its left edge stands 220 twips before the
// bar's end, so that its centre follows the end of the bar.
constexpr int kWertBreiteTwips = 440;
constexpr int kTwipsProProzent = 20;
constexpr int kBalkenVollTwips = 100 * kTwipsProProzent;

// A live value is drawn only when the reply is a whole number in range; anything
// else leaves its bar as it was.
std::optional<qint32> ganzeZahl(const QString &reply)
{
    const std::optional<double> v = readNumber(reply, QLocale::c());
    if (!v || *v != std::floor(*v) || *v < -2147483648.0 || *v > 2147483647.0)
        return std::nullopt;
    return qint32(*v);
}

} // namespace

frmDirekt::frmDirekt(PumpState &state, ControllerLink &link, TranscriptLines &transcript,
                     QWidget *parent)
    : QDialog(parent), m_state(state), m_link(link), m_ui(std::make_unique<Ui::frmDirekt>()),
      m_transcriptLines(transcript), m_pollAsker(new QObject(this))
{
    m_ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    m_cmdF = {m_ui->cmdF1, m_ui->cmdF2, m_ui->cmdF3, m_ui->cmdF4,  m_ui->cmdF5,  m_ui->cmdF6,
              m_ui->cmdF7, m_ui->cmdF8, m_ui->cmdF9, m_ui->cmdF10, m_ui->cmdF11, m_ui->cmdF12};
    m_txtF = {m_ui->txtF1, m_ui->txtF2, m_ui->txtF3, m_ui->txtF4,  m_ui->txtF5,  m_ui->txtF6,
              m_ui->txtF7, m_ui->txtF8, m_ui->txtF9, m_ui->txtF10, m_ui->txtF11, m_ui->txtF12};
    for (int n = 1; n <= kFunktionstasten; ++n) {
        m_txtF[n - 1]->setText(Vorgabe(n, m_state.Encoderaufloesung));
        connect(m_cmdF[n - 1], &QPushButton::clicked, this, [this, n] { funktionstaste(n); });
    }

    connect(m_ui->cmdSend, &QPushButton::clicked, this, &frmDirekt::befehlszeileSenden);
    connect(m_ui->cmdEsc, &QPushButton::clicked, this, &frmDirekt::escTaste);
    connect(m_ui->cmdSor0, &QPushButton::clicked, this, [this] { senden(QStringLiteral("SOR 0")); });
    connect(m_ui->cmdSor1, &QPushButton::clicked, this, [this] { senden(QStringLiteral("SOR 1")); });
    connect(m_ui->cmdWerteabfrageStart, &QPushButton::clicked, this,
            &frmDirekt::werteabfrageStarten);
    connect(m_ui->cmdWerteabfrageStop, &QPushButton::clicked, this,
            &frmDirekt::werteabfrageStoppen);
    connect(m_ui->cmdZustand, &QPushButton::clicked, this, &frmDirekt::zustandLesen);
    connect(m_ui->cmdParameterLaden, &QPushButton::clicked, this, [this] { parameterLaden(); });
    connect(m_ui->cmdParameterSetzen, &QPushButton::clicked, this, &frmDirekt::parameterSetzen);
    connect(m_ui->cmdEEPSAV, &QPushButton::clicked, this, &frmDirekt::eepromSichern);
    connect(m_ui->cmdSchliessen, &QPushButton::clicked, this, &QDialog::reject);
    connect(&m_abfragePause, &Deadline::expired, this, [this] {
        if (pollGoesOn())
            abfrageZyklus();
    });

    setUpCommissioning();

    // Key preview: Esc, the function keys and Enter work wherever the focus is.
    qApp->installEventFilter(this);

    platziereBalken();
    // The live plot and the value log, beside the bars.
    new LiveTools(m_state, *this, m_ui->cmdPlot, m_ui->cmdLog);
    adjustSize();
    zentrieren();
    m_ui->txtCommand->setFocus();
}

frmDirekt::~frmDirekt()
{
    qApp->removeEventFilter(this);
}

void frmDirekt::oeffnen(PumpState &state, ControllerLink &link, TranscriptLines &transcript,
                        QWidget *parent)
{
    if (programEnding())
        return;
    // The parent may take the console with it while it is open; a guard, not the stack, owns it.
    QPointer<frmDirekt> console = new frmDirekt(state, link, transcript, parent);
    if (state.ParameterGeaendert && link.SchnittstelleOK() && !programEnding())
        link.ParameterSetzen();
    if (console && !programEnding())
        console->exec();
    // exec() returns only after every handler nested in it has unwound.
    delete console.data();
}

QString frmDirekt::Vorgabe(int n, float Encoderaufloesung)
{
    if (n >= 1 && n <= 6)
        return QStringLiteral("V") + integerForm(qint64(n) * 1000);
    // Motor revolutions; the gear is not applied. One revolution is 4 * E increments.
    static constexpr double kUmdrehungen[] = {1.0 / 6.0, 0.5, 1, 10, 50, 100};
    if (n < 7 || n > kFunktionstasten)
        return {};
    const double schritte = 4.0 * double(Encoderaufloesung) * kUmdrehungen[n - 7];
    return QStringLiteral("LR") + integerForm(qint64(roundHalfEven(schritte)));
}

// ---------------------------------------------------------------------------
// Window

void frmDirekt::zentrieren()
{
    QScreen *screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
}

void frmDirekt::platziereBalken()
{
    // The .ui places the bars for 96 dpi; the scale is in twips, so follow the screen.
    const struct {
        SquareBar *bar;
        QLabel *wert;
        QFrame *marke;
        QColor farbe;
    } balken[] = {{m_ui->lblBarGN, m_ui->lblValueGN, m_ui->lineGN100, kDunkelblau},
                  {m_ui->lblBarGRC, m_ui->lblValueGRC, m_ui->lineGRC100, kRot}};
    // The rows follow the font, so that a large font neither covers the frame's title
    // nor pushes the buttons onto its edge: value, bar, then the axis name.
    QGroupBox *frame = m_ui->frameWerteabfrage;
    const int titel = std::max(24, frame->fontMetrics().height() + 8);
    const int knopf = m_ui->cmdWerteabfrageStart->sizeHint().height();
    int unten = 0;
    for (QPushButton *k : {m_ui->cmdWerteabfrageStart, m_ui->cmdWerteabfrageStop}) {
        const int y = k == m_ui->cmdWerteabfrageStart ? titel : titel + knopf + 4;
        k->setGeometry(k->x(), y, std::max(k->width(), k->sizeHint().width()), knopf);
        unten = std::max(unten, k->geometry().bottom());
    }
    for (const auto &b : balken) {
        b.bar->setColor(b.farbe);
        const int wertHoehe = std::max(b.wert->height(), b.wert->sizeHint().height());
        b.wert->setGeometry(b.wert->x(), titel, twipsToPixels(kWertBreiteTwips, b.wert), wertHoehe);
        b.bar->setGeometry(b.bar->x(), titel + wertHoehe + 4, b.bar->sizeHint().width(),
                           b.bar->height());
        b.marke->setGeometry(b.bar->x() + twipsToPixels(kBalkenVollTwips, b.bar),
                             b.bar->y() - 6, b.marke->width(), b.bar->height() + 12);
        setzeWertPosition(b.bar, b.wert, 0);
    }
    for (QLabel *achse : {m_ui->lblAxisGN, m_ui->lblAxisGRC}) {
        const QWidget *bar = achse == m_ui->lblAxisGN ? static_cast<QWidget *>(m_ui->lblBarGN)
                                                      : m_ui->lblBarGRC;
        achse->setGeometry(achse->x(), bar->geometry().bottom() + 8,
                           std::max(achse->width(), achse->sizeHint().width()),
                           std::max(achse->height(), achse->sizeHint().height()));
        unten = std::max(unten, achse->geometry().bottom());
    }
    frame->setMinimumHeight(std::max(frame->minimumHeight(), unten + 8));
}

void frmDirekt::showEvent(QShowEvent *event)
{
    m_geschlossen = false;
    QDialog::showEvent(event);
    m_ui->txtCommand->setFocus();
    // Told once the console can be seen, after the show has finished.
    if (!m_keysRefused.isEmpty())
        QTimer::singleShot(0, this, [this] {
            const QString text = std::exchange(m_keysRefused, QString());
            if (!text.isEmpty() && !programEnding())
                showMessage(this, text, m_state.FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation);
        });
}

void frmDirekt::done(int result)
{
    // Close and the close box both come here: a poll in its pause ends at once, one
    // waiting for a reply when it comes; a console that is gone gets no reply at all.
    m_geschlossen = true;
    m_abfrageStopp = true;
    cutPollPause();
    keepFunctionKeys();
    QDialog::done(result);
}

bool frmDirekt::eventFilter(QObject *watched, QEvent *event)
{
    // Releases of every window count: a box opened by a press may take its release.
    m_heldKeys.track(event);
    if (event->type() != QEvent::KeyPress)
        return false;
    auto *receiver = qobject_cast<QWidget *>(watched);
    if (!receiver)
        return false;
    auto *key = static_cast<QKeyEvent *>(event);
    // A key that acted here and is still held must not answer the box its press opened.
    if (receiver->window() != this)
        return m_heldKeys.isDown(key->key());
    return tasteVorab(key, receiver);
}

bool frmDirekt::tasteVorab(QKeyEvent *key, QWidget *receiver)
{
    if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    const int k = key->key();
    // A held key is one press: its repeats would send the same command (a move, a line)
    // again and again, 25 times a second.
    if (k >= Qt::Key_F1 && k <= Qt::Key_F12) {
        // F10 included: taken here, so nothing else sees it.
        if (m_heldKeys.firstPress(key))
            funktionstaste(k - Qt::Key_F1 + 1);
        return true;
    }
    switch (k) {
    case Qt::Key_Escape:
        // The stop acts on every press, held or not.
        escTaste();
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter: return enterTaste(key, receiver);
    case Qt::Key_Up:
    case Qt::Key_Down:
        if (receiver != m_ui->txtCommand)
            return false;
        verlaufBlaettern(k == Qt::Key_Up ? -1 : 1);
        return true;
    default:
        return false;
    }
}

bool frmDirekt::enterTaste(QKeyEvent *key, QWidget *receiver)
{
    if (!m_heldKeys.firstPress(key))
        return true;
    // Enter on a button is that button; anywhere else it sends the command line.
    auto *button = qobject_cast<QPushButton *>(receiver);
    (button ? button : m_ui->cmdSend)->click();
    return true;
}

void frmDirekt::verlaufBlaettern(int schritt)
{
    const int ziel = m_verlaufPos + schritt;
    if (ziel < 0 || ziel > m_verlauf.size())
        return;
    if (m_verlaufPos == m_verlauf.size())
        m_entwurf = m_ui->txtCommand->text();
    m_verlaufPos = ziel;
    m_ui->txtCommand->setText(ziel == m_verlauf.size() ? m_entwurf : m_verlauf.at(ziel));
    m_ui->txtCommand->end(false);
}

bool frmDirekt::schnittstelleOK()
{
    if (programEnding())
        return false;
    QPointer<frmDirekt> self(this);
    // May show the port dialog, with its own event loop.
    const bool offen = m_link.SchnittstelleOK();
    return offen && self && !programEnding();
}

// ---------------------------------------------------------------------------
// Terminal, function keys, speed source

bool frmDirekt::commandAccepted(const QString &text, const QString &what, QLineEdit *box)
{
    const QString refusal = commandLineRefusal(text);
    if (refusal.isEmpty())
        return true;
    QPointer<QLineEdit> focus(box);
    showMessage(this, tr("%1 was not sent. %2").arg(what, refusal), m_state.FehlerTitel,
                MsgButtons::Ok, MsgIcon::Exclamation);
    if (focus && focus->isVisible())
        focus->setFocus(Qt::OtherFocusReason);
    return false;
}

void frmDirekt::befehlszeileSenden()
{
    // What the box shows goes out as one command, or nothing does.
    if (!commandAccepted(m_ui->txtCommand->text(), tr("The command line"), m_ui->txtCommand))
        return;
    // Nothing is written to a closed port: the gate opens it or says why not.
    if (!schnittstelleOK())
        return;
    const QString befehl = m_ui->txtCommand->text();
    if (!befehl.isEmpty() && (m_verlauf.isEmpty() || m_verlauf.constLast() != befehl))
        m_verlauf << befehl;
    m_verlaufPos = m_verlauf.size();
    m_entwurf.clear();
    // Emptied before the reply wait, so that what is typed meanwhile is not lost.
    m_ui->txtCommand->clear();

    // What the operator does while the reply is awaited waits in the line's queue.
    m_link.KonsoleBefehlSenden(befehl, this,
                               [this](const QString &antwort) { showCommandReply(antwort); });
}

void frmDirekt::showCommandReply(const QString &antwort)
{
    m_ui->txtCommand->end(false);
    // Back to the command line, unless the operator has gone on to another control.
    const QWidget *focus = QApplication::focusWidget();
    if (!focus || focus == m_ui->cmdSend || focus == m_ui->txtCommand || focus->window() != this)
        m_ui->txtCommand->setFocus();
}

void frmDirekt::senden(const QString &Befehl)
{
    if (!schnittstelleOK())
        return;
    m_link.BefehlSenden(Befehl, this);
}

void frmDirekt::funktionstaste(int n)
{
    if (n < 1 || n > kFunktionstasten ||
        !commandAccepted(m_txtF[n - 1]->text(), tr("Function key F%1").arg(n), m_txtF[n - 1]) ||
        !schnittstelleOK())
        return;
    m_link.BefehlSenden(m_txtF[n - 1]->text(), this);
    if (n >= 7)
        m_link.BefehlSenden(QStringLiteral("M"), this);
}

void frmDirekt::escTaste()
{
    if (!schnittstelleOK())
        return;
    m_link.sendStop({QStringLiteral("V 0"), QStringLiteral("DELAY 100")}, this);
}

// ---------------------------------------------------------------------------
// Live values

void frmDirekt::setLeseKnoepfe(bool enabled)
{
    m_ui->cmdZustand->setEnabled(enabled);
    m_ui->cmdParameterLaden->setEnabled(enabled);
    m_ui->cmdParameterSetzen->setEnabled(enabled);
    m_ui->cmdEEPSAV->setEnabled(enabled);
    setBackupButtonsEnabled(enabled);
}

bool frmDirekt::abfrageBeendet() const
{
    return m_abfrageStopp || m_geschlossen || !m_state.SchnittstelleOffen;
}

void frmDirekt::werteabfrageStarten()
{
    if (m_liest || !schnittstelleOK())
        return;
    m_ui->cmdWerteabfrageStart->setEnabled(false);
    setLeseKnoepfe(false);
    m_abfrageStopp = false;
    // Started again while a stopped poll still waits for its reply: that poll goes on.
    if (m_abfrageLaeuft)
        return;
    m_abfrageLaeuft = true;
    abfrageZyklus();
}

bool frmDirekt::pollGoesOn()
{
    // The program is ending: nothing more goes out, and nothing needs resetting.
    if (programEnding())
        return false;
    if (!abfrageBeendet())
        return true;
    endPoll();
    return false;
}

void frmDirekt::endPoll()
{
    m_abfragePause.stop();
    m_abfrageLaeuft = false;
    // A lost link ends the poll as Stop does, instead of one message per read.
    if (!m_state.SchnittstelleOffen && !m_geschlossen && !m_abfrageStopp)
        werteabfrageStoppen();
    m_abfrageStopp = false;
    setLeseKnoepfe(true);
}

void frmDirekt::abfrageZyklus()
{
    m_link.ParameterLesen(QStringLiteral("GN"), m_pollAsker, [this](const QString &gn) {
        // Stop ends the cycle at once: bars reset by Stop are not drawn again.
        if (pollGoesOn())
            speedRead(gn);
    });
}

void frmDirekt::speedRead(const QString &gn)
{
    if (const auto drehzahl = ganzeZahl(gn))
        ShowProgress(m_ui->lblBarGN, m_ui->lblValueGN, *drehzahl, kVollausschlagDrehzahl);
    m_link.ParameterLesen(QStringLiteral("GFS"), m_pollAsker, [this, gn](const QString &gfs) {
        if (pollGoesOn())
            faultFlagsRead(gn, gfs);
    });
}

void frmDirekt::faultFlagsRead(const QString &gn, const QString &gfs)
{
    m_link.ParameterLesen(QStringLiteral("GRC"), m_pollAsker, [this, gn, gfs](const QString &grc) {
        if (pollGoesOn())
            currentRead(gn, gfs, grc);
    });
}

void frmDirekt::currentRead(const QString &gn, const QString &gfs, const QString &grc)
{
    if (const auto strom = ganzeZahl(grc)) {
        // The second flag of "TIUO" is current limiting.
        const bool strombegrenzung = gfs.size() >= 2 && gfs.at(1) == QLatin1Char('1');
        const bool ueberDauerstrom = double(*strom) > double(m_state.settings.Dauerstrom);
        m_ui->lblBarGRC->setColor(strombegrenzung || ueberDauerstrom ? kGelb : kRot);
        ShowProgress(m_ui->lblBarGRC, m_ui->lblValueGRC, *strom, kVollausschlagStrom);
    }
    if (const auto drehzahl = ganzeZahl(gn), strom = ganzeZahl(grc); drehzahl && strom)
        emit liveValues(*drehzahl, *strom, gfs);
    // A receiver of the values may have stopped the poll.
    if (pollGoesOn())
        m_abfragePause.start(kAbfragePauseMs);
}

void frmDirekt::werteabfrageStoppen()
{
    m_abfrageStopp = true;
    ShowProgress(m_ui->lblBarGN, m_ui->lblValueGN, 0, kVollausschlagDrehzahl);
    m_ui->lblValueGN->setText(QStringLiteral("?"));
    ShowProgress(m_ui->lblBarGRC, m_ui->lblValueGRC, 0, kVollausschlagStrom);
    m_ui->lblValueGRC->setText(QStringLiteral("?"));
    m_ui->lblBarGRC->setColor(kRot);
    m_ui->cmdWerteabfrageStart->setEnabled(true);
    cutPollPause();
}

void frmDirekt::cutPollPause()
{
    // In its pause the poll ends at the next turn of the event loop, once the handler
    // that stopped it has returned; waiting for a reply, it ends when that comes.
    if (m_abfragePause.isActive())
        m_abfragePause.start(0);
}

void frmDirekt::setzeWertPosition(QWidget *Balken, QLabel *Wert, int prozent)
{
    const int versatz = twipsToPixels(kTwipsProProzent * prozent - kWertBreiteTwips / 2, Balken);
    Wert->move(Balken->x() + versatz, Wert->y());
}

void frmDirekt::ShowProgress(QWidget *Balken, QLabel *Wert, qint32 AktDat, qint32 MaxDat)
{
    int prozent = 0;
    if (MaxDat >= 1) {
        const double p = std::abs(std::floor(double(AktDat) / double(MaxDat) * 100.0 + 0.5));
        prozent = int(std::min(p, double(kMaxProzent)));
    }
    if (auto *bar = qobject_cast<SquareBar *>(Balken))
        bar->setSquareCount((bar->tag() * prozent + 50) / 100);
    setzeWertPosition(Balken, Wert, prozent);
    Wert->setText(integerForm(AktDat));
}

// ---------------------------------------------------------------------------
// Status and parameters

struct frmDirekt::ReadPlan {
    QStringList commands;
    OnSilence silence = OnSilence::ReadOn;
    ReplyShown shown;
    ReadsDone done;
    int next = 0;
};

void frmDirekt::readInTurn(const QStringList &commands, OnSilence silence, ReplyShown shown,
                           ReadsDone done)
{
    auto plan = std::make_shared<ReadPlan>();
    plan->commands = commands;
    plan->silence = silence;
    plan->shown = std::move(shown);
    plan->done = std::move(done);
    readNext(plan);
}

void frmDirekt::readNext(const std::shared_ptr<ReadPlan> &plan)
{
    if (plan->next >= plan->commands.size()) {
        plan->done(true);
        return;
    }
    const int i = plan->next++;
    m_link.ParameterLesen(plan->commands.at(i), this, [this, plan, i](const QString &antwort) {
        // Closed meanwhile: no more reads for a console that has gone.
        if (m_geschlossen) {
            plan->done(false);
            return;
        }
        if (plan->shown)
            plan->shown(i, antwort);
        // Silent: its message has been shown once, the next reads would repeat it.
        if (plan->silence == OnSilence::StopReading && m_state.KeineAntwort) {
            plan->done(false);
            return;
        }
        readNext(plan);
    });
}

void frmDirekt::afterReading(std::function<void()> step)
{
    QTimer::singleShot(0, this, [this, step = std::move(step)] {
        m_liest = false;
        if (!programEnding() && !m_geschlossen)
            step();
    });
}

void frmDirekt::zustandLesen()
{
    if (m_liest || !schnittstelleOK())
        return;
    const std::array<QLineEdit *, 4> felder{m_ui->txtGN, m_ui->txtGRC, m_ui->txtTEM, m_ui->txtGFS};
    m_liest = true;
    readInTurn({QStringLiteral("GN"), QStringLiteral("GRC"), QStringLiteral("TEM"),
                QStringLiteral("GFS")},
               OnSilence::ReadOn,
               [felder](int i, const QString &antwort) { felder[i]->setText(antwort); },
               [this](bool) { m_liest = false; });
}

void frmDirekt::parameterLaden(std::function<void(bool allArrived)> then)
{
    if (m_liest || !schnittstelleOK())
        return;
    m_liest = true;
    QStringList befehle;
    for (const DriveParameter &p : kDriveParameters)
        befehle << QLatin1String(p.readCommand);
    auto allArrived = std::make_shared<bool>(true);
    readInTurn(
        befehle, OnSilence::ReadOn,
        [this, allArrived](int i, const QString &antwort) {
            *allArrived = *allArrived && !m_state.KeineAntwort;
            parameterBox(i)->setText(antwort);
        },
        [this, allArrived, then = std::move(then)](bool complete) {
            m_liest = false;
            if (!complete)
                return;
            clearReadBack();
            if (then)
                then(*allArrived);
        });
}

void frmDirekt::parameterSetzen()
{
    if (m_liest || !schnittstelleOK())
        return;
    // Nothing goes out unless all four lie inside the pump type's bounds.
    if (!parameterBoxesAccepted())
        return;
    // The controller's values as typed; the main window's settings stay as they are.
    m_link.BefehlSenden(QStringLiteral("SP ") + m_ui->txtSP->text(), this);
    m_link.BefehlSenden(QStringLiteral("AC ") + m_ui->txtAC->text(), this);
    m_link.BefehlSenden(QStringLiteral("LCC ") + m_ui->txtLCC->text(), this);
    m_link.BefehlSenden(QStringLiteral("LPC ") + m_ui->txtLPC->text(), this);
    readBack(boxValues());
}

void frmDirekt::eepromSichern()
{
    if (m_liest || !schnittstelleOK())
        return;
    m_liest = true;
    // The operator sees what will be stored before the question.
    readControllerValues([this](const std::optional<DriveValues> &controller) {
        if (!controller) {
            m_liest = false;
            return;
        }
        afterReading([this, values = *controller] { askToStore(values); });
    });
}

void frmDirekt::askToStore(const DriveValues &controller)
{
    QPointer<frmDirekt> self(this);
    if (!showValuesToStore(controller))
        return;
    const MsgResult antwort = showMessage(this, QStringLiteral("Save new values in EEPROM?"),
                                          QStringLiteral("Warnung"), MsgButtons::YesNo,
                                          MsgIcon::Exclamation);
    if (!self || programEnding() || m_geschlossen || antwort != MsgResult::Yes)
        return;
    m_liest = true;
    m_link.ParameterLesen(QStringLiteral("EEPSAV"), this, [this](const QString &bestaetigung) {
        const bool gespeichert = bestaetigung.contains(QStringLiteral("EEPROM writing done"));
        afterReading([this, gespeichert] {
            if (!gespeichert)
                showMessage(this, QStringLiteral("Data could not be written into EEPROM."),
                            QStringLiteral("Fehler"), MsgButtons::Ok, MsgIcon::Critical);
        });
    });
}

} // namespace vyt
