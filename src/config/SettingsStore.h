#pragma once
// The per-user settings store: ~/.config/vyt/vyt.conf on Linux, one group per
// section. Every value is text in the program's own number form.
#include <QSettings>
#include <memory>

namespace vyt {

constexpr const char *kStoreName = "vyt";

[[nodiscard]] std::unique_ptr<QSettings> openStore();

// The stored text of section/key, or an empty string.
[[nodiscard]] QString readStoreText(QSettings &store, const QString &section, const QString &key);

} // namespace vyt
