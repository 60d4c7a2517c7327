#pragma once
// The About dialog: program name, version, and the pumps and controllers it drives.
#include <QDialog>
#include <memory>

namespace Ui {
class frmAbout;
}

namespace vyt {

class frmAbout : public QDialog {
    Q_OBJECT
public:
    explicit frmAbout(QWidget *parent = nullptr);
    ~frmAbout() override;

    // Shows a fresh dialog modally over parent; nothing survives between showings.
    static void zeigen(QWidget *parent);

    // The description: the purpose, the pump types in catalog order, the controllers.
    [[nodiscard]] static QString description();

private:
    std::unique_ptr<Ui::frmAbout> m_ui;
};

// The program's logo, also the icon of the dialogs.
[[nodiscard]] QIcon programIcon();

} // namespace vyt
