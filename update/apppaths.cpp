#include "apppaths.h"

#include <QCoreApplication>

AppPaths AppPaths::ofExecutable()
{
    return AppPaths(QCoreApplication::applicationDirPath());
}

QString AppPaths::path(QStringView suffix) const
{
    QString local = suffix.toString();
    local.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return m_folder + local;
}
