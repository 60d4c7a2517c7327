#include "sim/ControllerSim.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace vyt::sim {

namespace {
constexpr double kHalfTick = 0.5; // ms
}
namespace {

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;
constexpr double kStepSeconds = 0.001;
constexpr double kSnapCounts = 0.5;
// How far ahead an armed notification is searched; beyond that the search is repeated.
constexpr int kHorizonSteps = 600000;
constexpr int kDefaultPieceGapMs = 20;
constexpr int kDefaultLateUnderMs = 600;
constexpr int kDefaultLateOverMs = 800;
constexpr int kDefaultFloodBytes = 1 << 20;
constexpr int kDefaultSplitGapMs = 20;
constexpr int kDrainLimitMs = 2000;
constexpr double kSettleMs = 30;
constexpr double kAmbient = 25;
constexpr double kThermalSeconds = 120;
constexpr double kIdleCurrent = 10;

const char *const kVersion = "vyt-controller-sim 1.0";
const char *const kEepromDone = "EEPROM writing done";

struct FaultName {
    Fault fault;
    const char *name;
};
const FaultName kFaultNames[] = {
    {Fault::None, "none"},
    {Fault::Silent, "silent"},
    {Fault::NoLineFeed, "no-line-feed"},
    {Fault::Pieces, "pieces"},
    {Fault::Noise, "noise"},
    {Fault::GluedNotification, "glued-notification"},
    {Fault::LateJustUnder, "late-just-under"},
    {Fault::LateJustOver, "late-just-over"},
    {Fault::Flood, "flood"},
    {Fault::HangUpAfter, "hang-up-after"},
    {Fault::IgnoresSet, "ignores-set"},
    {Fault::SplitNotification, "split-notification"},
};

QString squeezed(QString name)
{
    return name.toLower().remove(QLatin1Char('-')).remove(QLatin1Char('_'));
}

// Junk that neither ends a line, nor looks like the notification, nor is taken by
// the port's XON/XOFF handling.
bool isJunk(char c) { return c != '\r' && c != '\n' && c != 'p' && c != kXon && c != kXoff; }

qint64 bootTimeNs()
{
    timespec ts{};
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0)
        clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool readNumber(const QString &text, double *value)
{
    bool ok = false;
    const double v = QLocale::c().toDouble(text.trimmed(), &ok);
    if (!ok || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

double heatingTarget(double current) { return kAmbient + 0.08 * current; }

} // namespace

bool faultFromName(const QString &name, Fault *fault)
{
    const QString key = squeezed(name);
    for (const FaultName &f : kFaultNames) {
        if (squeezed(QLatin1String(f.name)) == key) {
            *fault = f.fault;
            return true;
        }
    }
    // Short forms.
    if (key == QLatin1String("glued")) {
        *fault = Fault::GluedNotification;
        return true;
    }
    if (key == QLatin1String("hangup")) {
        *fault = Fault::HangUpAfter;
        return true;
    }
    return false;
}

QStringList faultNames()
{
    QStringList names;
    for (const FaultName &f : kFaultNames)
        names << QLatin1String(f.name);
    return names;
}

// ---- motion ----

double Motion::potRpm() const
{
    // A knob turned slowly back and forth between 500 and 2500 rpm, period 30 s.
    const double t = double(ms - potSinceMs) / 1000.0;
    return 1500.0 + 1000.0 * std::sin(2.0 * M_PI * t / 30.0);
}

bool Motion::stationary() const
{
    if (vel != 0)
        return false;
    switch (mode) {
    case Mode::Idle: return true;
    case Mode::Position: return false;
    case Mode::Velocity: return !potentiometer && vCmd == 0;
    }
    return true;
}

bool Motion::step()
{
    const double cpr = countsPerRev();
    const double vMax = std::max(0.0, double(maxRpm)) * cpr / 60.0;
    const double a = std::max(1.0, double(accel)) * cpr;
    const double before = pos;

    double vWanted = 0;
    double err = 0;
    if (mode == Mode::Position) {
        err = target - pos;
        if (std::abs(err) <= kSnapCounts && std::abs(vel) <= a * kStepSeconds * 2) {
            pos = target;
            vel = 0;
            mode = Mode::Idle;
        } else {
            // The fastest speed after this step from which the drive, braking at a in
            // the same 1 ms steps, still stops at the target: v²/2a + v·dt/2 <= distance.
            const double dir = err < 0 ? -1.0 : 1.0;
            const double rest = std::abs(err) - dir * vel * kStepSeconds / 2;
            const double aDt = a * kStepSeconds;
            const double v = rest > 0 ? (std::sqrt(aDt * aDt + 8.0 * a * rest) - aDt) / 2 : 0.0;
            vWanted = dir * std::min(vMax, v);
        }
    } else if (mode == Mode::Velocity) {
        const double rpmWanted = potentiometer ? potRpm() : vCmd;
        vWanted = std::clamp(rpmWanted * cpr / 60.0, -vMax, vMax);
    }

    const double dv = std::clamp(vWanted - vel, -a * kStepSeconds, a * kStepSeconds);
    const double v1 = vel + dv;
    pos += 0.5 * (vel + v1) * kStepSeconds;
    vel = v1;
    acc = dv / kStepSeconds;
    if (mode == Mode::Position) {
        const double left = target - pos;
        if (left * err <= 0 || std::abs(left) <= kSnapCounts / 4) {
            pos = target;
            vel = 0;
            mode = Mode::Idle;
        }
    }
    ++ms;

    // Current: holding, friction with speed, torque with acceleration; limited to the
    // peak while accelerating and to the continuous limit otherwise.
    const double raw = kIdleCurrent + 0.015 * std::abs(rpm()) + 0.25 * std::abs(acc / cpr);
    const double limit = double(acc != 0 ? peakCurrent : contCurrent);
    limiting = raw > limit;
    current = std::min(raw, limit);
    temperature += (heatingTarget(current) - temperature) * kStepSeconds / kThermalSeconds;

    if (armed && (before - notifyAt) * (pos - notifyAt) <= 0) {
        armed = false;
        return true;
    }
    return false;
}

bool Motion::jumpToTarget()
{
    const double before = pos;
    pos = target;
    vel = 0;
    acc = 0;
    mode = Mode::Idle;
    if (armed && (before - notifyAt) * (pos - notifyAt) <= 0) {
        armed = false;
        return true;
    }
    return false;
}

// ---- the simulator ----

ControllerSim::ControllerSim(QObject *parent) : QObject(parent)
{
    m_clock.start();
    for (QTimer *t :
         {&m_motionTimer, &m_rxTimer, &m_scheduleTimer, &m_paceTimer, &m_replyDelayTimer}) {
        t->setSingleShot(true);
        t->setTimerType(Qt::PreciseTimer);
    }
    connect(&m_motionTimer, &QTimer::timeout, this, &ControllerSim::onMotionTimer);
    connect(&m_rxTimer, &QTimer::timeout, this, &ControllerSim::processDueLines);
    connect(&m_scheduleTimer, &QTimer::timeout, this, &ControllerSim::releaseScheduled);
    connect(&m_paceTimer, &QTimer::timeout, this, &ControllerSim::pumpPaced);
    connect(&m_replyDelayTimer, &QTimer::timeout, this, &ControllerSim::releaseDelayedReplies);
}

ControllerSim::~ControllerSim()
{
    closeFds();
    removeLinks();
}

bool ControllerSim::start(QString *error)
{
    if (m_master >= 0)
        return true;
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        if (error)
            *error = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    // Raw until the program sets its own modes: no echo, no line editing, no CR/LF games.
    termios tio{};
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B9600);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    // Packet mode tells when the program flushes its output, as a real line would lose
    // what its driver still held.
    int packet = 1;
    ::ioctl(master, TIOCPKT, &packet);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    m_master = master;
    m_slave = slave;
    char name[256] = {};
    if (const int failure = ::ttyname_r(slave, name, sizeof name); failure != 0) {
        if (error)
            *error = QStringLiteral("ttyname: %1").arg(QString::fromLocal8Bit(strerror(failure)));
        closeFds();
        return false;
    }
    m_path = QString::fromLocal8Bit(name);
    m_started = true;
    m_readNotifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &ControllerSim::onReadable);
    m_writeNotifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Write);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, &ControllerSim::flushWire);
    return true;
}

QString ControllerSim::devicePath() const { return m_path; }

bool ControllerSim::addLink(const QString &symlinkPath)
{
    if (m_path.isEmpty())
        return false;
    const QFileInfo fi(symlinkPath);
    // Replace a stale link of an earlier run, never a real file.
    if (fi.isSymLink())
        QFile::remove(symlinkPath);
    if (!QFile::link(m_path, symlinkPath))
        return false;
    m_links << symlinkPath;
    return true;
}

void ControllerSim::removeLinks()
{
    for (const QString &link : std::as_const(m_links)) {
        // Only our own: another simulator may have taken the name over since.
        const QFileInfo fi(link);
        if (fi.isSymLink() && fi.symLinkTarget() == m_path)
            QFile::remove(link);
    }
    m_links.clear();
}

void ControllerSim::setLogFile(const QString &path)
{
    m_log.reset();
    if (path.isEmpty())
        return;
    auto file = std::make_unique<QFile>(path);
    if (file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        m_log = std::move(file);
}

QStringList ControllerSim::receivedLines() const { return m_received; }

void ControllerSim::clearReceived()
{
    m_received.clear();
    m_receivedAtNs.clear();
}

void ControllerSim::setEncoderLines(int lines)
{
    advance();
    const double scale = double(std::max(1, lines)) / m_motion.encoderLines;
    m_motion.encoderLines = std::max(1, lines);
    // The shaft does not move when the encoder is swapped; its count does.
    m_motion.pos *= scale;
    m_motion.vel *= scale;
    m_motion.target *= scale;
    scheduleMotionEvent();
}

void ControllerSim::setInstantMoves(bool on) { m_instant = on; }

void ControllerSim::setLineRate(int baud) { m_lineRate = std::max(0, baud); }

void ControllerSim::setReplyDelay(int ms) { m_replyDelayMs = std::max(0, ms); }

void ControllerSim::setFault(Fault fault, int param)
{
    m_fault = fault;
    m_faultParam = param;
    m_commandsSinceFault = 0;
}

void ControllerSim::setReply(const QString &query, const QString &reply)
{
    if (reply.isNull())
        m_replies.remove(query);
    else
        m_replies.insert(query, reply);
}

void ControllerSim::sendRaw(const QByteArray &bytes) { toLine(bytes); }

void ControllerSim::hangUp()
{
    closeFds();
    // The device is gone, and so are its names.
    removeLinks();
}

void ControllerSim::hangUpWhenDrained()
{
    // Replies already on their way still reach the program; then the cable is pulled.
    m_rxLines.clear();
    m_dying = true;
    m_hangUpClock.start();
    checkDrained();
}

void ControllerSim::checkDrained()
{
    int unread = 0;
    if (m_slave >= 0 && ::ioctl(m_slave, FIONREAD, &unread) != 0)
        unread = 0;
    // The kernel hands written bytes to the reading side a little later: give it time.
    const bool idle = m_scheduled.empty() && m_paced.empty() && m_wire.isEmpty() && unread == 0 &&
                      nowMs() - m_lastWriteMs >= kSettleMs;
    if (idle || m_hangUpClock.elapsed() > kDrainLimitMs) {
        hangUp();
        return;
    }
    QTimer::singleShot(5, this, &ControllerSim::checkDrained);
}

void ControllerSim::closeFds()
{
    m_dying = false;
    m_readNotifier.reset();
    m_writeNotifier.reset();
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = -1;
    m_slave = -1;
    m_motionTimer.stop();
    m_rxTimer.stop();
    m_scheduleTimer.stop();
    m_paceTimer.stop();
    m_rxLines.clear();
    m_rxLine.clear();
    m_scheduled.clear();
    m_paced.clear();
    m_pacedReleased = 0;
    m_wire.clear();
}

qint64 ControllerSim::position() const
{
    advance();
    return qint64(std::llround(m_motion.pos));
}

double ControllerSim::speedRpm() const
{
    advance();
    return m_motion.rpm();
}

Motion ControllerSim::motion() const
{
    advance();
    return m_motion;
}

bool ControllerSim::lineSettings(LineSettings *settings) const
{
    // On the master, the terminal modes read are those of the slave, i.e. the program's.
    termios tio{};
    if (m_master < 0 || ::tcgetattr(m_master, &tio) != 0)
        return false;
    struct Rate {
        speed_t code;
        int baud;
    };
    static const Rate kRates[] = {{B1200, 1200},   {B2400, 2400},     {B4800, 4800},
                                  {B9600, 9600},   {B19200, 19200},   {B38400, 38400},
                                  {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    settings->baud = 0;
    const speed_t speed = ::cfgetospeed(&tio);
    for (const Rate &r : kRates) {
        if (r.code == speed)
            settings->baud = r.baud;
    }
    switch (tio.c_cflag & CSIZE) {
    case CS5: settings->dataBits = 5; break;
    case CS6: settings->dataBits = 6; break;
    case CS7: settings->dataBits = 7; break;
    default: settings->dataBits = 8; break;
    }
    settings->parity = !(tio.c_cflag & PARENB) ? 'N' : (tio.c_cflag & PARODD) ? 'O' : 'E';
    settings->stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    settings->xonXoff = (tio.c_iflag & IXON) && (tio.c_iflag & IXOFF);
    settings->raw = !(tio.c_lflag & (ICANON | ECHO | ISIG)) &&
                    !(tio.c_iflag & (ICRNL | INLCR | IGNCR)) && !(tio.c_oflag & OPOST);
    return true;
}

// ---- motion in time ----

double ControllerSim::nowMs() const { return double(m_clock.nsecsElapsed()) / 1e6; }

void ControllerSim::advance() const
{
    const qint64 until = qint64(nowMs());
    if (m_motion.ms >= until)
        return;
    if (m_motion.stationary() && !m_motion.armed) {
        // Nothing moves: only the motor cools down towards its holding temperature.
        const double dt = double(until - m_motion.ms) / 1000.0;
        m_motion.acc = 0;
        m_motion.current = kIdleCurrent;
        m_motion.limiting = false;
        const double target = heatingTarget(kIdleCurrent);
        m_motion.temperature =
            target + (m_motion.temperature - target) * std::exp(-dt / kThermalSeconds);
        m_motion.ms = until;
        return;
    }
    while (m_motion.ms < until) {
        if (m_motion.step())
            ++m_notifyPending;
    }
}

void ControllerSim::scheduleMotionEvent()
{
    m_motionTimer.stop();
    if (!m_motion.armed || m_master < 0)
        return;
    Motion ahead = m_motion;
    int steps = 0;
    for (; steps < kHorizonSteps; ++steps) {
        if (ahead.step())
            break;
        if (ahead.stationary())
            return; // it will not get there without another command
    }
    const double dueIn = double(ahead.ms) - nowMs();
    m_motionTimer.start(int(std::max(0.0, std::ceil(dueIn))));
}

void ControllerSim::onMotionTimer()
{
    advance();
    flushNotifications();
    scheduleMotionEvent();
}

void ControllerSim::flushNotifications()
{
    static const QByteArray kNotification("p\r\n");
    for (; m_notifyPending > 0; --m_notifyPending) {
        if (m_fault == Fault::Silent)
            continue;
        if (m_fault == Fault::GluedNotification && m_faultParam == 1) {
            m_heldNotification = true;
            continue;
        }
        ++m_notifications;
        if (m_fault == Fault::GluedNotification) {
            schedule(QByteArrayLiteral("xy") + kNotification, 0);
        } else if (m_fault == Fault::SplitNotification) {
            schedule(QByteArrayLiteral("p"), 0);
            schedule(QByteArrayLiteral("\r\n"),
                     m_faultParam > 0 ? m_faultParam : kDefaultSplitGapMs);
        } else {
            schedule(kNotification, 0);
        }
    }
}

// ---- receiving ----

void ControllerSim::onReadable()
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        // Packet mode: a read is either data behind a zero byte, or one status byte.
        if (n > 0 && buf[0] != TIOCPKT_DATA) {
            if (buf[0] & TIOCPKT_FLUSHWRITE)
                dropUnsent();
            continue;
        }
        if (n > 0) {
            for (ssize_t i = 1; i < n; ++i)
                takeByte(buf[i]);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        // No slave left: nothing will arrive any more, so stop listening.
        if (m_readNotifier)
            m_readNotifier->setEnabled(false);
        break;
    }
    processDueLines();
}

void ControllerSim::takeByte(char byte)
{
    if (byte == kXoff) {
        m_xoff = true;
        return;
    }
    if (byte == kXon) {
        m_xoff = false;
        flushWire();
        return;
    }
    if (m_lineRate > 0)
        m_rxFreeAt = std::max(nowMs(), m_rxFreeAt) + 10000.0 / m_lineRate;
    if (byte == '\n')
        return;
    if (byte == '\r') {
        m_rxLines.push_back({m_lineRate > 0 ? m_rxFreeAt : 0.0, m_rxLine});
        m_rxLine.clear();
        return;
    }
    m_rxLine += byte;
}

void ControllerSim::dropUnsent()
{
    // The program flushed its output: what is not wholly on the line yet never arrives.
    // A line the flush cut is lost with it; the program ends a cut line with a CR of its
    // own where its driver can tell it that it cut one, which a pty cannot.
    const double now = nowMs() + kHalfTick;
    while (!m_rxLines.empty() && m_rxLines.back().dueMs > now) {
        m_bytesDropped += m_rxLines.back().bytes.size() + 1;
        m_rxLines.pop_back();
    }
    m_bytesDropped += m_rxLine.size();
    m_rxLine.clear();
    m_rxFreeAt = std::min(m_rxFreeAt, nowMs());
}

void ControllerSim::processDueLines()
{
    while (!m_rxLines.empty() && m_master >= 0 && !m_dying) {
        // Timers count whole milliseconds: take a line that is due within half of one,
        // so that pacing errs as often early as late instead of always late.
        const double wait = m_rxLines.front().dueMs - nowMs();
        if (wait > kHalfTick) {
            m_rxTimer.start(int(std::lround(wait)));
            return;
        }
        const QByteArray line = m_rxLines.front().bytes;
        m_rxLines.pop_front();
        handleLine(line);
    }
}

void ControllerSim::handleLine(const QByteArray &raw)
{
    const QString line = QString::fromLatin1(raw);
    m_received << line;
    m_receivedAtNs << bootTimeNs();
    if (m_log) {
        m_log->write((QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + QLatin1Char(' ') +
                      line + QLatin1Char('\n'))
                         .toUtf8());
        m_log->flush();
    }
    emit lineReceived(line);

    advance();
    flushNotifications();

    ++m_commandsSinceFault;
    if (m_fault == Fault::HangUpAfter && m_commandsSinceFault >= std::max(1, m_faultParam)) {
        hangUpWhenDrained();
        return;
    }

    const QString text = line.trimmed();
    int wordEnd = 0;
    while (wordEnd < text.size() && text.at(wordEnd).isLetter())
        ++wordEnd;
    const QString word = text.left(wordEnd).toUpper();
    const QString arg = text.mid(wordEnd).trimmed();
    double n = 0;
    const bool hasNumber = readNumber(arg, &n);
    Motion &m = m_motion;

    // Commands that change the drive; every other one leaves it alone.
    if (ignores(word)) {
        // A controller that takes the limit and keeps its old value.
    } else if (word == QLatin1String("SP") && hasNumber) {
        m.maxRpm = std::llround(n);
    } else if (word == QLatin1String("AC") && hasNumber) {
        m.accel = std::llround(n);
    } else if (word == QLatin1String("LCC") && hasNumber) {
        m.contCurrent = std::llround(n);
    } else if (word == QLatin1String("LPC") && hasNumber) {
        m.peakCurrent = std::llround(n);
    } else if (word == QLatin1String("HO")) {
        // Re-basing keeps a running move's distance to go.
        const double home = hasNumber ? std::round(n) : 0.0;
        m.target += home - m.pos;
        m.pos = home;
    } else if (word == QLatin1String("LA") && hasNumber) {
        m.target = std::round(n);
    } else if (word == QLatin1String("LR") && hasNumber) {
        m.target += std::round(n);
    } else if (word == QLatin1String("NP")) {
        m.armed = true;
        m.notifyAt = hasNumber ? std::round(n) : m.target;
    } else if (word == QLatin1String("M") && arg.isEmpty()) {
        m.mode = Motion::Mode::Position;
        if (m_instant && m.jumpToTarget())
            ++m_notifyPending;
    } else if (word == QLatin1String("V") && hasNumber) {
        m.vCmd = n;
        if (!m.potentiometer)
            m.mode = Motion::Mode::Velocity;
    } else if (word == QLatin1String("SOR") && hasNumber) {
        m.potentiometer = n == 1;
        if (m.potentiometer) {
            m.mode = Motion::Mode::Velocity;
            m.potSinceMs = m.ms;
        }
    }
    flushNotifications();

    if (m_fault == Fault::Flood) {
        const int size = m_faultParam > 0 ? m_faultParam : kDefaultFloodBytes;
        static const char kJunk[] = "0123456789ABCDEFGHIJKLMNOabcdefghijklmno#*+-";
        QByteArray junk(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            junk[i] = kJunk[i % (sizeof kJunk - 1)];
        m_fault = Fault::None; // once
        schedule(junk, 0);
    } else {
        QString answer = m_replies.value(text);
        if (answer.isNull())
            answer = m_replies.value(word);
        if (answer.isNull())
            answer = answerFor(word, arg);
        if (!answer.isNull())
            reply(answer);
    }
    scheduleMotionEvent();
}

bool ControllerSim::ignores(const QString &limitCommand) const
{
    if (m_fault != Fault::IgnoresSet)
        return false;
    static const char *const kLimits[] = {"SP", "AC", "LCC", "LPC"};
    for (int i = 0; i < 4; ++i) {
        if (limitCommand == QLatin1String(kLimits[i]))
            return m_faultParam == 0 || (m_faultParam & (1 << i)) != 0;
    }
    return false;
}

QString ControllerSim::answerFor(const QString &word, const QString &arg) const
{
    if (!arg.isEmpty())
        return {};
    const Motion &m = m_motion;
    if (word == QLatin1String("VER"))
        return QLatin1String(kVersion);
    if (word == QLatin1String("GN"))
        return QString::number(std::llround(m.rpm()));
    if (word == QLatin1String("GRC"))
        return QString::number(std::llround(m.current));
    if (word == QLatin1String("GFS"))
        return QStringLiteral("%1%2%3%4")
            .arg(m.temperature > 85 ? 1 : 0)
            .arg(m.limiting ? 1 : 0)
            .arg(0)
            .arg(0);
    if (word == QLatin1String("TEM"))
        return QString::number(std::llround(m.temperature));
    if (word == QLatin1String("POS"))
        return QString::number(std::llround(m.pos));
    if (word == QLatin1String("GSP"))
        return QString::number(m.maxRpm);
    if (word == QLatin1String("GAC"))
        return QString::number(m.accel);
    if (word == QLatin1String("GCC"))
        return QString::number(m.contCurrent);
    if (word == QLatin1String("GPC"))
        return QString::number(m.peakCurrent);
    if (word == QLatin1String("EEPSAV"))
        return QLatin1String(kEepromDone);
    return {};
}

void ControllerSim::reply(const QString &line)
{
    if (m_replyDelayMs <= 0 && m_delayedReplies.empty()) {
        sendReply(line);
        return;
    }
    m_delayedReplies.push_back({nowMs() + m_replyDelayMs, line.toLatin1()});
    if (!m_replyDelayTimer.isActive())
        releaseDelayedReplies();
}

void ControllerSim::releaseDelayedReplies()
{
    while (!m_delayedReplies.empty()) {
        const double wait = m_delayedReplies.front().dueMs - nowMs();
        if (wait > kHalfTick) {
            m_replyDelayTimer.start(int(std::lround(wait)));
            return;
        }
        const QString line = QString::fromLatin1(m_delayedReplies.front().bytes);
        m_delayedReplies.pop_front();
        sendReply(line);
    }
}

void ControllerSim::sendReply(const QString &line)
{
    if (m_fault == Fault::Silent)
        return;
    const QByteArray text = line.toLatin1();
    QByteArray front;
    if (m_fault == Fault::Noise) {
        const int count = 1 + int(m_random.bounded(8));
        while (front.size() < count) {
            const char c = char(0x21 + m_random.bounded(0x7f - 0x21));
            if (isJunk(c))
                front += c;
        }
    }
    if (m_heldNotification) {
        m_heldNotification = false;
        ++m_notifications;
        front += "p\r\n";
    }
    switch (m_fault) {
    case Fault::NoLineFeed: schedule(front + text + '\r', 0); break;
    case Fault::Pieces: {
        // The line end itself is split too: CR in one piece, LF in the next.
        const int gap = m_faultParam > 0 ? m_faultParam : kDefaultPieceGapMs;
        const QByteArray head = front + text;
        const int half = int(head.size() / 2);
        schedule(head.left(half), 0);
        schedule(head.mid(half) + '\r', gap);
        schedule(QByteArray("\n"), gap);
        break;
    }
    case Fault::LateJustUnder:
    case Fault::LateJustOver: {
        const int late = m_faultParam > 0                  ? m_faultParam
                         : m_fault == Fault::LateJustUnder ? kDefaultLateUnderMs
                                                           : kDefaultLateOverMs;
        schedule(front + text + "\r\n", late);
        break;
    }
    default: schedule(front + text + "\r\n", 0); break;
    }
}

// ---- sending: schedule, pace, write ----

void ControllerSim::schedule(const QByteArray &bytes, double delayMs)
{
    if (bytes.isEmpty() || m_master < 0)
        return;
    const double now = nowMs();
    if (delayMs <= 0 && m_scheduled.empty()) {
        toLine(bytes);
        return;
    }
    // Later pieces never overtake earlier ones; the delay counts from the one before.
    const double base = m_scheduled.empty() ? now : std::max(now, m_scheduled.back().dueMs);
    m_scheduled.push_back({base + std::max(0.0, delayMs), bytes});
    if (!m_scheduleTimer.isActive())
        releaseScheduled();
}

void ControllerSim::releaseScheduled()
{
    while (!m_scheduled.empty()) {
        const double wait = m_scheduled.front().dueMs - nowMs();
        if (wait > 0) {
            m_scheduleTimer.start(int(std::ceil(wait)));
            return;
        }
        const QByteArray bytes = m_scheduled.front().bytes;
        m_scheduled.pop_front();
        toLine(bytes);
    }
}

void ControllerSim::toLine(const QByteArray &bytes)
{
    if (bytes.isEmpty() || m_master < 0)
        return;
    if (m_lineRate <= 0) {
        toWire(bytes);
        return;
    }
    const double byteMs = 10000.0 / m_lineRate;
    const double start = std::max(nowMs(), m_txFreeAt);
    m_txFreeAt = start + bytes.size() * byteMs;
    m_paced.push_back({start, bytes});
    if (!m_paceTimer.isActive())
        pumpPaced();
}

void ControllerSim::pumpPaced()
{
    if (m_lineRate <= 0) {
        for (const Timed &t : m_paced)
            toWire(t.bytes.mid(m_pacedReleased));
        m_paced.clear();
        m_pacedReleased = 0;
        return;
    }
    const double byteMs = 10000.0 / m_lineRate;
    while (!m_paced.empty()) {
        const Timed &front = m_paced.front();
        // A byte leaves once its ten bits have gone over the line.
        const double now = nowMs() + kHalfTick;
        const int done =
            int(std::min<double>(front.bytes.size(), std::floor((now - front.dueMs) / byteMs)));
        if (done > m_pacedReleased) {
            toWire(front.bytes.mid(m_pacedReleased, done - m_pacedReleased));
            m_pacedReleased = done;
        }
        if (m_pacedReleased < front.bytes.size()) {
            const double next = front.dueMs + (m_pacedReleased + 1) * byteMs - now;
            m_paceTimer.start(int(std::max(1L, std::lround(next))));
            return;
        }
        m_paced.pop_front();
        m_pacedReleased = 0;
    }
}

void ControllerSim::toWire(const QByteArray &bytes)
{
    if (m_master < 0)
        return;
    m_wire += bytes;
    flushWire();
}

void ControllerSim::flushWire()
{
    if (m_master < 0) {
        m_wire.clear();
        return;
    }
    qsizetype written = 0;
    while (written < m_wire.size() && !m_xoff) {
        const ssize_t n =
            ::write(m_master, m_wire.constData() + written, size_t(m_wire.size() - written));
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            m_wire.clear(); // nobody can read it any more
        break;
    }
    m_bytesSent += written;
    if (written > 0)
        m_lastWriteMs = nowMs();
    m_wire.remove(0, std::min(written, m_wire.size()));
    // Wait for room in the program's input; after XOFF wait for XON instead.
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_wire.isEmpty() && !m_xoff);
}

} // namespace vyt::sim
