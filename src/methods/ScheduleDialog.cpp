#include "methods/ScheduleDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace vyt {

namespace {
constexpr int kMaxEvery = 100000;
constexpr int kMaxCount = 100000;
const char *const kFormat = "yyyy-MM-dd HH:mm";
} // namespace

ScheduleDialog::ScheduleDialog(const QString &file, const QDateTime &now, QWidget *parent)
    : QDialog(parent), m_file(file)
{
    setObjectName(QStringLiteral("frmSchedule"));
    setWindowTitle(tr("Schedule method"));
    setModal(false);
    auto *layout = new QVBoxLayout(this);
    auto *name = new QLabel(QDir::toNativeSeparators(QFileInfo(file).absoluteFilePath()), this);
    name->setTextFormat(Qt::PlainText);
    name->setWordWrap(true);
    name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addWidget(name);

    auto *form = new QFormLayout;
    const QDateTime hour(now.date(), QTime(now.time().hour(), 0));
    m_first = new QDateTimeEdit(hour.addSecs(3600), this);
    m_first->setObjectName(QStringLiteral("dtFirst"));
    m_first->setDisplayFormat(QLatin1String(kFormat));
    m_first->setCalendarPopup(true);
    form->addRow(tr("&First start:"), m_first);

    auto *everyRow = new QHBoxLayout;
    m_every = new QSpinBox(this);
    m_every->setObjectName(QStringLiteral("spnEvery"));
    m_every->setRange(0, kMaxEvery);
    m_every->setSpecialValueText(tr("once"));
    m_everyUnit = new QComboBox(this);
    m_everyUnit->setObjectName(QStringLiteral("cboEveryUnit"));
    m_everyUnit->addItems({tr("minutes"), tr("hours")});
    m_everyUnit->setFocusPolicy(Qt::StrongFocus);
    everyRow->addWidget(m_every);
    everyRow->addWidget(m_everyUnit);
    form->addRow(tr("&Every:"), everyRow);

    m_count = new QSpinBox(this);
    m_count->setObjectName(QStringLiteral("spnCount"));
    m_count->setRange(0, kMaxCount);
    m_count->setSpecialValueText(tr("no limit"));
    form->addRow(tr("&Starts at most:"), m_count);

    auto *untilRow = new QHBoxLayout;
    m_untilOn = new QCheckBox(tr("&Until"), this);
    m_untilOn->setObjectName(QStringLiteral("chkUntil"));
    m_until = new QDateTimeEdit(hour.addDays(1), this);
    m_until->setObjectName(QStringLiteral("dtUntil"));
    m_until->setDisplayFormat(QLatin1String(kFormat));
    m_until->setCalendarPopup(true);
    m_until->setEnabled(false);
    connect(m_untilOn, &QCheckBox::toggled, m_until, &QWidget::setEnabled);
    untilRow->addWidget(m_untilOn);
    untilRow->addWidget(m_until);
    form->addRow(QString(), untilRow);
    layout->addLayout(form);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("cmdScheduleOk"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cmdScheduleCancel"));
    connect(buttons, &QDialogButtonBox::accepted, this, [this] { emit chosen(schedule()); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

MethodSchedule ScheduleDialog::schedule() const
{
    MethodSchedule s;
    s.file = m_file;
    s.first = m_first->dateTime();
    s.everyMinutes = m_every->value() * (m_everyUnit->currentIndex() == 1 ? 60 : 1);
    s.count = m_count->value();
    if (m_untilOn->isChecked())
        s.until = m_until->dateTime();
    s.active = true;
    return s;
}

} // namespace vyt
