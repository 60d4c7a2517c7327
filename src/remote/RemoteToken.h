#pragma once
// The remote-control token: 32 random bytes as hex in "remote-token" beside vyt.conf,
// readable by the operator's account only. A request without it is refused.
#include <QByteArray>
#include <QString>

namespace vyt {

// What load() needs to know of the token file, as lstat/fstat tell it.
struct TokenFileFacts {
    bool symlink = false;
    bool regular = true;
    uint owner = 0;
    uint user = 0;
    uint mode = 0600;
    qint64 size = 0;
};

// A token file holds a 64-digit token and a line end, with room for stray blanks.
constexpr qint64 kMaxTokenFileBytes = 256;

// Why a token file is not to be used ("is a symbolic link"), or empty when it may be.
[[nodiscard]] QString tokenFileProblem(const TokenFileFacts &facts);

class RemoteToken {
public:
    static constexpr int kBytes = 32;

    // remote-token in the settings folder (beside vyt.conf).
    [[nodiscard]] static QString defaultPath();

    // Reads the token, or makes one (mode 0600) when there is none. False with the
    // reason in error() when the file cannot be made, holds no token, or is no private
    // regular file of the user's (a link, a FIFO, a mode that cannot be made 0600).
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
    bool refuse(const QString &why);
    // The file's bytes once it is known to be a private regular file; error() otherwise.
    QByteArray readPrivate(int fd);

    QString m_path;
    QByteArray m_value;
    QString m_error;
};

// Compares without an early exit; the length of expected sets the time.
[[nodiscard]] bool equalInConstantTime(const QByteArray &given, const QByteArray &expected);

} // namespace vyt
