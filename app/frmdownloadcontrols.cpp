#include "frmdownloadcontrols.h"

#include <QFont>
#include <QPalette>
#include <QWidget>

namespace {

constexpr int twipsPerPixel = 15;

void place(QWidget &widget, int left, int top, int width, int height)
{
    widget.setGeometry(left / twipsPerPixel, top / twipsPerPixel, width / twipsPerPixel, height / twipsPerPixel);
}

} // namespace

QFont frmDownLoadControls::windowFont(int pixelSize)
{
    // One Simplified Chinese sans face for every control, where the machine
    // has one, else the sans face that the system picks for Chinese. Sizes
    // in pixels, as at 96 dpi.
    QFont font;
    font.setFamilies({QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Source Han Sans SC"),
                      QStringLiteral("Microsoft YaHei"), QStringLiteral("WenQuanYi Zen Hei")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setWeight(QFont::Normal);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

namespace {

void colour(QLabel &label, QColor colour)
{
    QPalette palette = label.palette();
    palette.setColor(QPalette::WindowText, colour);
    label.setPalette(palette);
}

void label(QLabel &label, const QString &text, int left, int top, int width, int height)
{
    label.setText(text);
    label.setTextFormat(Qt::PlainText);
    label.setFocusPolicy(Qt::NoFocus);
    place(label, left, top, width, height);
}

void button(QPushButton &button, const QString &text, int left, int top)
{
    button.setText(text);
    place(button, left, top, 855, 375);
    button.setFocusPolicy(Qt::StrongFocus);
    // Enter presses the button that has the focus, and only that one.
    button.setAutoDefault(true);
    button.setDefault(false);
}

} // namespace

frmDownLoadControls::frmDownLoadControls(QWidget &form)
    : Picture1(&form), Label1(&form), Uload(&form), lblZt(&form), Label2(&form), lblMax(&form), Label4(&form),
      lblT(&form), Command1(&form), Command2(&form), lblNum(&form), txtInShow(&form)
{
    form.setFont(windowFont(12));

    place(Picture1, 360, 240, 1455, 3600);
    Picture1.setFocusPolicy(Qt::StrongFocus);
    Picture1.setAlignment(Qt::AlignLeft | Qt::AlignTop);

    label(Label1, QStringLiteral("列表："), 2040, 240, 540, 180);
    place(Uload, 2040, 2640, 4215, 255);
    Uload.setOrientation(Qt::Horizontal);
    Uload.setFocusPolicy(Qt::NoFocus);

    label(lblZt, QStringLiteral("当前状态：准备就绪"), 2040, 3600, 1620, 180);
    colour(lblZt, QColor(64, 64, 64));
    label(Label2, QStringLiteral("文件大小："), 2160, 3000, 900, 180);
    colour(Label2, Qt::black);
    label(lblMax, QStringLiteral("0"), 3120, 3000, 90, 180);
    colour(lblMax, Qt::black);
    label(Label4, QStringLiteral("下载速度："), 4560, 3000, 900, 180);
    colour(Label4, Qt::black);
    label(lblT, QStringLiteral("0 kb/s"), 5520, 3000, 540, 180);
    colour(lblT, Qt::black);

    button(Command1, QStringLiteral("下载"), 4560, 3360);
    button(Command2, QStringLiteral("取消"), 5400, 3360);

    label(lblNum, QString(), 6120, 3840, 450, 180);
    lblNum.hide();

    place(txtInShow, 2040, 480, 4215, 2055);
    txtInShow.setFont(windowFont(14));
    txtInShow.setReadOnly(true);
    txtInShow.setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    txtInShow.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtInShow.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtInShow.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    txtInShow.setTabChangesFocus(true);
    txtInShow.setFocusPolicy(Qt::StrongFocus);
    txtInShow.setUndoRedoEnabled(false);

    const std::pair<QWidget *, const char *> names[] = {
        {&Picture1, "Picture1"}, {&Label1, "Label1"}, {&Uload, "Uload"},       {&lblZt, "lblZt"},
        {&Label2, "Label2"},     {&lblMax, "lblMax"}, {&Label4, "Label4"},     {&lblT, "lblT"},
        {&Command1, "Command1"}, {&Command2, "Command2"}, {&lblNum, "lblNum"}, {&txtInShow, "txtInShow"},
    };
    for (const auto &[widget, name] : names)
        widget->setObjectName(QLatin1String(name));

    QWidget::setTabOrder(&Picture1, &Command1);
    QWidget::setTabOrder(&Command1, &Command2);
    QWidget::setTabOrder(&Command2, &txtInShow);
}
