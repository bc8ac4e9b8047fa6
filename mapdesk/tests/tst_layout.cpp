// Every tab of the main window is usable on a laptop screen: at 1366x768
// and 1280x720 (less a task bar and the title), also at 125 % scaling (run
// again with QT_SCALE_FACTOR=1.25), no widget gets less than its minimum
// size hint (clipped texts, overlapping controls) and every list, table and
// log shows at least three rows.
#include "dialogseam.h"
#include "mainwindow.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QHeaderView>
#include <QListView>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTextEdit>
#include <QtTest>

namespace {
const int kMinRows = 3;

double scaleFactor()
{
    bool ok = false;
    const double f = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble(&ok);
    return ok && f > 0 ? f : 1.0;
}

QString where(const QWidget *w)
{
    QStringList path;
    for (const QWidget *p = w; p; p = p->parentWidget())
        if (!p->objectName().isEmpty() && !p->objectName().startsWith("qt_"))
            path.prepend(p->objectName());
    return path.join('/') + " (" + w->metaObject()->className() + ")";
}

// Whether the widget is on screen: shown, and not scrolled out of every
// scroll area around it (a part of it suffices).
bool onScreen(const QWidget *w)
{
    return w->isVisible() && w->width() > 0 && w->height() > 0;
}

int visibleRows(const QAbstractScrollArea *a, QString *how)
{
    const int h = a->viewport()->height();
    int row = 0;
    if (auto *t = qobject_cast<const QTableView *>(a)) {
        row = t->verticalHeader()->defaultSectionSize();
        *how = "table rows";
    } else if (auto *v = qobject_cast<const QAbstractItemView *>(a)) {
        row = v->model() && v->model()->rowCount() > 0 ? v->sizeHintForRow(0) : -1;
        if (row <= 0)
            row = v->fontMetrics().height() + 4;
        *how = "list rows";
    } else {
        row = a->fontMetrics().lineSpacing();
        *how = "text lines";
    }
    return row > 0 ? h / row : 0;
}
} // namespace

class TstLayout : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyTabFits_data();
    void everyTabFits();
    void startsWithinTheScreen();
};

void TstLayout::initTestCase()
{
    // The start-up package check may want to say something: no box here.
    DialogSeam::setResponder([](const DialogSeam::Request &) { return true; });
    qInfo("scale factor %.2f", scaleFactor());
}

void TstLayout::cleanupTestCase()
{
    DialogSeam::setResponder(nullptr);
}

void TstLayout::everyTabFits_data()
{
    QTest::addColumn<QSize>("screen");
    // Task bar (40) and title bar (about 30) come off the height.
    QTest::newRow("1366x768") << QSize(1366, 768 - 70);
    QTest::newRow("1280x720") << QSize(1280, 720 - 70);
}

void TstLayout::everyTabFits()
{
    QFETCH(QSize, screen);
    const double f = scaleFactor();
    const QSize room(int(screen.width() / f), int(screen.height() / f));

    MainWindow w;
    w.resize(room);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto *tabs = w.findChild<QTabWidget *>("workTabWidget");
    QVERIFY(tabs);
    // The test panel with its widest write column ("Holding Registers") shown.
    auto *regType = w.findChild<QComboBox *>("writeTable");
    QVERIFY(regType);
    regType->setCurrentIndex(3);
    QStringList faults;
    for (int t = 0; t < tabs->count(); ++t) {
        tabs->setCurrentIndex(t);
        w.resize(room);
        QCoreApplication::processEvents();
        QTest::qWait(20);
        const QString tab = tabs->tabText(t);
        // LAYOUT_SHOTS=dir keeps a picture of every tab for a look by eye.
        const QString shots = qEnvironmentVariable("LAYOUT_SHOTS");
        if (!shots.isEmpty())
            w.grab().save(QString("%1/%2-scale%3-tab%4.png").arg(shots, QTest::currentDataTag()).arg(f).arg(t));
        if (w.width() > room.width() || w.height() > room.height())
            faults << QString("tab %1: the window needs %2x%3").arg(tab).arg(w.width()).arg(w.height());

        const QList<QWidget *> all = w.findChildren<QWidget *>();
        for (QWidget *c : all) {
            if (!onScreen(c) || qobject_cast<QScrollBar *>(c) || c->objectName().startsWith("qt_"))
                continue;
            // Inside item views the view itself decides (editors, headers).
            if (c->parentWidget() && (qobject_cast<QAbstractItemView *>(c->parentWidget())
                                      || qobject_cast<QAbstractItemView *>(c->parentWidget()->parentWidget())))
                continue;
            const QSize hint = c->minimumSizeHint();
            if (hint.isValid() && (c->width() < hint.width() || c->height() < hint.height())
                && !qobject_cast<QStatusBar *>(c))
                faults << QString("tab %1: %2 is %3x%4, needs %5x%6")
                              .arg(tab, where(c))
                              .arg(c->width()).arg(c->height()).arg(hint.width()).arg(hint.height());
            auto *area = qobject_cast<QAbstractScrollArea *>(c);
            if (area && !qobject_cast<QScrollArea *>(c) && !qobject_cast<QHeaderView *>(c)
                && !c->inherits("QComboBoxListView")) {
                QString how;
                const int rows = visibleRows(area, &how);
                if (rows < kMinRows)
                    faults << QString("tab %1: %2 shows %3 %4").arg(tab, where(c)).arg(rows).arg(how);
            }
            // Column titles are not cut.
            if (auto *tv = qobject_cast<QTableView *>(c)) {
                QHeaderView *h = tv->horizontalHeader();
                for (int s = 0; s < h->count(); ++s) {
                    if (h->isSectionHidden(s) || !tv->model())
                        continue;
                    const QString title = tv->model()->headerData(s, Qt::Horizontal).toString();
                    const int need = h->sectionSizeHint(s);
                    if (h->sectionSize(s) < need)
                        faults << QString("tab %1: %2 column \"%3\" is %4 px, its title needs %5")
                                      .arg(tab, where(c), title).arg(h->sectionSize(s)).arg(need);
                }
            }
        }
    }
    for (const QString &f : faults)
        qWarning().noquote() << f;
    QVERIFY2(faults.isEmpty(), qPrintable(QString("%1 layout faults (listed above)").arg(faults.size())));
}

void TstLayout::startsWithinTheScreen()
{
    // The window opens no higher than the screen it is on (the offscreen
    // screen is 800x600, lower than any laptop's), and no wider where the
    // screen is at least as wide as the smallest one aimed at.
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QRect avail = w.screen()->availableGeometry();
    const bool wideEnough = avail.width() < int(1024 / scaleFactor()) || w.frameGeometry().width() <= avail.width();
    QVERIFY2(w.frameGeometry().height() <= avail.height() && wideEnough,
             qPrintable(QString("%1x%2 on %3x%4").arg(w.frameGeometry().width()).arg(w.frameGeometry().height())
                            .arg(avail.width()).arg(avail.height())));
}

QTEST_MAIN(TstLayout)
#include "tst_layout.moc"
