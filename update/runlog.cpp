#include "runlog.h"

#include "errortext.h"
#include "platform/core/config.h"
#include "platform/text/visibletext.h"
#include "release/minisignformat.h"
#include "release/sitelayout.h"

#include <QDateTime>
#include <QDir>
#include <QUrl>

#include <chrono>
#include <cstdio>

namespace update {

namespace {

// "2026-12-09T13:04:05.120+08:00": the clock now, shown at `offset` seconds
// from UTC. Written beside the time, the offset keeps the instant right.
QByteArray localTime(int offset)
{
    using namespace std::chrono;
    const auto now = time_point_cast<milliseconds>(system_clock::now()) + seconds(offset);
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss time(now - day);
    const int minutes = std::abs(offset) / 60;
    char text[40];
    const int size = std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03d%c%02d:%02d",
                                   int(date.year()), unsigned(date.month()), unsigned(date.day()),
                                   int(time.hours().count()), int(time.minutes().count()),
                                   int(time.seconds().count()), int(time.subseconds().count()), offset < 0 ? '-' : '+',
                                   minutes / 60, minutes % 60);
    return QByteArray(text, size);
}

// The URL as the run wrote it, unless a user or a password in it would be
// given away: then without them.
QString shownUrl(const QString &url)
{
    const QUrl parsed(url);
    return parsed.userInfo().isEmpty() ? url : parsed.toString(QUrl::RemoveUserInfo);
}

// A value put into a line: each field is filled once from its value, by
// concatenation, never by substitution over text that holds a URL or what a
// server sent; what would not show as itself is escaped, so that no field
// forges another line or drives the reader's terminal.
QString field(const QString &value)
{
    return platform::visibleText(value);
}

// Text from the network, without the blanks and line end around it and of a
// length a log can hold; a line break or a quote inside is escaped.
QString quoted(const QString &text)
{
    return QLatin1Char('"') + field(text.trimmed().left(200)).replace(QLatin1Char('"'), QLatin1String("\\\""))
           + QLatin1Char('"');
}

// The error in full: what the user read, and the cause that it leaves out.
QString inFull(const platform::Error &error)
{
    QString text = update::describe(error);
    if (!error.detail().isEmpty() && !text.contains(error.detail()))
        text += QStringLiteral(" (") + error.detail().simplified() + QLatin1Char(')');
    return text;
}

QString endName(RunOutcome::End end)
{
    switch (end) {
    case RunOutcome::End::UpToDate: return QStringLiteral("up to date");
    case RunOutcome::End::Installed: return QStringLiteral("installed");
    case RunOutcome::End::UpdateFailure: return QStringLiteral("update failure (a download did not arrive whole)");
    case RunOutcome::End::Refused: return QStringLiteral("refused");
    case RunOutcome::End::FolderInUse: return QStringLiteral("folder in use");
    case RunOutcome::End::BeingPublished: return QStringLiteral("the server is between two releases");
    }
    return {};
}

} // namespace

RunLog::RunLog(const AppPaths &paths, platform::TransferObservers &transfers, const QString &logFolder)
    : m_folder(paths.folder()),
      m_file(AppPaths(logFolder.isEmpty() ? m_folder : logFolder).file(sitelayout::runLog),
             AppPaths(logFolder.isEmpty() ? m_folder : logFolder).file(sitelayout::olderRunLog),
             sitelayout::largestRunLog),
      m_registration(transfers, *this), m_utcOffset(QDateTime::currentDateTime().offsetFromUtc())
{
}

QString RunLog::userLogFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    const QString folder = state + QStringLiteral("/updater");
    QDir().mkpath(folder);
    return folder;
}

void RunLog::write(const QString &event)
{
    m_file.append(localTime(m_utcOffset) + ' ' + event.toUtf8());
}

void RunLog::started(const QString &baseUrl, const std::optional<release::KeyRing> &publisherKeys)
{
    QStringList keyIds;
    if (publisherKeys) {
        for (const release::PublicKey &key : publisherKeys->keys())
            keyIds << QString::fromLatin1(release::minisign::keyIdHex(key.keyId()));
    }
    const QString mode = publisherKeys ? QStringLiteral("signed, key ") + keyIds.join(QStringLiteral(", "))
                                       : QStringLiteral("unsigned");
    write(QStringLiteral("start updater ") + field(QString::fromUtf8(config::version)) + QStringLiteral(" (") + mode
          + QStringLiteral(") server ") + field(shownUrl(baseUrl)) + QStringLiteral(" folder ") + field(m_folder));
}

void RunLog::stampsCompared(const QString &remote, const QString &local, bool equal)
{
    write(QStringLiteral("stamps remote ") + quoted(remote) + QStringLiteral(" local ") + quoted(local)
          + (equal ? QStringLiteral(": equal") : QStringLiteral(": differ")));
}

void RunLog::formTaken(const FormTaken &taken)
{
    static const QString forms[] = {QStringLiteral("plain"), QStringLiteral("compressed"), QStringLiteral("patch")};
    write(QStringLiteral("form ") + field(taken.fileName) + QLatin1Char(' ') + forms[int(taken.form)]
          + QStringLiteral(" size ") + QString::number(taken.fileSize) + QStringLiteral(" downloaded ")
          + QString::number(taken.downloaded) + QStringLiteral(" saved ") + QString::number(taken.bytesSaved()));
}

void RunLog::installed(const QStringList &targets)
{
    for (const QString &target : targets)
        write(QStringLiteral("installed ") + field(nameOf(target)));
}

void RunLog::putBack(const QStringList &targets)
{
    for (const QString &target : targets)
        write(QStringLiteral("put back ") + field(nameOf(target)));
}

void RunLog::removed(const QStringList &targets, const QStringList &keptFolders)
{
    for (const QString &target : targets)
        write(QStringLiteral("removed ") + field(nameOf(target)));
    for (const QString &folder : keptFolders)
        write(QStringLiteral("kept folder, not empty ") + field(nameOf(folder)));
}

void RunLog::ended(const RunOutcome &outcome)
{
    if (outcome.error)
        write((outcome.end == RunOutcome::End::Refused ? QStringLiteral("refusal: ") : QStringLiteral("because: "))
              + field(inFull(*outcome.error)));
    write(QStringLiteral("end: ") + endName(outcome.end));
}

void RunLog::cancelled()
{
    write(QStringLiteral("end: cancelled"));
}

void RunLog::retryWaiting(const QString &url, const platform::Error &why, std::chrono::milliseconds wait)
{
    write(QStringLiteral("retry ") + field(shownUrl(url)) + QStringLiteral(" in ") + QString::number(wait.count())
          + QStringLiteral(" ms after: ") + field(inFull(why)));
}

void RunLog::retryStarted(const QString &url)
{
    Q_UNUSED(url);
}

void RunLog::transferEnded(const platform::TransferReport &report)
{
    QString line = QStringLiteral("request ") + field(shownUrl(report.url)) + QStringLiteral(" status ")
                   + QString::number(report.status) + QStringLiteral(" bytes ") + QString::number(report.bytes)
                   + QStringLiteral(" time ") + QString::number(report.elapsed.count()) + QStringLiteral(" ms attempts ")
                   + QString::number(report.attempts) + QStringLiteral(" resumes ") + QString::number(report.resumes);
    // The line names the URL already.
    if (report.failure)
        line += QStringLiteral(" failed: ")
                + field(inFull(platform::Error(report.failure->code(), {}, report.failure->detail())));
    else if (!report.finished)
        line += QStringLiteral(" given up before its end");
    write(line);
}

QString RunLog::nameOf(const QString &target) const
{
    return QDir(m_folder).relativeFilePath(target);
}

} // namespace update
