#include "translations.h"

#include <QCoreApplication>
#include <QTranslator>

void installChineseTranslations(QCoreApplication &app)
{
    auto *translator = new QTranslator(&app);
    if (translator->load(QStringLiteral(":/translations/qtbase_zh_CN.qm")))
        QCoreApplication::installTranslator(translator);
}
