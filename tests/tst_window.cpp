#include "app/frmdownload.h"
#include "app/progressposition.h"
#include "app/translations.h"
#include "download/status.h"
#include "platform/text/numbers.h"

#include "support/tempfolder.h"
#include "support/testserver.h"
#include "support/windowrun.h"

#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>

namespace {

QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

// Presses OK on every message box that opens, and remembers its text.
class MessageAnswerer : public QObject
{
public:
    MessageAnswerer()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                texts.append(box->text());
                widths.append(box->frameGeometry().width());
                families.append(QFontInfo(box->findChild<QLabel *>("qt_msgbox_label")->font()).family());
                box->button(QMessageBox::Ok)->click();
            }
        });
        m_timer.start(10);
    }
    QStringList texts;
    QList<int> widths;
    QStringList families;

private:
    QTimer m_timer;
};

} // namespace

Q_DECLARE_METATYPE(update::RunOutcome)

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void initialState();
    void layout();
    void windowFrame();
    void focusAndTabOrder();
    void escapeAndEnter();
    void statusTexts_data();
    void statusTexts();
    void progressResults_data();
    void progressResults();
    void positionWithoutTheText_data();
    void positionWithoutTheText();
    void refusedPositionKeepsTheLast();
    void smallerFileTakesTheBarDown();
    void noAnnouncedSize();
    void timerShowsTheLastSpeed();
    void realDownloadDrivesTheDisplay();
    void widgetsFollowAtHumanPace();
    void fileListGrowsAtItsEnd();
    void statusLineAndMessageAgree_data();
    void statusLineAndMessageAgree();
    void countdownFits_data();
    void countdownFits();

private:
    std::unique_ptr<frmDownLoad> m_window;
    TempFolder m_app;
};

void WindowTest::init()
{
    m_window = std::make_unique<frmDownLoad>(update::AppPaths(m_app.path()),
                                             QStringLiteral("http://127.0.0.1:%1/").arg(unusedPort()));
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void WindowTest::cleanup()
{
    m_window.reset();
}

void WindowTest::initialState()
{
    frmDownLoad &w = *m_window;
    QCOMPARE(w.windowTitle(), QStringLiteral("系统更新"));
    QCOMPARE(w.statusLine().caption(), QStringLiteral("当前状态：准备就绪"));
    QCOMPARE(w.sizeLabel().caption(), QStringLiteral("0"));
    QCOMPARE(w.speedLabel().caption(), QStringLiteral("0 kb/s"));
    QCOMPARE(w.amountLabel().caption(), QString());
    QCOMPARE(w.fileList().text(), QString());
    QCOMPARE(w.progressBar().value(), 0.0f);
    QCOMPARE(w.progressBar().max(), 100.0f);
    QCOMPARE(w.lastStatusText(), QString());
    QCOMPARE(w.findChild<QLabel *>("Label1")->text(), QStringLiteral("列表："));
    QCOMPARE(w.findChild<QLabel *>("Label2")->text(), QStringLiteral("文件大小："));
    QCOMPARE(w.findChild<QLabel *>("Label4")->text(), QStringLiteral("下载速度："));
    QCOMPARE(w.findChild<QPushButton *>("Command1")->text(), QStringLiteral("下载"));
    QCOMPARE(w.findChild<QPushButton *>("Command2")->text(), QStringLiteral("取消"));
    QVERIFY(!w.findChild<QLabel *>("lblNum")->isVisible());
    const auto *list = w.findChild<QPlainTextEdit *>("txtInShow");
    QVERIFY(list->isReadOnly());
    QCOMPARE(list->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(list->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(list->font().pixelSize(), 14);
    QCOMPARE(w.findChild<QLabel *>("Label1")->font().pixelSize(), 12);
    const QPixmap banner = w.findChild<QLabel *>("Picture1")->pixmap();
    QCOMPARE(banner.size(), QSize(97, 240));
    QVERIFY(!w.windowIcon().isNull());
}

void WindowTest::layout()
{
    frmDownLoad &w = *m_window;
    QCOMPARE(w.size(), QSize(439, 278));
    QCOMPARE(w.findChild<QWidget *>("Picture1")->geometry(), twips(360, 240, 1455, 3600));
    QCOMPARE(w.findChild<QWidget *>("Uload")->geometry(), twips(2040, 2640, 4215, 255));
    QCOMPARE(w.findChild<QWidget *>("txtInShow")->geometry(), twips(2040, 480, 4215, 2055));
    QCOMPARE(w.findChild<QWidget *>("Command1")->geometry(), twips(4560, 3360, 855, 375));
    QCOMPARE(w.findChild<QWidget *>("Command2")->geometry(), twips(5400, 3360, 855, 375));
    QCOMPARE(w.findChild<QWidget *>("lblNum")->geometry(), twips(6120, 3840, 450, 180));
    // Auto-size labels keep their left edge and vertical centre.
    const struct { const char *name; QRect designed; } labels[] = {
        {"Label1", twips(2040, 240, 540, 180)}, {"lblZt", twips(2040, 3600, 1620, 180)},
        {"Label2", twips(2160, 3000, 900, 180)}, {"lblMax", twips(3120, 3000, 90, 180)},
        {"Label4", twips(4560, 3000, 900, 180)}, {"lblT", twips(5520, 3000, 540, 180)},
    };
    for (const auto &label : labels) {
        const QRect actual = w.findChild<QWidget *>(label.name)->geometry();
        QCOMPARE(actual.left(), label.designed.left());
        QVERIFY2(qAbs(actual.center().y() - label.designed.center().y()) <= 1, label.name);
    }
    const QPalette status = w.findChild<QLabel *>("lblZt")->palette();
    QCOMPARE(status.color(QPalette::WindowText), QColor(64, 64, 64));
}

void WindowTest::windowFrame()
{
    const Qt::WindowFlags flags = m_window->windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool); // no taskbar entry
    QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
    const QRect screen = m_window->screen()->availableGeometry();
    QVERIFY(qAbs(m_window->frameGeometry().center().x() - screen.center().x()) <= 1);
    QVERIFY(qAbs(m_window->frameGeometry().center().y() - screen.center().y()) <= 1);
}

void WindowTest::focusAndTabOrder()
{
    frmDownLoad &w = *m_window;
    QApplication::setActiveWindow(&w);
    QTRY_COMPARE(QApplication::focusWidget(), w.findChild<QWidget *>("Picture1"));
    const QStringList expected = {"Command1", "Command2", "txtInShow", "Picture1", "Command1"};
    for (const QString &name : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), name);
    }
}

void WindowTest::escapeAndEnter()
{
    frmDownLoad &w = *m_window;
    QApplication::setActiveWindow(&w);
    auto *start = w.findChild<QPushButton *>("Command1");
    QSignalSpy pressed(start, &QPushButton::clicked);
    QTest::keyClick(&w, Qt::Key_Escape);
    QVERIFY(w.isVisible());
    QTest::keyClick(w.findChild<QWidget *>("Picture1"), Qt::Key_Return);
    QCOMPARE(pressed.count(), 0);

    // Enter on the focused start button starts a run; this one cannot reach
    // its server and ends through the failure message, the window open.
    MessageAnswerer answerer;
    start->setFocus();
    QTest::keyClick(start, Qt::Key_Return);
    QCOMPARE(pressed.count(), 1);
    QCOMPARE(answerer.texts.size(), 1);
    QVERIFY(answerer.texts[0].startsWith(QStringLiteral("网络请求失败")));
    QVERIFY(start->isEnabled());
    QVERIFY(w.isVisible());
    QCOMPARE(w.statusLine().caption(), QStringLiteral("网络请求失败"));
}

void WindowTest::statusTexts_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("1") << 1 << "连接服务器...";
    QTest::newRow("2") << 2 << "发送请求...";
    QTest::newRow("3") << 3 << "获取远程文件信息...";
    QTest::newRow("4") << 4 << "正在下载数据...";
    QTest::newRow("5") << 5 << "停止下载";
    QTest::newRow("6") << 6 << "下载完成";
    QTest::newRow("7") << 7 << "连接服务器失败";
    QTest::newRow("8") << 8 << "发送请求失败";
    QTest::newRow("9") << 9 << "连接服务器";
    QTest::newRow("0") << 0 << "下载被中止";
    QTest::newRow("10") << 10 << "下载被中止";
    QTest::newRow("-1") << -1 << "下载被中止";
}

void WindowTest::statusTexts()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    m_window->Cdf_entDLFileStatus(code);
    QCOMPARE(m_window->lastStatusText(), text);
    QCOMPARE(m_window->statusLine().caption(), QStringLiteral("连接状态： ") + text);
}

void WindowTest::progressResults_data()
{
    QTest::addColumn<int>("downloaded");
    QTest::addColumn<int>("filesize");
    QTest::addColumn<int>("speed");
    QTest::addColumn<QString>("size");
    QTest::addColumn<float>("max");
    QTest::addColumn<int>("speedKb");
    QTest::addColumn<QString>("amount");
    QTest::addColumn<float>("value");
    QTest::newRow("no size") << 0 << 0 << 0 << "0.00" << 0.0f << 0 << "0" << 0.0f;
    QTest::newRow("128 bytes") << 128 << 128 << 1025 << "0.13" << 0.13f << 1 << "0.125" << 0.1f;
    QTest::newRow("1536 of 1536") << 1536 << 1536 << 1536 << "1.50" << 1.5f << 2 << "1.5" << 1.5f;
    QTest::newRow("512 of 1536") << 512 << 1536 << 2560 << "1.50" << 1.5f << 2 << "0.5" << 0.5f;
    QTest::newRow("speed 3584") << 512 << 1536 << 3584 << "1.50" << 1.5f << 4 << "0.5" << 0.5f;
    QTest::newRow("speed 517") << 512 << 1536 << 517 << "1.50" << 1.5f << 0 << "0.5" << 0.5f;
    QTest::newRow("speed 518") << 512 << 1536 << 518 << "1.50" << 1.5f << 1 << "0.5" << 0.5f;
    QTest::newRow("1000 of 2048") << 1000 << 2048 << 1025 << "2.00" << 2.0f << 1 << "0.9765625" << 1.0f;
}

void WindowTest::progressResults()
{
    QFETCH(int, downloaded);
    QFETCH(int, filesize);
    QFETCH(int, speed);
    QFETCH(QString, size);
    QFETCH(float, max);
    QFETCH(int, speedKb);
    QFETCH(QString, amount);
    QFETCH(float, value);
    m_window->Cdf_entDLFileDowning(QString(), downloaded, filesize, speed);
    QCOMPARE(m_window->sizeLabel().caption(), size);
    QCOMPARE(m_window->progressBar().max(), max);
    QCOMPARE(m_window->speedKb(), speedKb);
    QCOMPARE(m_window->amountLabel().caption(), amount);
    QCOMPARE(m_window->progressBar().value(), value);
}

void WindowTest::positionWithoutTheText_data()
{
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("count");
    QTest::addColumn<qint64>("step");
    QTest::newRow("every amount up to 256 KB") << qint64(0) << qint64(1 << 18) << qint64(1);
    QTest::newRow("every amount below the largest, 17 digits") << qint64(INT32_MAX) - (1 << 18) + 1 << qint64(1 << 18)
                                                               << qint64(1);
    QTest::newRow("ties of one-decimal rounding") << qint64(0) << qint64(1 << 16) << qint64(256 * 4093);
    QTest::newRow("across the whole range") << qint64(7) << qint64(1 << 19) << qint64(4093);
}

// The bar's position, worked out from the amount, is the one that the rule
// reads from the amount's text.
void WindowTest::positionWithoutTheText()
{
    QFETCH(qint64, first);
    QFETCH(qint64, count);
    QFETCH(qint64, step);
    namespace num = platform::numbers;
    for (qint64 i = 0, d = first; i < count && d <= INT32_MAX; ++i, d += step) {
        const float byText = float(num::roundToDecimals(num::valueOf(num::formatGeneral(d / 1024.0)), 1));
        if (amountPosition(std::int32_t(d)) != byText)
            QFAIL(qPrintable(QString::number(d)));
    }
}

void WindowTest::refusedPositionKeepsTheLast()
{
    // A complete file of 1000 bytes: Max 0.98, the last amount rounds to 1.0.
    m_window->Cdf_entDLFileDowning(QString(), 512, 1000, 1025);
    QCOMPARE(m_window->progressBar().value(), 0.5f);
    m_window->Cdf_entDLFileDowning(QString(), 1000, 1000, 1025);
    QCOMPARE(m_window->sizeLabel().caption(), QStringLiteral("0.98"));
    QCOMPARE(m_window->progressBar().max(), 0.98f);
    QCOMPARE(m_window->amountLabel().caption(), QStringLiteral("0.9765625"));
    QCOMPARE(m_window->progressBar().value(), 0.5f);
}

void WindowTest::smallerFileTakesTheBarDown()
{
    m_window->Cdf_entDLFileDowning(QString(), 10240, 10240, 1025);
    QCOMPARE(m_window->progressBar().value(), 10.0f);
    m_window->Cdf_entDLFileDowning(QString(), 512, 1024, 1025);
    QCOMPARE(m_window->progressBar().max(), 1.0f);
    QCOMPARE(m_window->progressBar().value(), 0.5f);
}

void WindowTest::noAnnouncedSize()
{
    m_window->Cdf_entDLFileDowning(QString(), 512, 0, 1025);
    QCOMPARE(m_window->sizeLabel().caption(), QStringLiteral("0.00"));
    QCOMPARE(m_window->progressBar().max(), 0.0f);
    QCOMPARE(m_window->progressBar().value(), 0.0f);
    QCOMPARE(m_window->amountLabel().caption(), QStringLiteral("0.5"));
}

void WindowTest::timerShowsTheLastSpeed()
{
    m_window->Cdf_entDLFileDowning(QString(), 512, 1024, 37 * 1024);
    QCOMPARE(m_window->speedLabel().caption(), QStringLiteral("0 kb/s"));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->speedLabel().caption(), QStringLiteral("37 kb/s"), 2000);
    QTest::qWait(600);
    QCOMPARE(m_window->speedLabel().caption(), QStringLiteral("37 kb/s"));
}

void WindowTest::realDownloadDrivesTheDisplay()
{
    TestServer server;
    server.setFile("/f", patternBytes(1536));
    std::vector<std::int32_t> statuses;
    connect(&m_window->engine(), &download::Cls_DownLoad::entDLFileStatus, this,
            [&](std::int32_t s) { statuses.push_back(s); });
    QCOMPARE(m_window->engine().DLFile(server.url("f"), m_app.path("f"), 5000), 1536);
    QCOMPARE(statuses.size(), 6u);
    QCOMPARE(m_window->lastStatusText(), QStringLiteral("下载完成"));
    QCOMPARE(m_window->statusLine().caption(), QStringLiteral("连接状态： 下载完成"));
    QCOMPARE(m_window->sizeLabel().caption(), QStringLiteral("1.50"));
    QCOMPARE(m_window->amountLabel().caption(), QStringLiteral("1.5"));
    QCOMPARE(m_window->progressBar().value(), 1.5f);
    QCOMPARE(m_window->speedKb(), 1);

    // A failed URL keeps the figures of the download before it.
    QCOMPARE(m_window->engine().DLFile(server.url("none"), m_app.path("none"), 5000), 0);
    QCOMPARE(m_window->lastStatusText(), QStringLiteral("下载完成"));
    QCOMPARE(m_window->sizeLabel().caption(), QStringLiteral("1.50"));
}

void WindowTest::widgetsFollowAtHumanPace()
{
    m_window->Cdf_entDLFileStatus(download::DLStatus::Downloading);
    m_window->Cdf_entDLFileDowning(QString(), 768, 1024, 1025);
    auto *status = m_window->findChild<QLabel *>("lblZt");
    auto *bar = m_window->findChild<QProgressBar *>("Uload");
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("连接状态： 正在下载数据..."), 1000);
    // 0.75 KB of 1.00: the position is taken at one decimal, 0.8.
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), bar->maximum() * 8 / 10, 1000);
    QCOMPARE(m_window->findChild<QLabel *>("lblMax")->text(), QStringLiteral("1.00"));
    QCOMPARE(status->width(), status->fontMetrics().horizontalAdvance(status->text()));
}

void WindowTest::fileListGrowsAtItsEnd()
{
    for (int i = 0; i < 3; ++i)
        m_window->appendToList(QStringLiteral("文件%1.dll\r\n").arg(i));
    QCOMPARE(m_window->fileList().text(), QStringLiteral("文件0.dll\r\n文件1.dll\r\n文件2.dll\r\n"));
    auto *list = m_window->findChild<QPlainTextEdit *>("txtInShow");
    QTRY_COMPARE_WITH_TIMEOUT(list->toPlainText(), QStringLiteral("文件0.dll\n文件1.dll\n文件2.dll\n"), 1000);
}

void WindowTest::statusLineAndMessageAgree_data()
{
    using End = update::RunOutcome::End;
    using Code = platform::Error::Code;
    QTest::addColumn<update::RunOutcome>("outcome");
    QTest::addColumn<QString>("status");
    const QString address = QStringLiteral("tool.sh（KVTA/ZE/files/9c/%1）").arg(QString(64, QLatin1Char('9')));
    const auto refused = [](Code code, const QString &subject) {
        return update::RunOutcome{End::Refused, platform::Error(code, subject, QStringLiteral("curl: (7)"))};
    };
    QTest::newRow("refused connection") << refused(Code::NetworkFailure, "http://127.0.0.1:1/") << "网络请求失败";
    QTest::newRow("tamper refusal") << refused(Code::DigestMismatch, address) << "文件摘要与发布索引不符";
    QTest::newRow("full disk") << refused(Code::DiskFull, "/opt/client/a.dll") << "磁盘已满";
    QTest::newRow("full disk, a long path") << refused(Code::DiskFull, QString("/home/user/a").repeated(12)) << "磁盘已满";
    QTest::newRow("clock ahead") << refused(Code::ExpiredRelease, address) << "发布签名已过期";
    QTest::newRow("up to date") << update::RunOutcome{End::UpToDate, {}} << "文件已是最新版本";
    QTest::newRow("success") << update::RunOutcome{End::Installed, {}} << "已更新成最新版本";
    QTest::newRow("download failed") << update::RunOutcome{End::UpdateFailure, {}, platform::Error(Code::Timeout)}
                                     << "更新失败";
    QTest::newRow("folder in use") << update::RunOutcome{End::FolderInUse, {}} << "另一个更新正在进行";
}

// The status line ends in a few words of what the message says, both in the
// window's one sans face, the message no wider than the window; a refusal's
// names no more than a file of this machine.
void WindowTest::statusLineAndMessageAgree()
{
    QFETCH(update::RunOutcome, outcome);
    QFETCH(QString, status);
    TestWindow w(m_app.path(), QStringLiteral("http://127.0.0.1:1/"), std::nullopt, std::nullopt);
    w.Cdf_entDLFileStatus(download::DLStatus::Finished);
    MessageAnswerer answerer;
    w.runEnded(outcome);
    QCOMPARE(w.statusLine().caption(), status);
    QCOMPARE(answerer.texts.size(), 1);
    QVERIFY2(answerer.texts.value(0).contains(status), qPrintable(answerer.texts.value(0)));
    if (outcome.error)
        QCOMPARE(answerer.texts[0].contains(outcome.error->subject()),
                 outcome.error->family() == platform::Error::Family::Storage);
    QVERIFY2(answerer.widths[0] <= w.frameGeometry().width(), qPrintable(QString::number(answerer.widths[0])));
    const QString face = QFontInfo(w.font()).family();
    QVERIFY2(!face.contains(QLatin1String("Serif")), qPrintable(face));
    QCOMPARE(answerer.families[0], face);
    for (const QWidget *control : w.findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        QCOMPARE(QFontInfo(control->font()).family(), face);
}

void WindowTest::countdownFits_data()
{
    QTest::addColumn<platform::Error::Code>("why");
    QTest::addColumn<QString>("text");
    QTest::newRow("busy") << platform::Error::Code::HttpStatus << "服务器暂时无法响应,30 秒后重试...";
    QTest::newRow("timed out") << platform::Error::Code::Timeout << "连接超时,30 秒后重试...";
}

// Painted whole, left of the buttons and below the figures.
void WindowTest::countdownFits()
{
    QFETCH(platform::Error::Code, why);
    QFETCH(QString, text);
    m_window->engine().httpClient().observers().retryWaiting({}, platform::Error(why), std::chrono::seconds(30));
    auto *line = m_window->findChild<QLabel *>("lblZt");
    QTRY_COMPARE_WITH_TIMEOUT(line->text(), text, 1000);
    QVERIFY(line->geometry().right() < m_window->findChild<QWidget *>("Command1")->x());
    QVERIFY(line->geometry().top() > m_window->findChild<QWidget *>("Label2")->geometry().bottom());
    QVERIFY(line->geometry().bottom() < m_window->height());
    QVERIFY(!line->wordWrap() || line->heightForWidth(line->width()) <= line->height());
}

int main(int argc, char *argv[])
{
    // A screen as wide as a desktop's, on which Qt lets a message box grow to 500 pixels.
    QTemporaryFile screens;
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen" && screens.open()) {
        screens.write(R"({"screens": [{"name": "wide", "x": 0, "y": 0, "width": 1920, "height": 1080,
                         "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
        screens.flush();
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(screens.fileName()));
    }
    QApplication app(argc, argv);
    installChineseTranslations(app);
    WindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window.moc"
