#include "qttranslation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QStringList>
#include <QTranslator>

bool QtTranslation::loadChinese(QCoreApplication *app)
{
    const QStringList dirs{QLibraryInfo::location(QLibraryInfo::TranslationsPath),
                           QCoreApplication::applicationDirPath() + QStringLiteral("/translations")};
    // qt_zh_CN names the module catalogues it needs (qtbase_zh_CN...); they
    // are looked up beside it.
    auto *t = new QTranslator(app);
    for (const QString &dir : dirs) {
        if (t->load(QStringLiteral("qt_zh_CN"), dir) && QCoreApplication::installTranslator(t))
            return true;
    }
    delete t;
    return false;
}
