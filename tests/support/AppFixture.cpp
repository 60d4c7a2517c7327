#include "support/AppFixture.h"

#include "config/SettingsStore.h"
#include "main/MediaList.h"
#include "ui/Wait.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>

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
    onNextModal([](QWidget *dialog) {
        if (auto *ok = dialog->findChild<QPushButton *>(QStringLiteral("cmdOK")))
            ok->click();
    });
    const bool ok = m_window->laden();
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

bool AppFixture::waitForRunEnd(int timeoutMs)
{
    // The program's own wait: woken when the run ends, so timing measured around it holds.
    return waitUntil([this] { return !m_window->running(); }, timeoutMs) == WaitEnd::Done;
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
