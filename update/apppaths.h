#pragma once

#include <QString>
#include <QStringView>

// The application folder and the local paths formed on it. A suffix is
// written with backslashes, as the server's manifest writes its names; each
// backslash stands for the platform's folder separator.
class AppPaths
{
public:
    explicit AppPaths(QString folder) : m_folder(std::move(folder)) {}

    // The folder of the running executable.
    static AppPaths ofExecutable();

    const QString &folder() const { return m_folder; }
    QString path(QStringView suffix) const;

private:
    QString m_folder;
};
