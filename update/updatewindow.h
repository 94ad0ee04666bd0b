#pragma once

#include <QString>

class Cls_DownLoad;

// Message box styles: OK only, without or with the information icon.
enum class MessageStyle { Plain = 0, Information = 64 };

// What the update run sees of its window.
class UpdateWindow
{
public:
    virtual ~UpdateWindow() = default;

    virtual Cls_DownLoad &downloadEngine() = 0;
    virtual void setStatusLine(const QString &text) = 0;
    // Adds text at the end of the list of downloaded files.
    virtual void appendToList(const QString &text) = 0;
    // The text of the engine's most recent status event.
    virtual QString lastStatusText() const = 0;
    virtual void showMessage(const QString &text, const QString &title, MessageStyle style) = 0;
    // Unloads the window, which ends the program: nothing after it runs.
    [[noreturn]] virtual void unload() = 0;
};
