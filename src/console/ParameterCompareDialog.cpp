#include "console/ParameterCompareDialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

namespace vyt {

ParameterCompareDialog::ParameterCompareDialog(const QString &title, const QString &note,
                                               const QList<ParameterColumn> &columns,
                                               QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("dlgParameterCompare"));
    setWindowTitle(title);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto *layout = new QVBoxLayout(this);

    auto *noteLabel = new QLabel(note, this);
    noteLabel->setObjectName(QStringLiteral("lblCompareNote"));
    noteLabel->setWordWrap(true);
    layout->addWidget(noteLabel);

    m_table = new QTableWidget(kDriveParameterCount, int(columns.size()), this);
    m_table->setObjectName(QStringLiteral("tblParameterCompare"));
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    fill(columns);
    layout->addWidget(m_table);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    auto *summary = new QLabel(m_differences == 0 ? tr("All values agree with the controller's.")
                                                  : tr("%n value(s) differ from the controller's.",
                                                       nullptr, m_differences),
                               this);
    summary->setObjectName(QStringLiteral("lblCompareSummary"));
    layout->insertWidget(2, summary);

    // Wide enough for the table without a scroll bar.
    m_table->resizeColumnsToContents();
    const int width = m_table->verticalHeader()->width() + m_table->horizontalHeader()->length() +
                      2 * m_table->frameWidth() + 4;
    const int height = m_table->horizontalHeader()->height() + m_table->verticalHeader()->length() +
                       2 * m_table->frameWidth() + 4;
    m_table->setMinimumSize(width, height);
}

void ParameterCompareDialog::fill(const QList<ParameterColumn> &columns)
{
    QStringList rows;
    for (const DriveParameter &p : kDriveParameters)
        rows << QStringLiteral("%1  %2").arg(QLatin1String(p.name), QString::fromUtf8(p.meaning));
    m_table->setVerticalHeaderLabels(rows);
    QStringList titles;
    for (const ParameterColumn &c : columns)
        titles << c.title;
    m_table->setHorizontalHeaderLabels(titles);

    for (int col = 0; col < columns.size(); ++col) {
        for (int row = 0; row < kDriveParameterCount; ++row) {
            const QString value = columns[col].values[row];
            auto *item = new QTableWidgetItem(value);
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            if (col > 0 && !sameValue(value, columns[0].values[row])) {
                ++m_differences;
                item->setBackground(kDifference);
                QFont bold = item->font();
                bold.setBold(true);
                item->setFont(bold);
                item->setToolTip(tr("The controller has %1.").arg(columns[0].values[row]));
            }
            m_table->setItem(row, col, item);
        }
    }
}

} // namespace vyt
