// The debug area's log (line cap, filter, pause, save) and the SSH console.
#include "debuglogview.h"

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QtTest>

namespace {
// The shown lines without their time stamps.
QStringList bodies(const DebugLogView &v)
{
    QStringList out;
    const QStringList lines = v.shownText().split('\n', Qt::SkipEmptyParts);
    for (const QString &l : lines)
        out << (l.startsWith('[') ? l.mid(11) : l.trimmed());
    return out;
}
} // namespace

class TstDebugLogView : public QObject
{
    Q_OBJECT
private slots:
    void keepsTheLastLines();
    void filterByCategory();
    void pauseHoldsLines();
    void saveShownLines();
    void sshConsole();
    void adoptsFormView();
};

void TstDebugLogView::keepsTheLastLines()
{
    DebugLogView v;
    QCOMPARE(v.maxLines(), DebugLogView::kDefaultMaxLines);
    v.setMaxLines(100);
    QCOMPARE(v.findChild<QSpinBox *>("logMaxLines")->value(), 100);
    for (int i = 0; i < 250; ++i)
        v.append(DebugLogView::Report7F, QString("report %1").arg(i));
    QCOMPARE(v.storedLines(), 100);
    QCOMPARE(v.textView()->document()->blockCount(), 100);
    QStringList b = bodies(v);
    QCOMPARE(b.first(), QString("report 150"));  // the oldest go one by one
    QCOMPARE(b.last(), QString("report 249"));

    // An entry of several lines counts each; the first carries the time.
    v.append(DebugLogView::Command, "topic\r\npayload\r\n");
    QCOMPARE(v.storedLines(), 100);
    b = bodies(v);
    QCOMPARE(b.mid(98), QStringList({"topic", "payload"}));
    QCOMPARE(b.first(), QString("report 152"));
    QVERIFY(QRegularExpression("^\\[\\d\\d:\\d\\d:\\d\\d\\] topic$").match(v.shownText().section('\n', -2, -2)).hasMatch());
    QCOMPARE(v.shownText().section('\n', -1), QString("    payload"));
    // Text with its own time stamp (and raw shell output) goes in as it is.
    v.append(DebugLogView::Ssh, "[12:00:00 x]\n<b>not bold</b>", false);
    QCOMPARE(v.shownText().section('\n', -2), QString("[12:00:00 x]\n<b>not bold</b>"));

    // A smaller cap cuts at once; below the minimum is raised to it.
    v.findChild<QSpinBox *>("logMaxLines")->setValue(120);
    QCOMPARE(v.maxLines(), 120);
    v.setMaxLines(5);
    QCOMPARE(v.maxLines(), DebugLogView::kMinLines);
    QCOMPARE(v.storedLines(), 100);
    v.clear();
    QCOMPARE(v.storedLines(), 0);
    QVERIFY(v.shownText().isEmpty());
}

void TstDebugLogView::filterByCategory()
{
    DebugLogView v;
    // Keep-alives start hidden; everything else shows.
    QVERIFY(!v.isShown(DebugLogView::KeepAlive));
    QVERIFY(!v.findChild<QCheckBox *>("logFilter1")->isChecked());
    QVERIFY(v.isShown(DebugLogView::Report7F) && v.isShown(DebugLogView::Command) && v.isShown(DebugLogView::Ssh));
    v.setShown(DebugLogView::KeepAlive, true);
    v.append(DebugLogView::Report7F, "r1");
    v.append(DebugLogView::KeepAlive, "k1");
    v.append(DebugLogView::Command, "c1");
    v.append(DebugLogView::Ssh, "s1");
    v.append(DebugLogView::KeepAlive, "k2");
    QCOMPARE(bodies(v), QStringList({"r1", "k1", "c1", "s1", "k2"}));

    v.findChild<QCheckBox *>("logFilter1")->setChecked(false);  // keep-alives
    QVERIFY(!v.isShown(DebugLogView::KeepAlive));
    QCOMPARE(bodies(v), QStringList({"r1", "c1", "s1"}));
    v.append(DebugLogView::KeepAlive, "k3");
    v.append(DebugLogView::Report7F, "r2");
    QCOMPARE(bodies(v), QStringList({"r1", "c1", "s1", "r2"}));
    v.setShown(DebugLogView::Ssh, false);
    QVERIFY(!v.findChild<QCheckBox *>("logFilter3")->isChecked());
    QCOMPARE(bodies(v), QStringList({"r1", "c1", "r2"}));
    // Hidden lines were kept: ticking shows them in their place.
    v.setShown(DebugLogView::KeepAlive, true);
    QCOMPARE(bodies(v), QStringList({"r1", "k1", "c1", "k2", "k3", "r2"}));
    QCOMPARE(v.storedLines(), 7);
}

void TstDebugLogView::pauseHoldsLines()
{
    DebugLogView v;
    v.setShown(DebugLogView::KeepAlive, true);
    v.setMaxLines(100);
    v.append(DebugLogView::Report7F, "before");
    v.findChild<QPushButton *>("logPauseBtn")->click();
    QVERIFY(v.isPaused());
    QCOMPARE(v.findChild<QPushButton *>("logPauseBtn")->text(), QString::fromUtf8("继续"));
    for (int i = 0; i < 3; ++i)
        v.append(DebugLogView::Report7F, QString("held %1").arg(i));
    v.append(DebugLogView::KeepAlive, "hidden");
    v.setShown(DebugLogView::KeepAlive, false);
    QCOMPARE(bodies(v), QStringList({"before"}));  // the screen stands still
    QCOMPARE(v.findChild<QLabel *>("logPauseLabel")->text(), QString::fromUtf8("已暂停, 新到4行"));

    // The cap still applies while paused.
    for (int i = 0; i < 120; ++i)
        v.append(DebugLogView::Command, QString("c%1").arg(i));
    QCOMPARE(v.storedLines(), 100);

    v.setPaused(false);
    QVERIFY(!v.findChild<QPushButton *>("logPauseBtn")->isChecked());
    QVERIFY(v.findChild<QLabel *>("logPauseLabel")->text().isEmpty());
    const QStringList b = bodies(v);
    QCOMPARE(b.size(), 100);
    QCOMPARE(b.first(), QString("c20"));
    QCOMPARE(b.last(), QString("c119"));
}

void TstDebugLogView::saveShownLines()
{
    QTemporaryDir dir;
    DebugLogView v;
    v.append(DebugLogView::Report7F, QString::fromUtf8("接收到数据 r1"));
    v.append(DebugLogView::KeepAlive, "k1");
    v.append(DebugLogView::Command, "c1\nc1b");
    v.setPaused(true);
    v.append(DebugLogView::Ssh, "s1");  // came in while paused: saved too
    const QString path = dir.filePath("log.txt");
    QString why;
    QVERIFY2(v.saveToFile(path, &why), qPrintable(why));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines[0].endsWith(QString::fromUtf8("] 接收到数据 r1")));
    QVERIFY(lines[1].endsWith("] c1"));
    QCOMPARE(lines[2], QString("    c1b"));
    QVERIFY(lines[3].endsWith("] s1"));

    QVERIFY(!v.saveToFile(dir.path(), &why));  // a directory
    QVERIFY(!why.isEmpty());
}

void TstDebugLogView::sshConsole()
{
    SshConsoleView c;
    // Chunks split lines anywhere; standard error is red.
    c.appendStdout("ls -l\r\ntotal ");
    c.appendStdout("8\n");
    c.appendStderr("ls: x: No such file\n");
    c.appendStdout("# ");
    QCOMPARE(c.text(), QString("ls -l\ntotal 8\nls: x: No such file\n# "));
    const QTextBlock err = c.textView()->document()->findBlockByNumber(2);
    QCOMPARE(err.text(), QString("ls: x: No such file"));
    QCOMPARE(err.begin().fragment().charFormat().foreground().color(), QColor(0xcc, 0, 0));
    const QTextBlock out = c.textView()->document()->findBlockByNumber(1);
    QVERIFY(out.begin().fragment().charFormat().foreground().color() != QColor(0xcc, 0, 0));

    // The flows' status markers never show, however the chunks cut them;
    // what shares their line does, and so does a prompt left without a line end.
    c.clear();
    c.appendStdout("map.json\n__MD");
    c.appendStdout("K_4711_0\nlast line without end__MDK_4711_");
    c.appendStdout("0\n__MDK_PID=1234 \n# ");
    c.appendStderr("__MDK_4711_E\ncp: can't stat 'x'\n");
    c.appendStdout("_x_\n");
    QCOMPARE(c.text(), QString("map.json\nlast line without end\n# cp: can't stat 'x'\n_x_\n"));

    c.setMaxLines(3);
    for (int i = 0; i < 10; ++i)
        c.appendStdout(QString("line %1\n").arg(i));
    QCOMPARE(c.textView()->blockCount(), 3);
    c.findChild<QPushButton *>("sshConsoleClearBtn")->click();
    QVERIFY(c.text().isEmpty());
}

void TstDebugLogView::adoptsFormView()
{
    // The form's receive log becomes the view's display, with its name.
    QWidget group;
    auto *layout = new QVBoxLayout(&group);
    auto *edit = new QTextEdit(&group);
    edit->setObjectName("gwRecTextEdit");
    edit->setPlainText("old");
    layout->addWidget(edit);
    auto *v = new DebugLogView(&group, edit);
    layout->insertWidget(0, v);
    QCOMPARE(layout->indexOf(edit), -1);
    QCOMPARE(edit->parentWidget(), v);
    QCOMPARE(v->textView(), edit);
    QVERIFY(edit->toPlainText().isEmpty());
    v->append(DebugLogView::Report7F, "r1");
    QVERIFY(group.findChild<QTextEdit *>("gwRecTextEdit")->toPlainText().endsWith("] r1"));
}

QTEST_MAIN(TstDebugLogView)
#include "tst_debuglogview.moc"

