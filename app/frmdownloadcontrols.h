#pragma once

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

    static constexpr int clientWidth = 6585 / 15;
    static constexpr int clientHeight = 4170 / 15;
};
