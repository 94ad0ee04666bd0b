#pragma once

class QCoreApplication;

// Qt's own texts (the message boxes' buttons among them) in Simplified Chinese.
void installChineseTranslations(QCoreApplication &app);
