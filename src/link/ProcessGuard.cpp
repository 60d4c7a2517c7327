#include "link/ProcessGuard.h"

#include "session/ProgramEnd.h"

#include <QMetaMethod>
#include <QSocketNotifier>
#include <QtGlobal>

#include <atomic>
#include <functional>
#include <utility>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace vyt {
namespace {

constexpr char kStop[] = "SOR 0\rV 0\r";
// Retries of a write that would block (a line held by XOFF), 1 ms apart: then the exit goes on.
constexpr int kMaxRetries = 20;
constexpr int kTerminationSignals[] = {SIGTERM, SIGHUP, SIGINT};
// Whatever else ends the process by default: faults, abort(), quit key, broken pipe, limits.
constexpr int kFatalSignals[] = {SIGQUIT, SIGILL, SIGABRT, SIGBUS,  SIGFPE,
                                 SIGSEGV, SIGSYS, SIGPIPE, SIGXCPU, SIGXFSZ};
// Room for the fatal handler when the stack itself overflowed.
constexpr size_t kAltStackSize = 64 * 1024;

static_assert(std::atomic<int>::is_always_lock_free, "the signal handlers use atomics");

// The open serial ports of the process (one per session): each gets the stop.
constexpr int kStopTargets = 8;
std::atomic<int> g_targets[kStopTargets] = {-1, -1, -1, -1, -1, -1, -1, -1};
// The termination signal handed to the GUI thread and not yet dealt with, 0 when none.
std::atomic<int> g_pending{0};
// A forked child (before its exec) shares our port and pipe but is not the program.
std::atomic<int> g_owner{0};
int g_writeFd = -1;
struct sigaction g_previous[NSIG];
alignas(16) char g_altStack[kAltStackSize];

// Two slots for the crash row: the GUI thread fills the one not published, then
// publishes it, so a signal arriving meanwhile still finds a whole row.
struct CrashRow {
    int fd = -1;
    qsizetype crashedSize = 0;
    qsizetype endedSize = 0;
    char crashed[ProcessGuard::kCrashRowCapacity];
    char ended[ProcessGuard::kCrashRowCapacity];
};
CrashRow g_crashRows[2];
std::atomic<int> g_crashSlot{-1}; // the published slot, -1 for none

bool ownProcess()
{
    return ::getpid() == g_owner.load();
}

// Hands the signal back to whatever was there before us; it is blocked while we run,
// so the raised one arrives as soon as the handler returns.
void passOn(int sig)
{
    ::sigaction(sig, &g_previous[sig], nullptr);
    ::raise(sig);
}

void onTermination(int sig)
{
    const int savedErrno = errno;
    if (!ownProcess()) {
        passOn(sig);
        errno = savedErrno;
        return;
    }
    int none = 0;
    if (!g_pending.compare_exchange_strong(none, sig)) {
        // The orderly stop has not finished: the operator or the system will not wait.
        ProcessGuard::writeEmergencyStop();
        ProcessGuard::writeCrashRow(false);
        ::_exit(128 + sig);
    }
    const auto byte = static_cast<unsigned char>(sig);
    while (::write(g_writeFd, &byte, 1) < 0 && errno == EINTR) {
    }
    errno = savedErrno;
}

void onFatal(int sig, siginfo_t *info, void *)
{
    if (ownProcess()) {
        ProcessGuard::writeEmergencyStop();
        ProcessGuard::writeCrashRow(true);
    }
    const bool fault =
        info->si_code > 0 && (sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL);
    if (fault) {
        // The instruction faults again on return, now with the previous handler's
        // (a sanitizer's report, a core dump) and the true fault address.
        ::sigaction(sig, &g_previous[sig], nullptr);
    } else {
        passOn(sig);
    }
}

std::function<void()> &lastWords()
{
    static std::function<void()> words;
    return words;
}

void stopAtExit()
{
    // A normal end closes the port first and clears the target: nothing goes out twice.
    // Nothing else here: static objects (Qt's among them) may be gone already.
    if (ownProcess()) {
        ProcessGuard::writeEmergencyStop();
        ProcessGuard::writeCrashRow(false);
    }
}

QtMessageHandler g_previousHandler = nullptr;

// The xcb plugin says "The X11 connection broke" and then calls exit(): while it says so,
// the program is still whole, so its last words (the run's record) can be said here.
void watchMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message.startsWith(QLatin1String("The X11 connection broke"))) {
        ProcessGuard::writeEmergencyStop();
        if (auto words = std::exchange(lastWords(), {}))
            words();
    }
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

void catchSignal(int sig, const struct sigaction &action)
{
    struct sigaction previous {};
    ::sigaction(sig, nullptr, &previous);
    // An ignored signal stays ignored: nohup and background jobs rely on it.
    if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN)
        return;
    g_previous[sig] = previous;
    ::sigaction(sig, &action, nullptr);
}

void useAltStack()
{
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE))
        return; // a sanitizer's, already there
    stack_t ours{};
    ours.ss_sp = g_altStack;
    ours.ss_size = sizeof g_altStack;
    ::sigaltstack(&ours, nullptr);
}

} // namespace

ProcessGuard &ProcessGuard::install()
{
    static ProcessGuard *const guard = [] {
        g_owner.store(::getpid());
        int fds[2] = {-1, -1};
        const bool piped = ::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0;
        auto *created = new ProcessGuard(fds[0]);
        if (piped) {
            g_writeFd = fds[1];
            struct sigaction action {};
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART;
            action.sa_handler = onTermination;
            for (const int sig : kTerminationSignals)
                catchSignal(sig, action);
        } else {
            qWarning("ProcessGuard: no pipe (%s); termination signals keep their default",
                     strerror(errno));
        }
        useAltStack();
        struct sigaction fatal {};
        sigemptyset(&fatal.sa_mask);
        fatal.sa_flags = SA_SIGINFO | SA_ONSTACK;
        fatal.sa_sigaction = onFatal;
        for (const int sig : kFatalSignals)
            catchSignal(sig, fatal);
        std::atexit(stopAtExit);
        g_previousHandler = qInstallMessageHandler(watchMessages);
        return created;
    }();
    return *guard;
}

void ProcessGuard::setLastWords(std::function<void()> words) { lastWords() = std::move(words); }

void ProcessGuard::setStopTarget(int fd)
{
    if (fd < 0)
        return;
    for (std::atomic<int> &target : g_targets) {
        int free = -1;
        if (target.load() == fd || target.compare_exchange_strong(free, fd))
            return;
    }
}

void ProcessGuard::clearStopTarget(int fd)
{
    for (std::atomic<int> &target : g_targets) {
        if (fd < 0) {
            target.store(-1);
            continue;
        }
        int expected = fd;
        target.compare_exchange_strong(expected, -1);
    }
}

namespace {

void writeStopTo(int fd)
{
    const int savedErrno = errno;
    // A blocking descriptor on a held line would hold the exit for good. No tcdrain either:
    // the kernel sends what is buffered when the descriptor closes.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && !(flags & O_NONBLOCK))
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    // What the driver still holds would go out before the stop, at 9600 baud for seconds:
    // dropped. "V 0" ends on a line of its own whatever half command was cut.
    (void)::tcflush(fd, TCOFLUSH);
    const char *next = kStop;
    size_t left = sizeof kStop - 1;
    int retries = 0;
    while (left > 0) {
        const ssize_t n = ::write(fd, next, left);
        if (n > 0) {
            next += n;
            left -= size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR && ++retries <= kMaxRetries)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && ++retries <= kMaxRetries) {
            const timespec oneMs{0, 1000 * 1000};
            ::nanosleep(&oneMs, nullptr);
            continue;
        }
        break;
    }
    errno = savedErrno;
}

} // namespace

void ProcessGuard::writeEmergencyStop()
{
    // Once is enough: a sanitizer's abort after a fault, or the exit hook, finds no target.
    for (std::atomic<int> &target : g_targets) {
        const int fd = target.exchange(-1);
        if (fd >= 0)
            writeStopTo(fd);
    }
}

bool ProcessGuard::setCrashRow(int fd, QByteArrayView crashed, QByteArrayView ended)
{
    if (fd < 0 || crashed.size() > kCrashRowCapacity || ended.size() > kCrashRowCapacity) {
        clearCrashRow();
        return false;
    }
    const int slot = g_crashSlot.load() == 0 ? 1 : 0;
    CrashRow &row = g_crashRows[slot];
    row.fd = fd;
    std::memcpy(row.crashed, crashed.data(), size_t(crashed.size()));
    row.crashedSize = crashed.size();
    std::memcpy(row.ended, ended.data(), size_t(ended.size()));
    row.endedSize = ended.size();
    g_crashSlot.store(slot);
    return true;
}

void ProcessGuard::clearCrashRow() { g_crashSlot.store(-1); }

void ProcessGuard::writeCrashRow(bool crashed)
{
    const int slot = g_crashSlot.exchange(-1);
    if (slot < 0)
        return;
    const int savedErrno = errno;
    const CrashRow &row = g_crashRows[slot];
    const char *next = crashed ? row.crashed : row.ended;
    size_t left = size_t(crashed ? row.crashedSize : row.endedSize);
    // One write normally: O_APPEND puts it whole at the end. A short one is finished.
    int retries = 0;
    while (left > 0) {
        const ssize_t n = ::write(row.fd, next, left);
        if (n > 0) {
            next += n;
            left -= size_t(n);
        } else if (!(n < 0 && errno == EINTR && ++retries <= kMaxRetries)) {
            break;
        }
    }
    errno = savedErrno;
}

void ProcessGuard::forgetRequest() { g_pending.store(0); }

ProcessGuard::ProcessGuard(int readFd) : m_readFd(readFd)
{
    if (m_readFd < 0)
        return;
    m_notifier = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ProcessGuard::takeRequest);
}

void ProcessGuard::takeRequest()
{
    unsigned char bytes[16];
    int sig = 0;
    for (;;) {
        const ssize_t n = ::read(m_readFd, bytes, sizeof bytes);
        if (n > 0)
            sig = bytes[n - 1];
        else if (!(n < 0 && errno == EINTR))
            break;
    }
    if (sig == 0)
        return;
    if (!isSignalConnected(QMetaMethod::fromSignal(&ProcessGuard::terminationRequested))) {
        // Nobody to stop in order: stop here and end the way the signal would without us.
        writeEmergencyStop();
        writeCrashRow(false);
        ::signal(sig, SIG_DFL);
        ::raise(sig);
        return;
    }
    emit terminationRequested(sig);
    // Until the program has ended, a further request is the impatient kind.
    if (!programEnding())
        g_pending.store(0);
}

} // namespace vyt
