#include "dialogseam.h"
#include "mainwindow.h"
#include "qttranslation.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFont>
#include <QTabWidget>
#include <QTimer>

#include <cstdio>

// --screenshot DIR: show the window, save one PNG per tab into DIR, quit.
static int takeScreenshots(MainWindow &w, const QString &dirPath)
{
    QDir dir(dirPath);
    if (!dir.exists() && !QDir().mkpath(dirPath)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(dirPath));
        return 1;
    }
    auto *tabs = w.findChild<QTabWidget *>("workTabWidget");
    if (!tabs)
        return 1;
    for (int i = 0; i < tabs->count(); ++i) {
        tabs->setCurrentIndex(i);
        QApplication::processEvents();
        const QString name = QString("tab%1_%2.png").arg(i + 1).arg(tabs->widget(i)->objectName());
        const QString path = dir.filePath(name);
        if (!w.grab().save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        std::printf("%s\n", qPrintable(path));
    }
    tabs->setCurrentIndex(0);
    return 0;
}

// Windows' own UI font (Segoe UI on an English system) has no Chinese
// glyphs, and the fallback GDI picks for them is often SimSun, thin and hard
// to read at 9 pt. Name the system's Chinese UI faces as substitutes, so
// Chinese texts use them and Latin ones keep the system font; the form's
// "Ubuntu" (a Linux font) falls back the same way.
static void chooseChineseFallback()
{
#ifdef Q_OS_WIN
    const QStringList chinese{QStringLiteral("Microsoft YaHei UI"), QStringLiteral("Microsoft YaHei"),
                              QStringLiteral("SimSun")};
    const QString family = QApplication::font().family();
    QFont::insertSubstitutions(family, chinese);
    QFont::insertSubstitutions(QStringLiteral("Ubuntu"), QStringList{family} + chinese);
#endif
}

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    chooseChineseFallback();
    QtTranslation::loadChinese(&a);
    QCommandLineParser parser;
    parser.addHelpOption();
    QCommandLineOption shotOpt("screenshot", "Save one PNG per tab into <dir> and quit.", "dir");
    parser.addOption(shotOpt);
    parser.process(a);

    if (parser.isSet(shotOpt)) {
        // Nobody is there to close the start-up boxes (package check).
        DialogSeam::setResponder([](const DialogSeam::Request &r) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(r.title), qPrintable(r.text));
            return true;
        });
    }
    MainWindow w;
    w.show();
    if (parser.isSet(shotOpt)) {
        int rc = 1;
        QTimer::singleShot(200, &w, [&]() {
            rc = takeScreenshots(w, parser.value(shotOpt));
            QApplication::quit();
        });
        a.exec();
        return rc;
    }
    return a.exec();
}
