#pragma once

#include <QByteArray>
#include <QDir>
#include <QTemporaryDir>

#include <sys/mount.h>

// A small file system of its own (tmpfs), for running out of space. Needs
// the right to mount; isMounted() says whether it could be made.
class SmallDisk
{
public:
    explicit SmallDisk(const QString &at, qint64 bytes) : m_at(at)
    {
        QDir().mkpath(at);
        const QByteArray options = "size=" + QByteArray::number(bytes);
        m_mounted = ::mount("tmpfs", QFile::encodeName(at).constData(), "tmpfs", 0, options.constData()) == 0;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_at).constData(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool isMounted() const { return m_mounted; }

private:
    QString m_at;
    bool m_mounted = false;
};
