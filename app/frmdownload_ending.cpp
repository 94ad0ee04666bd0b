// How the window ends an update run: its status line and closing message,
// then unload or stay open. The status line says in a few words what the
// message says.

#include "frmdownload.h"

#include "platform/core/config.h"
#include "update/errortext.h"

using update::RunOutcome;

namespace {

const QString messageTitle = QStringLiteral("系统提示");

} // namespace

void frmDownLoad::runEnded(const RunOutcome &outcome)
{
    // A refusal, a folder in use and a release being published leave the window open; every other end
    // unloads it once the user has closed its message.
    switch (outcome.end) {
    case RunOutcome::End::Refused:
        // The catch-all's message: what happened and what to do, no icon, the application's title. What
        // the error names and its cause are in the run's log.
        setStatusLine(update::whatHappened(*outcome.error));
        showMessage(update::refusalText(*outcome.error), QString::fromUtf8(config::appTitle),
                    widgets::MessageStyle::Plain);
        return;
    case RunOutcome::End::FolderInUse:
        setStatusLine(QStringLiteral("另一个更新正在进行"));
        showMessage(QStringLiteral("另一个更新正在进行,请稍后再试！"), messageTitle, widgets::MessageStyle::Information);
        return;
    case RunOutcome::End::BeingPublished:
        setStatusLine(QStringLiteral("服务器上的版本正在发布"));
        showMessage(QStringLiteral("服务器上的版本正在发布,请稍后再试！"), messageTitle,
                    widgets::MessageStyle::Information);
        return;
    case RunOutcome::End::UpToDate:
        setStatusLine(QStringLiteral("文件已是最新版本"));
        showMessage(QStringLiteral("文件已是最新版本,无需更新！"), messageTitle, widgets::MessageStyle::Information);
        break;
    case RunOutcome::End::UpdateFailure:
        // What failed after what to do; which file is in the run's log.
        setStatusLine(QStringLiteral("更新失败"));
        showMessage(outcome.downloadFailure
                        ? QStringLiteral("更新失败,请重新操作！\n") + update::refusalText(*outcome.downloadFailure)
                        : QStringLiteral("更新失败,请重新操作！"),
                    messageTitle, widgets::MessageStyle::Information);
        break;
    case RunOutcome::End::Installed:
        setStatusLine(QStringLiteral("已更新成最新版本"));
        showMessage(QStringLiteral("恭喜您：您已更新成最新版本,请重新登录系统！"), messageTitle,
                    widgets::MessageStyle::Information);
        break;
    }
    unload();
}

void frmDownLoad::showMessage(const QString &text, const QString &title, widgets::MessageStyle style)
{
    m_repaint.refreshNow();
    widgets::showMessage(this, text, title, style);
}
