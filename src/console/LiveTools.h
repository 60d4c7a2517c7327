#pragma once
// The console's live plot and value log: the "Plot…" and "Log to file…" buttons, fed
// by each polling cycle's values. Kept apart from the console's designed behaviour.
#include <QObject>
#include <QPointer>
#include <functional>

class QPushButton;
class QRect;
class QSize;

namespace vyt {

// Where the live plot opens, as a frame rectangle on area: beside the console where the
// screen has room, else below or above it, else over the console's lower right, never over
// kept (its terminal and function keys) unless the screen is too small for the plot's
// least size. wanted and least include the frame.
[[nodiscard]] QRect livePlotPlace(const QRect &area, const QRect &console, const QRect &kept,
                                  const QSize &wanted, const QSize &least);

class frmDirekt;
class frmLivePlot;
class LiveValueLog;
struct PumpState;

class LiveTools : public QObject {
    Q_OBJECT
public:
    // Asks where a log goes, starting at the suggested file, and calls chosen with the
    // file, or with an empty text when the operator cancels. Must not block: polling
    // goes on while the operator chooses.
    using SaveFileChooser = std::function<void(QWidget *parent, const QString &suggested,
                                               std::function<void(const QString &)> chosen)>;

    LiveTools(const PumpState &state, frmDirekt &console, QPushButton *plotButton,
              QPushButton *logButton);
    ~LiveTools() override;

    // The outside world, replaceable for tests: a file dialog by default.
    SaveFileChooser chooseLogFile;

    // The plot window, once opened.
    [[nodiscard]] frmLivePlot *plot() const;
    [[nodiscard]] LiveValueLog &log() const { return *m_log; }

    void openPlot();
    // Starts a log (asking for the file) or stops the running one.
    void toggleLog();

private:
    void liveValues(qint32 rpm, qint32 mA, const QString &faultFlags);
    void startLog(const QString &file);
    void showLogState();
    void placeButtons();
    void placePlot();
    [[nodiscard]] QRect keptArea() const;
    void reportLater(const QString &text);

    const PumpState &m_state;
    frmDirekt &m_console;
    QPushButton *m_plotButton;
    QPushButton *m_logButton;
    QPointer<frmLivePlot> m_plot;
    LiveValueLog *m_log;
    bool m_choosing = false;
};

} // namespace vyt
