#pragma once

#include <QString>

// What a message box of the run showed.
struct ShownMessage
{
    QString icon, title, text, button;
    int buttons = 0;
};
