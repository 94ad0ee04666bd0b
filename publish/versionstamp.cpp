#include "versionstamp.h"

#include "platform/core/error.h"
#include "platform/text/numbers.h"

#include <QRegularExpression>

#include <cmath>

using platform::Error;

namespace publish {

void checkVersion(const QString &version, const QByteArray &currentStamp, const platform::CodePage &codePage)
{
    static const QRegularExpression plainNumber(QStringLiteral("^[0-9]+(\\.[0-9]+)?$"));
    const QString subject = QStringLiteral("--version %1").arg(version);
    const auto refuse = [&](const QString &rule) { throw Error(Error::Code::InvalidArgument, subject, rule); };
    if (!plainNumber.match(version).hasMatch())
        refuse(QStringLiteral("the version must be a decimal number such as 2 or 2.5"));
    const double value = platform::numbers::valueOf(version);
    if (!std::isfinite(value))
        refuse(QStringLiteral("the version is too large a number"));
    if (value == 0)
        refuse(QStringLiteral("the version must not be 0: a stamp without a number reads as 0"));
    if (!currentStamp.isEmpty() && platform::numbers::valueOf(codePage.decode(currentStamp)) == value)
        refuse(QStringLiteral("the site's stamp %1 has the same value, so no client would update")
                   .arg(codePage.decode(currentStamp).trimmed()));
}

QByteArray stampText(const QString &version, const platform::CodePage &codePage)
{
    return codePage.encode(version) + "\r\n";
}

QByteArray localStamp(const QByteArray &stamp, const QString &where, const platform::CodePage &codePage)
{
    if (stamp.isEmpty())
        throw Error(Error::Code::FileNotFound, where,
                    QStringLiteral("the site has no stamp; publish a release into it first"));
    const QString text = codePage.decode(stamp);
    const QString line = text.section(QRegularExpression(QStringLiteral("[\r\n]")), 0, 0).trimmed();
    const double value = platform::numbers::valueOf(line);
    if (value == 0 || value != platform::numbers::valueOf(text))
        throw Error(Error::Code::InvalidArgument, where,
                    QStringLiteral("the stamp's first line holds no number that a client reads as the stamp's value"));
    return stampText(line, codePage);
}

} // namespace publish
