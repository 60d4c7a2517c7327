#include "session/Session.h"

#include "config/FieldRules.h"
#include "config/MediaPresets.h"
#include "config/NumberText.h"
#include "config/PumpCatalog.h"
#include "config/SettingsStore.h"
#include "config/Units.h"
#include "journal/RunJournal.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "session/ProgramEnd.h"
#include "session/MethodRun.h"
#include "session/MethodSchedule.h"
#include "session/RunProgressRows.h"
#include "session/Settings.h"

#include <QDir>

namespace vyt {

Session::Session(Attendant &attendant, qint16 port, QObject *parent)
    : QObject(parent), m_attendant(&attendant)
{
    m_state.Schnittstelle = port;
    m_port = std::make_unique<MSComm>();
    m_link = std::make_unique<ControllerLink>(m_state, *m_port, attendant);
    m_run = std::make_unique<PumpRun>(m_state, *m_link, attendant);
    m_journal = std::make_unique<RunJournal>();
    m_progressRows = std::make_unique<RunProgressRows>(
        *m_journal, [this] { return progressRow(); },
        [this](const RunRecord &row) { appendToJournal(row, false); });
    connect(m_run.get(), &PumpRun::fortschritt, this, &Session::showProgress);
    connect(m_run.get(), &PumpRun::fortschritt, m_progressRows.get(), &RunProgressRows::refresh);
    m_methods = std::make_unique<MethodRun>(*this);
    connect(m_methods.get(), &MethodRun::progressChanged, this, [this] {
        if (m_methods->running())
            showProgress(m_runProgress, 0, 0);
    });
    connect(m_methods.get(), &MethodRun::finished, this, [this](bool, const QString &why) {
        m_statusLine = why;
        emit progress(why, 0, 0);
    });
    connect(m_run.get(), &PumpRun::finished, this, &Session::onRunFinished);
    connect(m_link.get(), &ControllerLink::portOpened, this, &Session::portOpened);
    m_link->setMotorCheck([this] { return m_run->motorMayTurn() || potentiometerOn(); });
    connect(m_link.get(), &ControllerLink::linkLost, this, [this] {
        // A run ends by itself (Abbruch is set); potentiometer mode has nothing running.
        if (!m_running && potentiometerOn()) {
            endPotentiometerRun(RunOutcome::End::LinkLost);
            emit potentiometerEnded();
        }
        emit linkLost();
    });
}

Session::~Session() = default;

MethodScheduler &Session::schedules()
{
    if (!m_schedules)
        m_schedules = std::make_unique<MethodScheduler>(*this, [] { return QDateTime::currentDateTime(); });
    return *m_schedules;
}

void Session::useTrialDevice(const QString &device)
{
    m_trial = true;
    m_port->setDeviceOverride(device);
}

void Session::showProgress(const QString &text, int value, int maximum)
{
    m_runProgress = text;
    // A method's step says where in the method it is.
    m_statusLine = m_methods && m_methods->running() ? m_methods->statusLine() : text;
    emit progress(m_statusLine, value, maximum);
}

QString Session::busyReason() const
{
    if (programEnding())
        return tr("The program is ending.");
    if (running())
        return tr("A run is going on.");
    if (m_methods && m_methods->running())
        return tr("A method is running.");
    if (potentiometerOn())
        return tr("Potentiometer mode is on.");
    if (m_clientChecks.busy) {
        if (QString why = m_clientChecks.busy(); !why.isEmpty())
            return why;
    }
    if (!m_state.SchnittstelleOffen)
        return tr("The port is not open: the port dialog has not been answered.");
    return {};
}

std::optional<Session::Refusal> Session::entryBeingTyped() const
{
    return m_clientChecks.typing ? m_clientChecks.typing() : std::nullopt;
}

std::optional<Session::Refusal> Session::pendingEntry() const
{
    return m_clientChecks.pendingEntry ? m_clientChecks.pendingEntry() : std::nullopt;
}

void Session::setRunSettings(const PumpSettings &settings)
{
    m_state.settings = settings;
    emit settingsChanged();
}

void Session::loadSettings()
{
    PumpSettings &s = m_state.settings;
    auto store = openStore();
    const int port = m_state.Schnittstelle;
    ladeEinstellungen(*store, port, s, {"Pumpentyp", "Dichte", "Kalibrierfaktor", "Betriebsart"});
    if (s.Betriebsart != 1 && s.Betriebsart != 2)
        s.Betriebsart = 1;
    ladeEinstellungen(*store, port, s, {"Menge", "Mengeneinheit", "Pause", "Pauseeinheit"});
    leitePauseAb(s);
    ladeEinstellungen(*store, port, s,
                      {"Wiederholung", "Foerderstrom", "Foerderstromeinheit", "Dauer", "Dauereinheit"});
    leiteDauerAb(s);
    if (s.Pumpentyp < 0 || s.Pumpentyp >= kPumpTypeCount)
        s.Pumpentyp = 0;
    applyPumpType(s.Pumpentyp);
    // The stored drive replaces the defaults the pump type has just applied.
    ladeEinstellungen(*store, port, s, {"Encodertyp", "Getriebetyp"});
    applyEncoder(s.Encodertyp);
    applyGear(s.Getriebetyp);
    ladeEinstellungen(*store, port, s,
                      {"Beschleunigung", "Maximaldrehzahl", "Dauerstrom", "Spitzenstrom"});
    m_state.ParameterGeaendert = true;
}

void Session::applyPumpType(int type)
{
    PumpSettings &s = m_state.settings;
    const PumpType &row = pumpType(type);
    s.Pumpentyp = qint16(type);
    m_state.Verdraengungsvolumen = row.displacement;
    s.Maximaldrehzahl = row.maxSpeed;
    m_state.DrehzahlMin = kMinSpeed;
    m_state.DrehzahlMax = row.maxSpeed;
    s.Beschleunigung = kDefaultAcceleration;
    s.Dauerstrom = row.contCurrent;
    s.Spitzenstrom = row.peakCurrent;
    m_state.StromMin = row.minCurrent;
    m_state.DauerstromMax = row.maxContCurrent;
    m_state.SpitzenstromMax = row.maxPeakCurrent;
    s.Encodertyp = 0;
    m_state.Encoderaufloesung = standardEncoderResolution(type);
    s.Getriebetyp = 0;
    m_state.Getriebeuntersetzung = 1;
    m_state.ParameterGeaendert = true;
}

void Session::applyEncoder(int index)
{
    if (const auto e = encoderResolution(m_state.settings.Pumpentyp, index))
        m_state.Encoderaufloesung = *e;
    m_state.settings.Encodertyp = qint16(index);
}

void Session::applyGear(int index)
{
    if (const auto g = gearRatio(m_state.settings.Pumpentyp, index))
        m_state.Getriebeuntersetzung = *g;
    m_state.settings.Getriebetyp = qint16(index);
}

RunPlan Session::planFromSettings() const { return RunPlan::fromSettings(m_state.settings); }

PumpState Session::valuesFor(const RunPlan &plan) const
{
    PumpState values = m_state;
    plan.applyTo(values.settings);
    return values;
}

std::optional<Session::Refusal> Session::StartPruefen(const RunPlan &plan) const
{
    // Dosing is checked dose by dose by the run; a flow before it starts.
    if (plan.mode != RunPlan::Mode::Flow)
        return std::nullopt;
    return PumpRun::startRefusal(valuesFor(plan));
}

std::optional<Session::Refusal> Session::start(const RunPlan &plan, const Origin &origin)
{
    if (running())
        return Refusal{QString(), tr("A run is going on.")};
    // Between a method's steps nothing runs, and nothing else may start either.
    if (origin.kind != Origin::Kind::Method && m_methods->running())
        return Refusal{QString(), tr("A method is running; stop it first.")};
    m_state.Abbruch = false;
    // A damaged store's limit never reaches the controller, whoever starts.
    if (!driveLimitsInBounds(m_state)) {
        for (const char *field : {"txtMaximaldrehzahl", "txtBeschleunigung", "txtDauerstrom",
                                  "txtSpitzenstrom"}) {
            const QString name = QLatin1String(field);
            if (!driveLimitInBounds(m_state, name))
                return Refusal{name, driveLimitMessage(m_state, name)};
        }
    }
    m_startingPlan = plan;
    m_origin = origin;
    m_starting = true;
    if (!m_link->SchnittstelleOK()) {
        m_starting = false;
        return Refusal{QString(), QString()};
    }
    if (!m_state.KeineAntwort)
        return continueStart();
    // A remote client is answered with the silence; the window's operator is told.
    const auto silence = origin.kind == Origin::Kind::Remote ? ControllerLink::OnSilence::Quiet
                                                             : ControllerLink::OnSilence::Tell;
    m_link->ParameterLesen(QStringLiteral("VER"), this, [this](const QString &) {
        if (!m_starting)
            return;
        if (const auto refusal = continueStart())
            emit startFailed(refusal->message.isEmpty() ? std::nullopt : refusal);
    }, silence);
    return std::nullopt;
}

std::optional<Session::Refusal> Session::continueStart()
{
    const auto fail = [this](std::optional<Refusal> refusal) {
        m_starting = false;
        return refusal ? refusal : Refusal{QString(), QString()};
    };
    if (m_state.KeineAntwort)
        return fail(Refusal{QString(), QString()});
    if (m_state.Abbruch || programEnding())
        return fail(std::nullopt);
    if (auto refusal = StartPruefen(m_startingPlan))
        return fail(refusal);
    beginRun();
    return std::nullopt;
}

void Session::beginRun()
{
    m_starting = false;
    m_running = true;
    if (m_state.ParameterGeaendert)
        m_link->ParameterSetzen();
    m_plan = m_startingPlan;
    m_plan.describe();
    m_runProgress.clear();
    noteMedium(m_plan);
    m_plan.client = m_origin.kind == Origin::Kind::Remote || m_origin.kind == Origin::Kind::Method
                        ? m_origin.client
                        : QString();
    if (m_origin.kind == Origin::Kind::Calibration && m_plan.note.isEmpty())
        m_plan.note = QStringLiteral("calibration");
    if (!m_trial)
        m_progressRows->begin();
    emit runStarted();
    const PumpState values = valuesFor(m_plan);
    // The run goes on from its own timer and the line's signals; onRunFinished() follows.
    if (m_plan.mode == RunPlan::Mode::Flow)
        m_run->Foerdern(values, [this] {
            // Leaving has sent the stop already; the port is about to close.
            if (!m_leaving)
                stop();
        });
    else
        m_run->Dosieren(values, m_origin.kind == Origin::Kind::Window);
}

void Session::sendStop() { m_link->sendStop({QStringLiteral("SOR 0"), QStringLiteral("V 0")}); }

void Session::stop()
{
    // A start waiting for the controller's answer ends when the answer (or its time-out)
    // is in: the question is the line's, and startFailed() tells whoever waits.
    m_state.Abbruch = true;
    m_run->stopRequested();
    m_methods->onStop();
    if (potentiometerOn()) {
        endPotentiometerRun(m_leaving ? RunOutcome::End::ProgramEnded : RunOutcome::End::Stopped);
        emit potentiometerEnded();
    }
    if (m_link->SchnittstelleOK())
        sendStop();
}

void Session::cancelStart()
{
    m_state.Abbruch = true;
    m_run->stopRequested();
}

QString Session::mediumInForce() const
{
    if (m_clientChecks.medium)
        return m_clientChecks.medium();
    // Without a window, the first saved medium of these values is the one in force.
    const auto store = openStore();
    const QList<MediumPreset> media =
        loadMedia(*store, m_state.Schnittstelle, m_state.settings.Pumpentyp);
    return mediumOf(media, m_state.settings.Dichte, m_state.settings.Kalibrierfaktor);
}

void Session::noteMedium(RunPlan &plan) const
{
    plan.medium = mediumInForce();
    plan.density = m_state.settings.Dichte;
    plan.factor = m_state.settings.Kalibrierfaktor;
}

void Session::beginPotentiometer()
{
    // The operator takes the pump over: a method waiting between its steps ends here.
    m_methods->onStop();
    m_state.Abbruch = false;
    for (const char *c : {"DIPROG", "CONTMOD", "SOR 1"})
        m_link->BefehlSenden(QString::fromLatin1(c));
    m_potentiometer = RunPlan{};
    m_potentiometer.mode = RunPlan::Mode::Potentiometer;
    m_potentiometer.started = QDateTime::currentDateTime();
    noteMedium(m_potentiometer);
    if (!m_trial)
        m_progressRows->begin();
    m_statusLine = tr("Potentiometer mode: the controller follows its potentiometer");
}

void Session::endPotentiometerRun(RunOutcome::End end)
{
    if (!m_potentiometer.started.isValid())
        return;
    RunOutcome outcome;
    outcome.end = end;
    const RunPlan plan = std::exchange(m_potentiometer, RunPlan{});
    m_statusLine.clear();
    writeJournal(plan, outcome);
}

void Session::onRunFinished()
{
    m_running = false;
    RunOutcome outcome = m_run->outcome();
    // Stopped because the operator is leaving: the program's end ended it.
    if (m_leaving && outcome.end == RunOutcome::End::Stopped)
        outcome.end = RunOutcome::End::ProgramEnded;
    if (!m_plan.note.isEmpty())
        outcome.note = outcome.note.isEmpty() ? m_plan.note : m_plan.note + QStringLiteral(": ") + outcome.note;
    writeJournal(m_plan, outcome);
    m_statusLine = runSummary(m_plan, outcome);
    emit runEnded(m_plan, outcome);
}

void Session::shutdown()
{
    m_state.Abbruch = true;
    m_leaving = true;
    m_methods->onStop();
    m_starting = false;
    if (m_port->PortOpen()) {
        sendStop();
        (void)m_port->waitForDrain(MSComm::kDrainTimeoutMs);
        (void)m_port->setPortOpen(false);
    }
    endPotentiometerRun(RunOutcome::End::ProgramEnded);
    // Its row goes into the journal before the process ends.
    m_run->abandon();
}

Session::Status Session::status() const
{
    Status st;
    st.starting = m_starting;
    st.running = m_running;
    st.potentiometer = potentiometerOn();
    st.progress = m_run->progress();
    st.plan = m_plan;
    st.origin = m_origin;
    st.portOpen = m_state.SchnittstelleOffen;
    st.controllerAnswered = m_state.SchnittstelleOffen && !m_state.KeineAntwort;
    return st;
}

void Session::writeJournal(const RunPlan &plan, const RunOutcome &outcome)
{
    if (m_trial)
        return;
    // The crash row goes first: a crash from here on must not follow the final row.
    m_progressRows->end();
    appendToJournal(journalRow(plan, outcome), true);
}

RunRecord Session::journalRow(const RunPlan &plan, const RunOutcome &outcome) const
{
    static const char *const kModes[] = {"dosing", "flow", "potentiometer"};
    static const char *const kEnds[] = {"completed", "stopped", "program ended", "link lost",
                                        "no reply"};
    const PumpSettings &s = m_state.settings;
    const bool dosing = plan.mode == RunPlan::Mode::Dosing;
    const bool potentiometer = plan.mode == RunPlan::Mode::Potentiometer;
    RunRecord row;
    row.started = plan.started;
    row.ended = QDateTime::currentDateTime();
    row.port = QStringLiteral("COM%1").arg(m_state.Schnittstelle);
    row.device = m_port->DevicePath();
    row.pumpType = pumpType(s.Pumpentyp).name;
    row.mode = QLatin1String(kModes[int(plan.mode)]);
    if (!potentiometer) {
        row.setValue = storeForm(plan.setValue);
        row.unit = plan.unit;
        row.delivered = storeForm(deliveredAmount(plan, outcome));
    }
    if (dosing) {
        row.repetitions = plan.repetitions == kEndlessRepetitions ? QStringLiteral("endless")
                                                                 : integerForm(plan.repetitions);
        row.dosesDone = outcome.dosesDone;
    }
    row.endedBy = QLatin1String(kEnds[int(outcome.end)]);
    row.note = outcome.note;
    row.medium = plan.medium;
    row.density = storeForm(plan.density);
    row.calibrationFactor = storeForm(plan.factor);
    if (dosing)
        row.deliveredUnit = plan.unit;
    else if (!potentiometer)
        row.deliveredUnit = amountUnit(plan.unit);
    if (dosing && outcome.interruptedNumber > 0)
        row.interruptedDose = storeForm(outcome.interruptedDose);
    if (!plan.client.isEmpty())
        row.note = QStringLiteral("remote %1").arg(plan.client) +
                   (row.note.isEmpty() ? QString() : QStringLiteral(": ") + row.note);
    return row;
}

RunRecord Session::progressRow() const
{
    if (!m_running && m_potentiometer.started.isValid())
        return journalRow(m_potentiometer, RunOutcome{});
    RunOutcome so = m_run->outcomeSoFar();
    if (!m_plan.note.isEmpty())
        so.note = m_plan.note;
    return journalRow(m_plan, so);
}

void Session::appendToJournal(const RunRecord &row, bool final)
{
    const bool written = m_journal->append(row);
    // A run is never held up by its journal, and nobody is there to read while leaving.
    if (!final || programEnding() || m_leaving)
        return;
    if (written) {
        if (!std::exchange(m_journalFailureTold, QString()).isEmpty())
            m_attendant->tell({tr("The run journal %1 is written again.")
                                   .arg(QDir::toNativeSeparators(m_journal->path())),
                               tr("Run journal"), MsgButtons::Ok, MsgIcon::Information});
        return;
    }
    if (m_journal->error() == m_journalFailureTold)
        return; // told already; a new reason is told again
    m_journalFailureTold = m_journal->error();
    m_attendant->tell({m_journal->error(), m_state.FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation});
}

} // namespace vyt
