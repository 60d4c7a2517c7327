#pragma once
// The run history: the journal's rows, newest first, filtered by mode and period,
// exported as CSV; new runs appear while the window is open.
#include <QStringList>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <memory>

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

    // The outside world, replaceable for tests: QFileDialog::getSaveFileName and
    // QDesktopServices::openUrl by default.
    std::function<QString(QWidget *parent, const QString &caption, const QString &dir,
                          const QString &filter)>
        saveFileName;
    std::function<bool(const QUrl &url)> openUrl;

    // Reads the journal again (the rotated runs.csv.1 first, then runs.csv).
    void reload();
    // The rows Export writes: the selected ones, or all shown when none is selected,
    // in the order shown, each field as the journal holds it.
    [[nodiscard]] QList<QStringList> rowsToExport() const;
    // Writes those rows with the header; false and a reason when the file fails.
    [[nodiscard]] bool exportTo(const QString &file, QString *error = nullptr) const;

private:
    void exportRows();
    void openFolder();
    void applyFilter();
    void addRecord(const RunRecord &record);
    void updateCount();

    std::unique_ptr<Ui::frmHistory> m_ui;
    QString m_path;
    QString m_rotatedPath;
    QString m_lastExportFolder;
    RunTableModel *m_model = nullptr;
    RunFilterModel *m_proxy = nullptr;
    QString m_readError;
};

} // namespace vyt
