#pragma once
// The named media of the port and pump type in force: a list below the calibration
// factor that fills density and factor as if typed, and a menu that saves, renames
// and deletes them. Without a saved medium the row stays hidden: the calibration helper
// saves the first.
#include "config/MediaPresets.h"

#include <QObject>
#include <functional>
#include <optional>

class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QToolButton;
class QWidget;

namespace vyt {

class FieldValidation;
struct PumpState;

class MediaList : public QObject {
    Q_OBJECT
public:
    struct Fields {
        QLineEdit *density = nullptr;
        QLineEdit *factor = nullptr;
    };
    // Puts its label, list and button into row `row` of `grid`.
    MediaList(PumpState &state, FieldValidation &validation, Fields fields, QGridLayout *grid,
              int row, QWidget *parent);

    // The outside world, replaceable for tests: QInputDialog::getText by default;
    // nullopt when the operator cancelled.
    std::function<std::optional<QString>(QWidget *parent, const QString &title,
                                         const QString &label, const QString &text)>
        askName;

    // Reads the media of the port and type in force again and marks the one in the fields.
    void reload();
    // Marks the medium whose density and factor the fields hold, or none.
    void followValues();
    // The medium marked in the list, empty when none.
    [[nodiscard]] QString currentName() const;
    [[nodiscard]] const QList<MediumPreset> &media() const { return m_media; }

    // Fills density and factor from the named medium through the fields' checks.
    bool select(const QString &name);
    // Saves the values in force under a name the operator gives (offered: `suggestion`).
    bool saveCurrentAs(const QString &suggestion = QString());
    bool renameCurrent();
    bool deleteCurrent();
    // After a calibration: asks whether the new factor goes with the medium that was
    // marked before it (`medium`), or, when none was, into a new one.
    void offerFactor(const QString &medium);

private:
    [[nodiscard]] std::optional<QString> askForName(const QString &title, const QString &text);
    [[nodiscard]] bool store(const MediumPreset &medium);
    [[nodiscard]] bool report(bool ok, const QString &reason);
    [[nodiscard]] int indexOf(const QString &name) const;
    void fillList();
    void updateMenu();

    PumpState &m_state;
    FieldValidation &m_validation;
    Fields m_fields;
    QWidget *m_window;
    QLabel *m_label;
    QComboBox *m_list;
    QToolButton *m_menuButton;
    QList<MediumPreset> m_media;
    bool m_selecting = false; // the fields are being filled from a medium
};

} // namespace vyt
