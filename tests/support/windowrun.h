#pragma once

// Driving the update window in the test's own process: every message box
// answered with OK, the run's end observed as the run reports it.

#include "support/shownmessage.h"
#include "support/testserver.h"

#include "app/frmdownload.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

// Presses OK on the message box that is open, if any, and tells what it showed.
inline std::optional<ShownMessage> answerMessageBox()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return std::nullopt;
    QAbstractButton *ok = box->button(QMessageBox::Ok);
    const QString icon = box->icon() == QMessageBox::Information ? QStringLiteral("information")
                         : box->icon() == QMessageBox::NoIcon    ? QStringLiteral("none")
                                                                 : QStringLiteral("other");
    ShownMessage shown{icon, box->windowTitle(), box->text(), ok ? ok->text() : QStringLiteral("?"),
                       int(box->buttons().size())};
    if (ok)
        ok->click();
    return shown;
}

struct WindowEnding
{
    update::RunOutcome::End end = update::RunOutcome::End(-1); // as the run reported it; -1 for none
    QList<ShownMessage> messages;
    bool returned = true; // the window stayed open: it did not unload
    QString statusLine, fileList;
};

// The update window on an application folder and a test server, its own
// engine and client. Unloading it ends nothing but the run it closes.
class TestWindow : public frmDownLoad
{
public:
    explicit TestWindow(const QString &folder, const TestServer &server,
                        std::optional<release::KeyRing> publisherKey = std::nullopt,
                        std::optional<platform::NetworkLimits> limits = std::nullopt)
        : TestWindow(folder, server.url(), std::move(publisherKey), limits)
    {
    }

    // On a base URL of its own: one where no server listens, say.
    TestWindow(const QString &folder, const QString &baseUrl, std::optional<release::KeyRing> publisherKey,
               std::optional<platform::NetworkLimits> limits)
        : frmDownLoad(update::AppPaths(folder), baseUrl, clientWith(limits), std::move(publisherKey))
    {
        show();
    }

    // Presses the start button and tells how the run ended.
    WindowEnding run()
    {
        QTimer answering;
        connect(&answering, &QTimer::timeout, this, [this] {
            if (const std::optional<ShownMessage> shown = answerMessageBox())
                m_ending.messages.append(*shown);
        });
        answering.start(10);
        startButton().click();
        m_ending.statusLine = statusLine().caption();
        m_ending.fileList = fileList().text();
        return m_ending;
    }

    QPushButton &startButton() { return *findChild<QPushButton *>(QStringLiteral("Command1")); }

    void runEnded(const update::RunOutcome &outcome) override
    {
        m_ending.end = outcome.end;
        frmDownLoad::runEnded(outcome);
    }

protected:
    void unload() override { m_ending.returned = false; }

private:
    static std::shared_ptr<platform::HttpClient> clientWith(std::optional<platform::NetworkLimits> limits)
    {
        auto client = std::make_shared<platform::HttpClient>();
        if (limits)
            client->setLimits(*limits);
        return client;
    }

    WindowEnding m_ending;
};
