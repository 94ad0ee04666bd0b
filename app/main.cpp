#include "frmdownload.h"
#include "translations.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    installChineseTranslations(app);
    frmDownLoad window;
    window.show();
    return app.exec();
}
