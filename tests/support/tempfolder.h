#pragma once

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

// Small file helpers over a temporary folder that goes with the test.
class TempFolder
{
public:
    TempFolder() { m_dir.setAutoRemove(true); }

    QString path(const QString &name = {}) const
    {
        return name.isEmpty() ? m_dir.path() : m_dir.filePath(name);
    }

    QString write(const QString &name, const QByteArray &bytes) const { return writeFile(path(name), bytes); }
    QByteArray read(const QString &name) const { return readFile(path(name)); }

    static QString writeFile(const QString &file, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile out(file);
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            out.write(bytes);
        return file;
    }

    static QByteArray readFile(const QString &file)
    {
        QFile in(file);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    }

    bool exists(const QString &name) const { return QFileInfo::exists(path(name)); }

private:
    QTemporaryDir m_dir;
};

// Every entry below `root`, links not followed, as paths relative to it.
inline QStringList entriesBelow(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(root).relativeFilePath(it.next());
    return entries;
}

// Deterministic bytes of any length, so that a wrong offset shows.
inline QByteArray patternBytes(qsizetype size, int seed = 1)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 2463534242u + quint32(seed);
    for (qsizetype i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x);
    }
    return bytes;
}

// Makes the file at `file` (written first if missing) another user's, with
// `mode`, as a hostile local user would plant it. Only root can; false
// elsewhere, where the test skips.
inline bool plantForeignFile(const QString &file, mode_t mode, const QByteArray &bytes = "planted")
{
    if (::geteuid() != 0)
        return false;
    if (!QFileInfo::exists(file))
        TempFolder::writeFile(file, bytes);
    const QByteArray native = QFile::encodeName(file);
    constexpr uid_t nobody = 65534;
    return ::chown(native.constData(), nobody, nobody) == 0 && ::chmod(native.constData(), mode) == 0;
}
