// Coloured buttons look different once disabled.
#include "disabledlook.h"

#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>

namespace {
QColor centre(QPushButton *b)
{
    const QImage img = b->grab().toImage();
    return img.pixelColor(4, img.height() / 2);  // background, clear of the text
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

    orange->setEnabled(false);
    const QColor before = centre(orange);
    QCOMPARE(before, QColor(252, 175, 62));  // the problem: disabled, still orange
    DisabledLook::apply(&w);
    QCOMPARE(centre(orange), QColor(0xd8, 0xd8, 0xd8));
    orange->setEnabled(true);
    QCOMPARE(centre(orange), QColor(252, 175, 62));  // enabled keeps its colour

    QCOMPARE(scoped->styleSheet(), own);  // written with states in mind: untouched
    QVERIFY(plain->styleSheet().isEmpty());
    DisabledLook::apply(&w);  // twice does no harm
    QCOMPARE(centre(orange), QColor(252, 175, 62));
}

QTEST_MAIN(TstDisabledLook)
#include "tst_disabledlook.moc"
