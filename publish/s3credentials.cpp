#include "s3credentials.h"

#include "platform/core/error.h"

#include <QDir>
#include <QFile>

using platform::Error;

namespace publish {

std::optional<S3Credentials> credentialsInFile(const QByteArray &text, const QByteArray &profile)
{
    S3Credentials found;
    bool inProfile = false;
    for (QByteArray line : text.split('\n')) {
        line = line.trimmed();
        if (line.startsWith('[') && line.endsWith(']')) {
            inProfile = line.sliced(1, line.size() - 2).trimmed() == profile;
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (!inProfile || equals <= 0 || line.startsWith('#') || line.startsWith(';'))
            continue;
        const QByteArray name = line.left(equals).trimmed().toLower();
        const QByteArray value = line.mid(equals + 1).trimmed();
        if (name == "aws_access_key_id")
            found.accessKey = value;
        else if (name == "aws_secret_access_key")
            found.secretKey = value;
        else if (name == "aws_session_token")
            found.sessionToken = value;
    }
    if (found.accessKey.isEmpty() || found.secretKey.isEmpty())
        return std::nullopt;
    return found;
}

S3Credentials s3Credentials()
{
    const QByteArray access = qgetenv("AWS_ACCESS_KEY_ID");
    const QByteArray secret = qgetenv("AWS_SECRET_ACCESS_KEY");
    if (!access.isEmpty() && !secret.isEmpty())
        return {access, secret, qgetenv("AWS_SESSION_TOKEN")};
    const QString path = qEnvironmentVariableIsEmpty("AWS_SHARED_CREDENTIALS_FILE")
                             ? QDir::homePath() + QStringLiteral("/.aws/credentials")
                             : qEnvironmentVariable("AWS_SHARED_CREDENTIALS_FILE");
    const QByteArray profile =
        qEnvironmentVariableIsEmpty("AWS_PROFILE") ? QByteArray("default") : qgetenv("AWS_PROFILE");
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        if (auto found = credentialsInFile(file.read(1024 * 1024), profile))
            return *found;
    }
    throw Error(Error::Code::InvalidArgument, path,
                QStringLiteral("no credentials: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, or give profile "
                               "'%1' aws_access_key_id and aws_secret_access_key in this file")
                    .arg(QString::fromUtf8(profile)));
}

} // namespace publish
