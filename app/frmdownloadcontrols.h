#pragma once

#include <QFont>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

class QWidget;

// The update window's controls, laid out as designed: positions and sizes in
// twips, 15 to a pixel.
struct frmDownLoadControls
{
    explicit frmDownLoadControls(QWidget &form);

    // In tab-index order.
    QLabel Picture1;
    QLabel Label1;
    QProgressBar Uload;
    QLabel lblZt;
    QLabel Label2;
    QLabel lblMax;
    QLabel Label4;
    QLabel lblT;
    QPushButton Command1;
    QPushButton Command2;
    QLabel lblNum;
    QPlainTextEdit txtInShow;

    // The face of every text the window shows, its messages' too.
    static QFont windowFont(int pixelSize);
    // The room of the status line, left of the buttons.
    int statusLineRoom() const { return Command1.x() - lblZt.x() - gap; }

    static constexpr int gap = 8;
    static constexpr int clientWidth = 6585 / 15;
    static constexpr int clientHeight = 4170 / 15;
};
