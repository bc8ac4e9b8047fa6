#include "dialogseam.h"
#include "mainwindow.h"
#include "modbusasswidget.h"
#include "qttranslation.h"
#include "relaystatusview.h"
#include "sitetab.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QLineEdit>
#include <QListWidget>
#include <QModbusClient>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QFont>
#include <QTabWidget>
#include <QTimer>

#include <cstdio>
#include <functional>

static bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    return done();
}

// --gateway IP (with --screenshot): the guide's pictures show a gateway's
// data. The steps an engineer takes: search (sent to that address), connect
// 7F, read the version and the device list, batch map, read unit 255's
// version text in the test panel, and let the status tab take a reading.
static bool showGatewayData(MainWindow &w, const QString &ip)
{
    const auto click = [&w](const char *name) {
        if (auto *b = w.findChild<QPushButton *>(name))
            b->click();
    };
    w.discovery()->setTarget([ip]() { return QHostAddress(ip); });
    auto *gateways = w.findChild<QComboBox *>("gwInfoComboBox");
    click("gwDetectBtn");
    if (!waitFor([gateways]() { return gateways->count() > 0; }, 8000))
        return false;
    click("gwDetectBtn");  // stop the search: the gateway has answered
    click("gw7FConnectBtn");
    if (!waitFor([&w]() { return w.is7FConnected(); }, 5000))
        return false;
    click("getGwInfoBtn");
    waitFor([&w]() { return w.pendingOpCode() == 0; }, 5000);
    click("gw7FGetAllDevInfoBtn");
    waitFor([&w]() { return w.pendingOpCode() == 0; }, 5000);
    click("allDevAddToMapBtn");
    auto *panel = w.findChild<ModbusAssWidget *>();
    panel->findChild<QComboBox *>("connectType")->setCurrentIndex(1);
    panel->findChild<QLineEdit *>("portEdit")->setText(ip + ":502");
    panel->findChild<QPushButton *>("connectButton")->click();
    if (waitFor([panel]() { return panel->modbusClient()->state() == QModbusDevice::ConnectedState; }, 5000)) {
        panel->findChild<QSpinBox *>("serverEdit")->setValue(255);
        panel->findChild<QComboBox *>("writeTable")->setCurrentIndex(2);  // input registers
        panel->findChild<QSpinBox *>("readSize")->setValue(24);
        panel->findChild<QPushButton *>("readButton")->click();
        waitFor([panel]() { return panel->findChild<QListWidget *>("readValue")->count() > 0; }, 5000);
    }
    auto *tabs = w.findChild<QTabWidget *>("workTabWidget");
    auto *status = w.findChild<RelayStatusView *>();
    tabs->setCurrentWidget(status);
    waitFor([status]() { return status->snapshot().valid(); }, 8000);
    waitFor([]() { return false; }, 1200);  // a second reading: the rates
    // The site inventory with this gateway typed in by address.
    if (auto *site = w.findChild<SiteTab *>()) {
        bool ended = false;
        QObject::connect(site, &SiteTab::operationFinished, &w, [&ended]() { ended = true; });
        tabs->setCurrentWidget(site);  // the status tab gives its Modbus place back
        site->addAddress(ip);
        site->setSelectedRows({0});
        site->refreshSelected();
        waitFor([&ended]() { return ended; }, 30000);
    }
    tabs->setCurrentIndex(0);
    return true;
}

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
        waitFor([]() { return false; }, 300);  // the tab's own reading, if it makes one
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
    QCommandLineOption gatewayOpt("gateway", "With --screenshot: first take the data of the gateway at <ip>.", "ip");
    parser.addOption(gatewayOpt);
    parser.process(a);

    if (parser.isSet(shotOpt)) {
        // Nobody is there to close the start-up boxes (package check).
        DialogSeam::setResponder([](const DialogSeam::Request &r) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(r.title), qPrintable(r.text));
            return true;
        });
    }
    MainWindow w;
    if (parser.isSet(shotOpt))
        w.setGeometry(w.screen()->availableGeometry());  // maximized, also without a window manager
    w.show();
    if (parser.isSet(shotOpt)) {
        int rc = 1;
        QTimer::singleShot(200, &w, [&]() {
            if (parser.isSet(gatewayOpt) && !showGatewayData(w, parser.value(gatewayOpt))) {
                std::fprintf(stderr, "no gateway data from %s\n", qPrintable(parser.value(gatewayOpt)));
                QApplication::exit(1);
                return;
            }
            rc = takeScreenshots(w, parser.value(shotOpt));
            QApplication::quit();
        });
        a.exec();
        return rc;
    }
    return a.exec();
}
