#include "frmdownload.h"

#include "endatonce.h"
#include "platform/core/config.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLocale>
#include <QScreen>

frmDownLoad::frmDownLoad(update::AppPaths paths, QString baseUrl, std::shared_ptr<platform::HttpClient> httpClient,
                         std::optional<release::KeyRing> publisherKey)
    : QWidget(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                           | Qt::WindowSystemMenuHint | Qt::MSWindowsFixedSizeDialogHint),
      m_controls(*this), lblZt(m_controls.lblZt, m_repaint, true), lblMax(m_controls.lblMax, m_repaint, true),
      lblT(m_controls.lblT, m_repaint, true), lblNum(m_controls.lblNum, m_repaint, false),
      Uload(m_controls.Uload, m_repaint), txtInShow(m_controls.txtInShow, m_repaint), Cdf(std::move(httpClient)),
      m_retryCountdown(Cdf.httpClient().observers(), lblZt),
      m_run(*this, Cdf, std::move(paths), std::move(baseUrl), std::move(publisherKey))
{
    setWindowTitle(QStringLiteral("系统更新"));
    setWindowIcon(QIcon(QStringLiteral(":/assets/updater.ico")));
    setFixedSize(frmDownLoadControls::clientWidth, frmDownLoadControls::clientHeight);
    m_controls.Picture1.setPixmap(QPixmap(QStringLiteral(":/assets/banner.gif")));
    m_controls.Picture1.resize(m_controls.Picture1.pixmap().size());

    const QString point = QLocale().decimalPoint();
    m_decimalPoint = point.isEmpty() ? QLatin1Char('.') : point.front();

    connect(&m_controls.Command1, &QPushButton::clicked, this, &frmDownLoad::Command1_Click);
    connect(&m_controls.Command2, &QPushButton::clicked, this, &frmDownLoad::Command2_Click);
    connect(&Cdf, &download::Cls_DownLoad::entDLFileStatus, this, &frmDownLoad::Cdf_entDLFileStatus,
            Qt::DirectConnection);
    connect(&Cdf, &download::Cls_DownLoad::entDLFileDowning, this, &frmDownLoad::Cdf_entDLFileDowning,
            Qt::DirectConnection);

    lblZt.fitWithin(m_controls.statusLineRoom());
    lblT.setCaption(QStringLiteral("0 kb/s"));
    Uload.setValue(0);
    m_repaint.refreshNow();

    Timer1.setInterval(500);
    connect(&Timer1, &QTimer::timeout, this, &frmDownLoad::Timer1_Timer);
    Timer1.start();
}

QString frmDownLoad::defaultBaseUrl()
{
    return QString::fromUtf8(config::baseUrl);
}

std::optional<release::KeyRing> frmDownLoad::defaultPublisherKey()
{
    // The build checked each key's form; this parse cannot fail on what it let through.
    if (QByteArrayView(config::publicKey).isEmpty())
        return std::nullopt;
    return release::KeyRing::fromText(config::publicKey, QStringLiteral("UPDATER_PUBLIC_KEY"));
}

void frmDownLoad::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_centred)
        return;
    m_centred = true;
    if (const QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    m_controls.Picture1.setFocus(Qt::OtherFocusReason);
}

void frmDownLoad::unload()
{
    endAtOnce();
}

void frmDownLoad::closeEvent(QCloseEvent *event)
{
    event->accept();
    m_run.cancelled();
    unload();
}

void frmDownLoad::Command1_Click()
{
    m_run.start();
}

void frmDownLoad::Command2_Click()
{
    try {
        m_run.cancelled();
        m_run.stopDownload();
    } catch (...) {
        // Cancel ends the program whatever the engine says.
    }
    endAtOnce();
}

void frmDownLoad::Timer1_Timer()
{
    lblT.setCaption(QString::number(lSpeedKb) + QStringLiteral(" kb/s"));
}
