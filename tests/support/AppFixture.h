#pragma once
// Starts the real main window against the in-process simulator, the port dialog
// answered with OK, so a test drives the program as an operator would.
#include "main/frmPumpensteuerung.h"
#include "support/SimFixture.h"
#include "support/TestEnv.h"

#include <QLineEdit>
#include <memory>

namespace vyt::test {

class AppFixture {
public:
    // port: the Com entry the store names (the simulator is mapped to it).
    explicit AppFixture(int port = 1, bool startNow = true);
    ~AppFixture();

    bool start(); // runs the start-up sequence, answering the port dialog with OK
    // A new program on the same store, as after leaving and starting again.
    bool restart();
    [[nodiscard]] frmPumpensteuerung &window() { return *m_window; }
    [[nodiscard]] PumpState &state() { return m_window->state(); }
    [[nodiscard]] sim::ControllerSim &sim() { return m_sim.sim(); }
    [[nodiscard]] MessageRecorder &messages() { return m_messages; }
    [[nodiscard]] EndRecorder &ends() { return *m_ends; }

    template <typename T> T *find(const char *name) { return m_window->findChild<T *>(QString::fromLatin1(name)); }
    // Serves events until Start's checks and the run they started have ended.
    [[nodiscard]] bool waitForRunEnd(int timeoutMs = 60000);
    // Types text into a field and moves the focus away, as an operator does.
    void enter(const char *field, const QString &text);
    // The controller asked and given the limits, as before the first run, and what it
    // received so far forgotten.
    void primeController();
    // Every line the controller received so far, in order: a marker goes out behind them
    // and the line keeps the order.
    [[nodiscard]] QStringList sentSoFar();

    // Answers to the program's name questions, in order; none left answers Cancel.
    QStringList names;
    QStringList askedNames; // the titles of the questions asked

private:
    void answerNamesFromScript();
    SimFixture m_sim;
    MessageRecorder m_messages;
    std::unique_ptr<EndRecorder> m_ends;
    std::unique_ptr<frmPumpensteuerung> m_window;
    int m_port;
};

// Writes a key of a port's section in the test store.
void storeValue(const QString &section, const QString &key, const QString &value);
[[nodiscard]] QString storedValue(const QString &section, const QString &key);

} // namespace vyt::test
