#pragma once
// The per-user settings store: ~/.config/vyt/vyt.conf on Linux, one group per
// section. Every value is text in the program's own number form.
#include "session/Notice.h"

#include <QSettings>
#include <functional>
#include <memory>

class QObject;

namespace vyt {

constexpr const char *kStoreName = "vyt";

[[nodiscard]] std::unique_ptr<QSettings> openStore();

// The stored text of section/key, or an empty string.
[[nodiscard]] QString readStoreText(QSettings &store, const QString &section, const QString &key);

// Every writer calls this before it writes into the store. A store file that cannot be
// read (an editor's UTF-16, NUL bytes, not UTF-8, lines QSettings cannot parse) is never
// written into: it is moved to a backup beside it and the operator told where, once,
// as the next writer finds no file. False when it could not be moved: write nothing then;
// the reason goes to *reason, or to the operator when reason is null. What the operator
// is told goes to the store's reporter, with asker (the window that writes, or null).
[[nodiscard]] bool prepareStoreForWriting(QObject *asker, QString *reason = nullptr);

// Hears what the store tells the operator; the window shows it as a message box over
// asker. Without one (no window) the notice goes to the log.
using StoreReporter = std::function<void(const Notice &notice, QObject *asker)>;
void setStoreReporter(StoreReporter reporter);

// Syncs a write and checks it: false with "The settings file ... could not be written."
// in *reason when the store did not take it.
[[nodiscard]] bool storeWritten(QSettings &store, QString *reason = nullptr);

// Removes what a save killed half way leaves beside the store: QSaveFile's temporary
// "vyt.conf.XXXXXX" (six letters or digits, the last one a digit of the process id).
// Only regular files of that name that have not changed for a minute, so that another
// instance's save in progress keeps its file; anything else beside the store stays.
// Returns how many were removed.
int removeLeftoverStoreTemporaries();

} // namespace vyt
