#pragma once
// The run history: the journal's rows, newest first, filtered by mode and period,
// exported as CSV; new runs appear while the window is open.
#include "ui/FileChooser.h"

#include <QStringList>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <memory>

class QLabel;

namespace Ui {
class frmHistory;
}

namespace vyt {

class RunJournal;
struct RunRecord;
class RunTableModel;
class RunFilterModel;

class frmHistory : public QWidget {
    Q_OBJECT
public:
    // A window of its own (not modal) even with a parent.
    explicit frmHistory(RunJournal &journal, QWidget *parent = nullptr);
    ~frmHistory() override;

    // The outside world, replaceable for tests: a file dialog and QDesktopServices::openUrl
    // by default.
    FileChooser saveFileName = saveFileChooser();
    std::function<bool(const QUrl &url)> openUrl;

    // A column is at most this wide for its contents, and a long device path or note
    // gives way first, down to kNarrowestColumn, when the columns do not fit the window.
    static constexpr int kWidestColumn = 300;
    static constexpr int kNarrowestColumn = 60;
    // The window's size that shows every column at the width its header and rows need,
    // and about twenty rows, within limit.
    [[nodiscard]] QSize fittingSize(const QSize &limit) const;
    // Gives the columns the widths they need, a long device or note narrowed so that they
    // fit the window's width.
    void fitColumns();
    void hideSideColumns();

    // Reads the journal again, newest rows first (runs.csv, then the rotated runs.csv.1);
    // the rest comes in as the table scrolls down.
    void reload();
    // The history reads as many rows as this at once, even when a filter hides them.
    static constexpr int kRowsToFill = 100;
    // The rows Export writes: the selected ones, or all shown when none is selected,
    // in the order shown, each field as the journal holds it.
    [[nodiscard]] QList<QStringList> rowsToExport() const;
    // Writes those rows with the header; false and a reason when the file fails.
    [[nodiscard]] bool exportTo(const QString &file, QString *error = nullptr) const;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    [[nodiscard]] QList<int> neededWidths() const;
    [[nodiscard]] int widthAroundColumns() const;
    void exportRows();
    void openFolder();
    void applyFilter();
    void addRecord(const RunRecord &record);
    void updateCount();
    void onFetched(const QString &error);
    void fillView();

    std::unique_ptr<Ui::frmHistory> m_ui;
    QString m_path;
    QString m_rotatedPath;
    QLabel *m_exportStatus = nullptr;
    RunTableModel *m_model = nullptr;
    RunFilterModel *m_proxy = nullptr;
    QString m_readError;
    bool m_fitted = false; // the columns were fitted on the first show
    bool m_refitOnRows = true; // once more when the first rows are in
    bool m_fitting = false;    // the program sets the widths now
    bool m_widthsSetByOperator = false;
    bool m_dropped = false; // closed: the rows were let go, the next show reads again
};

} // namespace vyt
