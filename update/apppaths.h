#pragma once

#include "platform/core/error.h"

#include <QString>
#include <QStringView>

#include <optional>

namespace update {

// The application folder and the local paths formed on it. A suffix is
// written with backslashes, as the server's manifest writes its names; each
// backslash stands for the platform's folder separator.
class AppPaths
{
public:
    explicit AppPaths(QString folder) : m_folder(std::move(folder)) {}

    // The folder of the running executable, from the path the kernel gives
    // for it. A folder that cannot be named exactly is never replaced by
    // another one: asking for its paths raises the error instead.
    static AppPaths ofExecutable();
    // The folder of the executable whose path is `exePath`, as bytes.
    static AppPaths ofExecutablePath(const QByteArray &exePath);

    const QString &folder() const;
    QString path(QStringView suffix) const;
    // A file directly in the application folder, and one in its working folder.
    QString file(const QString &name) const;
    QString workingFile(const QString &name) const;

private:
    explicit AppPaths(platform::Error problem) : m_problem(std::move(problem)) {}

    QString m_folder;
    std::optional<platform::Error> m_problem;
};

} // namespace update
