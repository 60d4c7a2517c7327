#include "methods/dlgMethodTrial.h"

#include "session/RunReport.h"
#include "ui/PlainText.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace vyt {

dlgMethodTrial::dlgMethodTrial(QWidget *parent)
    : QDialog(parent), m_lines(new QPlainTextEdit(this)), m_status(new QLabel(this)),
      m_stop(new QPushButton(tr("S&top trial"), this))
{
    setObjectName(QStringLiteral("dlgMethodTrial"));
    setWindowTitle(tr("Method on the simulator"));
    setModal(false);
    m_lines->setObjectName(QStringLiteral("txtTrialLines"));
    m_lines->setReadOnly(true);
    m_lines->setMaximumBlockCount(100000);
    m_lines->setMinimumSize(420, 320);
    m_status->setObjectName(QStringLiteral("lblTrialStatus"));
    m_status->setWordWrap(true);
    showsPlainText(m_status);
    m_stop->setObjectName(QStringLiteral("cmdStopTrial"));
    m_stop->setAutoDefault(false);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(m_stop, QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    connect(m_stop, &QPushButton::clicked, &m_trial, &MethodTrial::stop);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_lines);
    layout->addWidget(m_status);
    layout->addWidget(buttons);

    connect(&m_trial, &MethodTrial::lineReceived, this, [this](double seconds, const QString &command) {
        m_lines->appendPlainText(QStringLiteral("%1 s  %2").arg(seconds, 8, 'f', 3).arg(command));
    });
    connect(&m_trial, &MethodTrial::finished, this,
            [this](bool, const QString &why, double seconds) {
                m_stop->setEnabled(false);
                const QString estimate = m_estimate < 0 ? tr("until Stop")
                                                        : durationText(std::ceil(m_estimate));
                m_status->setText(tr("%1 It took %2 on the simulated controller; the estimate was %3.")
                                      .arg(why, durationText(std::ceil(seconds)), estimate));
            });
}

void dlgMethodTrial::tryMethod(const Method &method, const PumpState &values)
{
    m_lines->clear();
    MethodError error;
    const auto actions = planMethod(method, values, std::nullopt, &error);
    m_estimate = actions ? estimateMethod(*actions, values).seconds : 0;
    if (const auto refused = m_trial.start(method, values)) {
        m_status->setText(refused->text());
        m_stop->setEnabled(false);
    } else {
        m_status->setText(tr("Running on the simulated controller; the real pump does not move."));
        m_stop->setEnabled(true);
    }
    show();
    raise();
    activateWindow();
}

void dlgMethodTrial::closeEvent(QCloseEvent *event)
{
    m_trial.stop(); // closed: the trial ends with it
    QDialog::closeEvent(event);
}

} // namespace vyt
