#include "console/ParameterCompareDialog.h"

#include "ui/PlainText.h"

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

    auto *noteLabel = showsPlainText(new QLabel(this));
    noteLabel->setText(note);
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

    const QString summary = m_differences == 0 ? tr("All values agree with the controller's.")
                            : m_differences == 1
                                ? tr("1 value differs from the controller's.")
                                : tr("%1 values differ from the controller's.").arg(m_differences);
    auto *summaryLabel = new QLabel(summary, this);
    summaryLabel->setObjectName(QStringLiteral("lblCompareSummary"));
    layout->insertWidget(2, summaryLabel);

    // The whole table without scroll bars: the headers are measured before the first show.
    m_table->resizeColumnsToContents();
    m_table->resizeRowsToContents();
    int width = m_table->verticalHeader()->sizeHint().width() + 2 * m_table->frameWidth() + 2;
    for (int col = 0; col < m_table->columnCount(); ++col)
        width += m_table->columnWidth(col);
    int height = m_table->horizontalHeader()->sizeHint().height() + 2 * m_table->frameWidth() + 2;
    for (int row = 0; row < m_table->rowCount(); ++row)
        height += m_table->rowHeight(row);
    m_table->setMinimumSize(width, height);
    m_table->setMaximumHeight(height);
    // Nothing to select or edit: a current cell would only look like a highlight.
    m_table->setSelectionMode(QAbstractItemView::NoSelection);
    m_table->setFocusPolicy(Qt::NoFocus);
    m_table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_table->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
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
