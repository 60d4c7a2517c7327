#pragma once
// The remote-control token: 32 random bytes as hex in "remote-token" beside vyt.conf,
// readable by the operator's account only. A request without it is refused.
#include <QByteArray>
#include <QString>

namespace vyt {

class RemoteToken {
public:
    static constexpr int kBytes = 32;

    // remote-token in the settings folder (beside vyt.conf).
    [[nodiscard]] static QString defaultPath();

    // Reads the token, or makes one (mode 0600) when there is none. False with the
    // reason in error() when the file cannot be made or holds no token.
    bool load(const QString &path = defaultPath());
    [[nodiscard]] QString error() const { return m_error; }
    [[nodiscard]] QString path() const { return m_path; }
    [[nodiscard]] QByteArray value() const { return m_value; }

    // Whether an Authorization header carries this token ("Bearer <token>"). The time
    // taken depends on the token's length only, not on how much of it was right.
    [[nodiscard]] bool admits(const QByteArray &authorization) const;

private:
    bool create();
    bool fail(const QString &why);

    QString m_path;
    QByteArray m_value;
    QString m_error;
};

// Compares without an early exit; the length of expected sets the time.
[[nodiscard]] bool equalInConstantTime(const QByteArray &given, const QByteArray &expected);

} // namespace vyt
