#include "apppaths.h"

#include "release/sitelayout.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <unistd.h>

namespace update {

AppPaths AppPaths::ofExecutable()
{
    QByteArray target(PATH_MAX, Qt::Uninitialized);
    const ssize_t n = ::readlink("/proc/self/exe", target.data(), std::size_t(target.size()));
    if (n <= 0 || n >= target.size())
        return AppPaths(platform::Error::fromErrno(n < 0 ? errno : ENAMETOOLONG, QStringLiteral("/proc/self/exe")));
    target.truncate(n);
    return ofExecutablePath(target);
}

AppPaths AppPaths::ofExecutablePath(const QByteArray &exePath)
{
    const qsizetype slash = exePath.lastIndexOf('/');
    if (slash < 0)
        return AppPaths(platform::Error(platform::Error::Code::PathNotFound, QString::fromLatin1(exePath)));
    const QByteArray folder = slash == 0 ? QByteArray("/") : exePath.left(slash);
    const QString name = QFile::decodeName(folder);
    // Every file operation encodes the name again: it must give the very same bytes.
    if (QFile::encodeName(name) != folder)
        return AppPaths(platform::Error(platform::Error::Code::FileAccess, name,
                                        QStringLiteral("程序所在文件夹的名称无法用系统编码表示")));
    return AppPaths(name);
}

const QString &AppPaths::folder() const
{
    if (m_problem)
        throw *m_problem;
    return m_folder;
}

QString AppPaths::path(QStringView suffix) const
{
    QString local = suffix.toString();
    local.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return folder() + local;
}

QString AppPaths::file(const QString &name) const
{
    return folder() + QLatin1Char('/') + name;
}

QString AppPaths::workingFile(const QString &name) const
{
    return folder() + QLatin1Char('/') + sitelayout::workingFolder + QLatin1Char('/') + name;
}

} // namespace update
