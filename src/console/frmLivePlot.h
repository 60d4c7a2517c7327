#pragma once
// The console's live plot: speed and current over the last seconds to minutes, each on
// its own axis, with the pump's continuous and peak current limits as dashed lines.
// A window of its own beside the console; it draws once per polling cycle.
#include "console/SampleRing.h"

#include <QTimer>
#include <QWidget>
#include <memory>

class QLineSeries;
class QValueAxis;

namespace Ui {
class frmLivePlot;
}

namespace vyt {

struct PumpState;

class frmLivePlot : public QWidget {
    Q_OBJECT
public:
    // Ten minutes at the fastest poll (one cycle in 0.3 s), with room to spare.
    static constexpr int kRingCapacity = 4096;
    static constexpr int kDefaultSpanSeconds = 60;

    // A window of its own (not modal) even with a parent.
    explicit frmLivePlot(const PumpState &state, QWidget *parent = nullptr);
    ~frmLivePlot() override;

    // The spans offered, in seconds.
    [[nodiscard]] static QList<int> spans();
    void setSpanSeconds(int seconds);
    [[nodiscard]] int spanSeconds() const;
    void setPaused(bool paused);
    [[nodiscard]] bool isPaused() const { return m_paused; }
    void setAutoScale(bool on);
    [[nodiscard]] bool autoScale() const;

    void addSample(const LiveSample &sample);
    [[nodiscard]] const SampleRing &samples() const { return m_ring; }
    // How often the traces were drawn anew: at most once per sample while shown and
    // running, from the event loop soon after the sample came.
    [[nodiscard]] int redraws() const { return m_redraws; }
    [[nodiscard]] bool redrawPending() const { return m_redrawTimer.isActive(); }

    [[nodiscard]] QLineSeries *speedSeries() const { return m_speed; }
    [[nodiscard]] QLineSeries *currentSeries() const { return m_current; }
    [[nodiscard]] QLineSeries *continuousLimitSeries() const { return m_continuousLimit; }
    [[nodiscard]] QLineSeries *peakLimitSeries() const { return m_peakLimit; }
    [[nodiscard]] QValueAxis *timeAxis() const { return m_timeAxis; }
    [[nodiscard]] QValueAxis *speedAxis() const { return m_speedAxis; }
    [[nodiscard]] QValueAxis *currentAxis() const { return m_currentAxis; }

public slots:
    // A polling cycle's values, stamped with the program's clock.
    void liveValues(qint32 rpm, qint32 mA, const QString &faultFlags);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void buildChart();
    void redraw();
    void drawLimits(double fromS, double toS);
    void scaleAxes(double speedLo, double speedHi, double currentLo, double currentHi);
    [[nodiscard]] double seconds(qint64 ms) const { return double(ms - m_originMs) / 1000.0; }

    const PumpState &m_state;
    std::unique_ptr<Ui::frmLivePlot> m_ui;
    SampleRing m_ring{kRingCapacity};
    qint64 m_originMs = 0;
    qint64 m_pausedAtMs = 0;
    bool m_paused = false;
    int m_redraws = 0;
    QTimer m_redrawTimer;

    QLineSeries *m_speed = nullptr;
    QLineSeries *m_current = nullptr;
    QLineSeries *m_continuousLimit = nullptr;
    QLineSeries *m_peakLimit = nullptr;
    QValueAxis *m_timeAxis = nullptr;
    QValueAxis *m_speedAxis = nullptr;
    QValueAxis *m_currentAxis = nullptr;
};

} // namespace vyt
