// How the window ends an update run: its closing message, then unload or stay open.

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
        // The catch-all's message: the error's own description, no icon, the application's title.
        showMessage(update::describe(*outcome.error), QString::fromUtf8(config::appTitle), widgets::MessageStyle::Plain);
        return;
    case RunOutcome::End::FolderInUse:
        showMessage(QStringLiteral("另一个更新正在进行,请稍后再试！"), messageTitle, widgets::MessageStyle::Information);
        return;
    case RunOutcome::End::BeingPublished:
        showMessage(QStringLiteral("服务器上的版本正在发布,请稍后再试！"), messageTitle,
                    widgets::MessageStyle::Information);
        return;
    case RunOutcome::End::UpToDate:
        showMessage(QStringLiteral("文件已是最新版本,无需更新！"), messageTitle, widgets::MessageStyle::Information);
        break;
    case RunOutcome::End::UpdateFailure:
        // What failed, and which file, after what to do.
        showMessage(outcome.downloadFailure
                        ? QStringLiteral("更新失败,请重新操作！\n") + update::describe(*outcome.downloadFailure)
                        : QStringLiteral("更新失败,请重新操作！"),
                    messageTitle, widgets::MessageStyle::Information);
        break;
    case RunOutcome::End::Installed:
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
