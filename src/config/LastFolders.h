#pragma once
// Where each kind of file was last saved or opened, so that its file chooser starts
// there the next time, also after a restart. Kept in the store's own section [Folders].
#include <QString>

namespace vyt {

enum class FileKind {
    Export,     // the run history's CSV export
    ValueLog,   // the console's value log
    Parameters, // drive-parameter backups, saved and opened
    Transcript, // the console's transcript
    Method,     // method documents, saved and opened; they start in the methods folder
};

// The program's data folder (runs.csv, value logs): the choosers' start before any save.
[[nodiscard]] QString dataFolder();

// The folder that kind was last saved in or opened from, while it exists; else the data
// folder (methods: the methods folder), made if missing so that a file dialog can open in it.
[[nodiscard]] QString lastFolder(FileKind kind);

// Where a chooser for kind starts: the suggested file name in lastFolder(kind).
[[nodiscard]] QString startPath(FileKind kind, const QString &fileName);

// Keeps the folder of file for kind; call it after the save or open succeeded. A store
// that cannot be written keeps the folder it had: the next chooser starts there.
void rememberFolder(FileKind kind, const QString &file);

} // namespace vyt
