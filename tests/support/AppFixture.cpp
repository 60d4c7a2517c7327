#include "support/AppFixture.h"

#include "config/SettingsStore.h"
#include "main/MediaList.h"
#include "link/ControllerLink.h"
#include "session/Wait.h"
#include "support/LineWait.h"

#include <QApplication>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

namespace vyt::test {

AppFixture::AppFixture(int port, bool startNow) : m_sim(port), m_port(port)
{
    m_ends = std::make_unique<EndRecorder>();
    m_window = std::make_unique<frmPumpensteuerung>();
    answerNamesFromScript();
    if (startNow)
        start();
}

AppFixture::~AppFixture() = default;

bool AppFixture::start()
{
    // OK for the port dialog; should the port fail to open, the dialog comes again after
    // the error: a second OK retries, a third time Cancel, so that the test fails at once
    // with the error recorded instead of hanging on the dialog. Only while laden() runs.
    QObject answerer;
    int answered = 0;
    bool clicking = false; // a click is on its way: the dialog seen is the one it closes
    auto *timer = new QTimer(&answerer);
    QObject::connect(timer, &QTimer::timeout, &answerer, [&] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (clicking || !dialog || !dialog->isVisible() ||
            dialog->objectName() != QLatin1String("frmSchnittstelle"))
            return;
        const char *button = ++answered < 3 ? "cmdOK" : "cmdCancel";
        QPointer<QPushButton> b = dialog->findChild<QPushButton *>(QString::fromLatin1(button));
        clicking = true;
        QTimer::singleShot(0, &answerer, [&clicking, b] {
            clicking = false;
            if (b)
                b->click();
        });
    });
    timer->start(20);
    const bool ok = m_window->laden();
    if (answered > 1)
        qWarning("The port dialog came %d times; messages: %s", answered,
                 qPrintable(m_messages.texts().join(QLatin1String(" | "))));
    if (ok) {
        // The offscreen platform keeps the hidden port dialog as the focus window.
        QApplication::setActiveWindow(m_window.get());
        (void)QTest::qWaitForWindowActive(m_window.get(), 2000);
        if (QWidget *f = m_window->focusWidget())
            f->setFocus();
    }
    return ok;
}

void AppFixture::answerNamesFromScript()
{
    m_window->media().askName = [this](QWidget *, const QString &title, const QString &,
                                       const QString &) -> std::optional<QString> {
        askedNames.append(title);
        if (names.isEmpty())
            return std::nullopt;
        return names.takeFirst();
    };
}

bool AppFixture::restart()
{
    m_window.reset();
    m_ends.reset(); // the old recorder uninstalls itself: before the new one installs
    m_ends = std::make_unique<EndRecorder>();
    m_sim.sim().clearReceived();
    m_window = std::make_unique<frmPumpensteuerung>();
    answerNamesFromScript();
    return start();
}

void AppFixture::primeController()
{
    (void)readReply(window().link(), QStringLiteral("VER"));
    window().link().ParameterSetzen();
    (void)sentSoFar();
    sim().clearReceived();
}

QStringList AppFixture::sentSoFar()
{
    static const QString kMarker = QStringLiteral("ZZ");
    window().link().BefehlSenden(kMarker);
    if (!waitForLine(sim(), kMarker))
        return {QStringLiteral("<marker never arrived>")};
    QStringList lines = sim().receivedLines();
    lines.removeAll(kMarker);
    return lines;
}

bool AppFixture::waitForRunEnd(int timeoutMs)
{
        // A real event loop, not a sleeping poll: a flood on the line is read as fast as the
    // program reads it, and the end is seen the moment the session tells it.
    if (!m_window->running())
        return true;
    QEventLoop loop;
    QTimer deadline, look;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&look, &QTimer::timeout, &loop, [this, &loop] {
        if (!m_window->running())
            loop.quit();
    });
    Session &session = m_window->session();
    QObject::connect(&session, &Session::runEnded, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    QObject::connect(&session, &Session::startFailed, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    deadline.start(timeoutMs);
    look.start(5);
    loop.exec();
    return !m_window->running();
}

void AppFixture::enter(const char *field, const QString &text)
{
    auto *edit = find<QLineEdit>(field);
    Q_ASSERT(edit);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Tab);
}

void storeValue(const QString &section, const QString &key, const QString &value)
{
    auto store = openStore();
    store->beginGroup(section);
    store->setValue(key, value);
    store->endGroup();
    store->sync();
}

QString storedValue(const QString &section, const QString &key)
{
    auto store = openStore();
    return readStoreText(*store, section, key);
}

} // namespace vyt::test
