// Coloured buttons look different once disabled.
#include "disabledlook.h"

#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>

namespace {
QColor centre(QPushButton *b)
{
    const QImage img = b->grab().toImage();
    return img.pixelColor(8, img.height() / 2);  // background, clear of the border and the text
}
} // namespace

class TstDisabledLook : public QObject
{
    Q_OBJECT
private slots:
    void greysColouredButtons();
};

void TstDisabledLook::greysColouredButtons()
{
    QWidget w;
    auto *layout = new QVBoxLayout(&w);
    auto *orange = new QPushButton("upgrade", &w);
    orange->setStyleSheet("color: rgb(239, 41, 41);\nbackground-color: rgb(252, 175, 62)");
    auto *scoped = new QPushButton("scoped", &w);
    const QString own = "QPushButton{background-color: rgb(0, 0, 200);}";
    scoped->setStyleSheet(own);
    auto *plain = new QPushButton("plain", &w);
    layout->addWidget(orange);
    layout->addWidget(scoped);
    layout->addWidget(plain);
    w.resize(200, 150);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    // The style may shade the fill: compare hues, not exact values.
    const auto grey = [](const QColor &c) { return c.red() == c.green() && c.green() == c.blue(); };
    const auto orangeish = [](const QColor &c) { return c.red() > c.blue() + 80; };
    orange->setEnabled(false);
    QVERIFY(orangeish(centre(orange)));  // the fault: disabled, still orange
    DisabledLook::apply(&w);
    QVERIFY2(grey(centre(orange)), qPrintable(centre(orange).name()));
    orange->setEnabled(true);
    QVERIFY2(orangeish(centre(orange)), qPrintable(centre(orange).name()));  // enabled keeps its colour

    QCOMPARE(scoped->styleSheet(), own);  // written with states in mind: untouched
    QVERIFY(plain->styleSheet().isEmpty());
    DisabledLook::apply(&w);  // twice does no harm
    QVERIFY(orangeish(centre(orange)));
    orange->setEnabled(false);
    QVERIFY(grey(centre(orange)));
}

QTEST_MAIN(TstDisabledLook)
#include "tst_disabledlook.moc"
