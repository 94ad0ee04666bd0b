#pragma once

#include "frmdownloadcontrols.h"
#include "retrycountdown.h"

#include "download/cls_download.h"
#include "app/widgets/label.h"
#include "app/widgets/messagebox.h"
#include "app/widgets/progressbar.h"
#include "app/widgets/repaintscheduler.h"
#include "app/widgets/textbox.h"
#include "update/updaterun.h"
#include "update/updatewindow.h"

#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>

// The update window: the banner, the list of downloaded files, the progress
// bar, the size, the speed, the status line and the two buttons.
class frmDownLoad : public QWidget, public update::UpdateWindow
{
    Q_OBJECT

public:
    explicit frmDownLoad(update::AppPaths paths = update::AppPaths::ofExecutable(), QString baseUrl = defaultBaseUrl(),
                         std::shared_ptr<platform::HttpClient> httpClient = std::make_shared<platform::HttpClient>(),
                         std::optional<release::KeyRing> publisherKey = defaultPublisherKey());

    static QString defaultBaseUrl();
    // The keys compiled in; none in unsigned mode.
    static std::optional<release::KeyRing> defaultPublisherKey();

    // UpdateWindow
    void setStatusLine(const QString &text) override { m_retryCountdown.setStatus(text); }
    void appendToList(const QString &text) override { txtInShow.append(text); }
    void runEnded(const update::RunOutcome &outcome) override;

    // The values the controls and fields hold now, as the receivers read them back.
    const widgets::Label &statusLine() const { return lblZt; }
    const widgets::Label &sizeLabel() const { return lblMax; }
    const widgets::Label &speedLabel() const { return lblT; }
    const widgets::Label &amountLabel() const { return lblNum; }
    const widgets::ProgressBar &progressBar() const { return Uload; }
    const widgets::TextBox &fileList() const { return txtInShow; }
    // The text of the engine's most recent status event.
    const QString &lastStatusText() const { return sStateText; }
    std::int32_t speedKb() const { return lSpeedKb; }
    const update::UpdateRun &updateRun() const { return m_run; }
    // The engine whose events the window shows, for those who watch them too.
    download::Cls_DownLoad &engine() { return Cdf; }

    // Receivers of the engine's events.
    void Cdf_entDLFileStatus(std::int32_t TmpState);
    void Cdf_entDLFileDowning(const QString &sRemoteURL, std::int32_t lDownLoaded, std::int32_t lFilesize,
                              std::int32_t lSpeed);

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    // Unloading the window ends the program at once.
    virtual void unload();

private:
    void showMessage(const QString &text, const QString &title, widgets::MessageStyle style);
    void Command1_Click();
    void Command2_Click();
    void Timer1_Timer();

    frmDownLoadControls m_controls;
    QTimer Timer1;

    // What the code writes and reads back, painted at a human pace.
    widgets::RepaintScheduler m_repaint;
    widgets::Label lblZt;
    widgets::Label lblMax;
    widgets::Label lblT;
    widgets::Label lblNum;
    widgets::ProgressBar Uload;
    widgets::TextBox txtInShow;

    download::Cls_DownLoad Cdf;
    RetryCountdown m_retryCountdown;
    QString sStateText;
    std::int32_t lSpeedKb = 0;
    update::UpdateRun m_run;
    QChar m_decimalPoint;
    // The size caption and bar maximum of the size last shown.
    std::optional<std::int32_t> m_shownFilesize;
    QString m_sizeCaption;
    float m_sizeMax = 0;
    bool m_centred = false;
};
