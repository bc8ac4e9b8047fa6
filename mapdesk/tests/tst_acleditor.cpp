// The client allow-list: its entry and file rules, and the editor the
// engineer uses to change it before an install.
#include "acleditor.h"
#include "aclfile.h"
#include "dialogseam.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTextDocumentFragment>
#include <QtTest>

namespace {

QStringList range(const char *prefix, int n)
{
    QStringList list;
    for (int i = 0; i < n; ++i)
        list << QString("%1.%2").arg(prefix).arg(i);
    return list;
}

QString stateText(AclEditor &w)
{
    return w.findChild<QLabel *>("aclStateLabel")->text();
}

// As shown, without the markup.
QString statePlain(AclEditor &w)
{
    return QTextDocumentFragment::fromHtml(stateText(w)).toPlainText();
}

AclFile::List allowing(const QStringList &allow, const QStringList &readOnly = {})
{
    AclFile::List l;
    l.allow = allow;
    l.readOnly = readOnly;
    return l;
}

bool allows(const QStringList &allow, const QString &ip)
{
    return AclFile::rightOf(allowing(allow), ip) != AclFile::Refused;
}

} // namespace

class TstAclEditor : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void entryRules_data();
    void entryRules();
    void rangeTexts();
    void fileEdgeCases();
    void refusedFileLeavesEntries();
    void serializeRoundTrip();
    void allowsAtRangeEdges();
    void addNormalisesAndRefuses();
    void addStopsAtTheLimit();
    void readOnlyMarksAndState();
    void fetchedListsComeBackUnchanged();
    void removeBySelectionAndKey();
    void modifiedFlagAndSignal();
    void warningsBeforeInstall();
    void loadRefusesBrokenFile();
    void installNeedsFixesAndConfirmation();
    void fitsAtMinimumSize();

private:
    QList<DialogSeam::Request> m_asked;
};

void TstAclEditor::cleanup()
{
    DialogSeam::setResponder(nullptr);
    m_asked.clear();
}

void TstAclEditor::entryRules_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("normalised");  // empty: refused
    QTest::addColumn<bool>("hostBits");
    QTest::newRow("address") << "192.168.1.10" << "192.168.1.10" << false;
    QTest::newRow("/32 drops") << "192.168.1.10/32" << "192.168.1.10" << false;
    QTest::newRow("network") << "10.0.0.0/24" << "10.0.0.0/24" << false;
    QTest::newRow("host bits") << "10.0.0.7/24" << "10.0.0.0/24" << true;
    QTest::newRow("/1 top bit") << "200.1.2.3/1" << "128.0.0.0/1" << true;
    QTest::newRow("/0") << "0.0.0.0/0" << "0.0.0.0/0" << false;
    QTest::newRow("/0 host bits") << "1.2.3.4/0" << "0.0.0.0/0" << true;
    QTest::newRow("all ones") << "255.255.255.255" << "255.255.255.255" << false;
    QTest::newRow("empty slash") << "1.2.3.4/" << "" << false;
    QTest::newRow("leading zero") << "01.2.3.4" << "" << false;
    QTest::newRow("zero zero") << "1.2.00.4" << "" << false;
    QTest::newRow("prefix zero") << "1.2.3.4/08" << "" << false;
    QTest::newRow("trailing space") << "1.2.3.4 " << "" << false;
    QTest::newRow("octet 256") << "256.0.0.1" << "" << false;
    QTest::newRow("prefix 33") << "1.2.3.4/33" << "" << false;
    QTest::newRow("ipv6") << "::1" << "" << false;
    QTest::newRow("three parts") << "10.1.2" << "" << false;
    QTest::newRow("hex") << "0x0a.0.0.1" << "" << false;
    QTest::newRow("full-width digit") << QString::fromUtf8("１.2.3.4") << "" << false;
    QTest::newRow("nul") << QString::fromLatin1("1.2.3.4\0/8", 10) << "" << false;
    QTest::newRow("two slashes") << "1.2.3.4/2/4" << "" << false;
}

void TstAclEditor::entryRules()
{
    QFETCH(QString, text);
    QFETCH(QString, normalised);
    QFETCH(bool, hostBits);
    AclFile::Entry e;
    QString why;
    const bool ok = AclFile::parseEntry(text, &e, &why);
    QCOMPARE(ok, !normalised.isEmpty());
    QCOMPARE(AclFile::hostBitsSet(text), hostBits);
    if (!ok) {
        QVERIFY(!why.isEmpty());
        return;
    }
    QCOMPARE(AclFile::entryText(e), normalised);
    QCOMPARE(e.network & ~e.mask, 0u);
    // The normalised text stands for the same entry.
    AclFile::Entry again;
    QVERIFY(AclFile::parseEntry(normalised, &again));
    QCOMPARE(again.network, e.network);
    QCOMPARE(again.prefix, e.prefix);
}

void TstAclEditor::rangeTexts()
{
    AclFile::Entry e;
    QVERIFY(AclFile::parseEntry("10.0.0.7/24", &e));
    QCOMPARE(AclFile::rangeText(e), QString::fromUtf8("10.0.0.0 - 10.0.0.255 (256个地址)"));
    QVERIFY(AclFile::parseEntry("192.168.1.10", &e));
    QCOMPARE(AclFile::rangeText(e), QString::fromUtf8("192.168.1.10 (1个地址)"));
    QVERIFY(AclFile::parseEntry("0.0.0.0/0", &e));
    QCOMPARE(AclFile::rangeText(e), QString::fromUtf8("0.0.0.0 - 255.255.255.255 (全部地址)"));
    QVERIFY(AclFile::parseEntry("128.0.0.0/1", &e));
    QCOMPARE(AclFile::rangeText(e), QString::fromUtf8("128.0.0.0 - 255.255.255.255 (2147483648个地址)"));
}

void TstAclEditor::fileEdgeCases()
{
    struct Case {
        const char *text;
        bool ok;
        QStringList entries;
        QStringList readOnly = {};
    };
    const QList<Case> cases = {
        {"", true, {}},
        {" \r\n\t", true, {}},
        {"{}", true, {}},
        {"{\"allow\": []}", true, {}},
        {"// PLC and SCADA\n{\"allow\": [\"10.0.0.5\", /* scada */ \"10.0.0.0/28\"]}", true, {"10.0.0.5", "10.0.0.0/28"}},
        // Comment marks inside strings are text: here an invalid entry.
        {"{\"allow\": [\"10.0.0.5//x\"]}", false, {}},
        {"{\"allow\": [\"/*\", \"*/\"]}", false, {}},
        {"{\"allow\": [\"10.0.0.5\",]}", true, {"10.0.0.5"}},
        {"\xEF\xBB\xBF{\"allow\": [\"10.0.0.5\"]}", true, {"10.0.0.5"}},
        {"{\"allow\": [\"10.0.0.7/24\"]}", true, {"10.0.0.7/24"}},  // as written
        {"{\"allow\": [\"1\\u002e2.3.4\"]}", true, {"1.2.3.4"}},
        {"{\"allow\": [\"1.2.3.4\"], \"allow\": [\"5.6.7.8\"]}", true, {"5.6.7.8"}},
        {"// nothing yet", false, {}},
        {"{\"allow\": [\"1.2.3.4\"]} /* open", true, {"1.2.3.4"}},  // after the value: ignored
        {"{\"allow\": [\"1.2.3.4\"] /* open", false, {}},
        {"/* open {\"allow\": []}", false, {}},
        {"{\"allow\": \"1.2.3.4\"}", false, {}},
        {"{\"allow\": [5]}", false, {}},
        {"{\"allowed\": []}", false, {}},
        {"[\"1.2.3.4\"]", false, {}},
        {"{\"allow\": [\"1.2.3.4\"}", false, {}},
        {"{\"allow\": [\"::1\"]}", false, {}},
        {"{\"allow\": [\"1.2.3.4\\u0000\"]}", false, {}},
        {"{\"allow\": [], \"n\": 1e999}", false, {}},
        {"{\"readOnly\": [\"10.0.0.7/24\"], \"allow\": [\"1.2.3.4\"]}", true, {"1.2.3.4"}, {"10.0.0.7/24"}},
    };
    for (const Case &c : cases) {
        AclFile::List list = allowing({"untouched"});
        QString error;
        const bool ok = AclFile::parse(c.text, &list, &error);
        QVERIFY2(ok == c.ok, c.text);
        if (ok)
            QVERIFY2(list.allow == c.entries && list.readOnly == c.readOnly,
                     qPrintable(QString(c.text) + " -> " + list.allow.join(',') + " / " + list.readOnly.join(',')));
        else
            QVERIFY2(!error.isEmpty() && list.allow == QStringList{"untouched"}, c.text);
    }
    AclFile::List list;
    QString error;
    QVERIFY(AclFile::parse(AclFile::serialize(allowing(range("10.0.0", 64))), &list, &error));
    QVERIFY(!AclFile::parse(AclFile::serialize(allowing(range("10.0.0", 65))), &list, &error));
    QVERIFY2(error.contains("64"), qPrintable(error));
    QVERIFY(!AclFile::parse("{\"allow\": [], \"n\": " + QByteArray(2000, '[') + "}", &list, &error));
}

void TstAclEditor::refusedFileLeavesEntries()
{
    AclFile::List list = allowing({"10.0.0.1"});
    QString error;
    QVERIFY(!AclFile::parse("{\"allow\": [\"10.0.0.2\", \"10.0.0.300\"]}", &list, &error));
    QCOMPARE(list.allow, QStringList{"10.0.0.1"});
    QVERIFY2(error.contains("10.0.0.300"), qPrintable(error));
    QVERIFY(!AclFile::parse("{\"allow\": [\"10.0.0.2\"\n\n\"x\"]}", &list, &error));
    QVERIFY2(error.contains(QString::fromUtf8("第3行")), qPrintable(error));
    // A NUL in an entry is named, not passed into the message.
    QVERIFY(!AclFile::parse("{\"allow\": [\"1.2.3.4\\u0000/8\"]}", &list, &error));
    QVERIFY2(error.contains("1.2.3.4?/8") && !error.contains(QChar(0)), qPrintable(error));
    // A bad read-only entry says which list it is in.
    QVERIFY(!AclFile::parse("{\"allow\": [], \"readOnly\": [\"10.0.0.3\", 7]}", &list, &error));
    QVERIFY2(error.contains(QString::fromUtf8("\"readOnly\"的第2项")), qPrintable(error));
}

void TstAclEditor::serializeRoundTrip()
{
    // Without read-only entries the file is what the tool always wrote.
    QCOMPARE(AclFile::serialize(allowing({"192.168.1.10", "10.0.0.0/24"})),
             QByteArray("{\n    \"allow\": [\n        \"192.168.1.10\",\n        \"10.0.0.0/24\"\n    ]\n}\n"));
    QCOMPARE(AclFile::serialize(allowing({}, {"10.0.5.0/24"})),
             QByteArray("{\n    \"allow\": [],\n    \"readOnly\": [\n        \"10.0.5.0/24\"\n    ]\n}\n"));
    const QList<AclFile::List> lists = {allowing({}), allowing({"0.0.0.0/0"}), allowing({"10.0.0.7/24", "10.0.0.7"}),
                                        allowing(range("172.16.4", 64), {"10.0.0.7/24", "10.0.0.7"})};
    for (const AclFile::List &list : lists) {
        AclFile::List back = allowing({"x"}, {"y"});
        QString error;
        QVERIFY2(AclFile::parse(AclFile::serialize(list), &back, &error), qPrintable(error));
        QCOMPARE(back.allow, list.allow);
        QCOMPARE(back.readOnly, list.readOnly);
    }
    // Whatever an edited row holds is written as a valid JSON string.
    AclFile::List back;
    QString error;
    QVERIFY(!AclFile::parse(AclFile::serialize(allowing({}, {"1.2.3.4\"], \"x\": [\""})), &back, &error));
    QVERIFY2(error.contains("1.2.3.4\"]"), qPrintable(error));

    // Keys the service ignores come back as written, names and values (the
    // service's reading of the names is in the cross-check).
    QVERIFY(AclFile::parse("{\"n\\u00e4me\": {\"by\": [1, /* c */ 2e3, \"x\\\"y\"]}, \"allow\": [], \"a\": null}", &back, &error));
    const QByteArray written = AclFile::serialize(back);
    QVERIFY2(written.endsWith("],\n    \"n\\u00e4me\": {\"by\": [1, /* c */ 2e3, \"x\\\"y\"]},\n    \"a\": null\n}\n"),
             written.constData());
    QCOMPARE(AclFile::otherKeysText(back), QString::fromUtf8("\"a\", \"näme\""));
    QCOMPARE(AclFile::meaning(allowing({}, {"10.0.5.9", "10.0.6.0/24"})),
             QString::fromUtf8("modbus端口将接受任何客户端; 以下客户端只能读 (写入被网关拒绝, 异常码1):\n10.0.5.9, 10.0.6.0/24"));
}

void TstAclEditor::allowsAtRangeEdges()
{
    const QStringList net{"192.168.1.0/24"};
    QVERIFY(allows(net, "192.168.1.0"));
    QVERIFY(allows(net, "192.168.1.255"));
    QVERIFY(!allows(net, "192.168.0.255"));
    QVERIFY(!allows(net, "192.168.2.0"));
    const QStringList one{"10.1.1.1/32"};
    QVERIFY(allows(one, "10.1.1.1"));
    QVERIFY(!allows(one, "10.1.1.0"));
    QVERIFY(!allows(one, "10.1.1.2"));
    QVERIFY(allows({"0.0.0.0/0"}, "255.255.255.255"));
    QVERIFY(allows({"0.0.0.0/0"}, "0.0.0.0"));
    QVERIFY(allows({"10.0.0.7/24"}, "10.0.0.200"));  // host bits cleared
    QVERIFY(!allows({"10.1.1.1", "192.168.1.0/24"}, "10.1.1.2"));
    QVERIFY(allows({"10.1.1.1", "192.168.1.0/24"}, "192.168.1.77"));
    QVERIFY(allows({}, "203.0.113.5"));
    // A list the service refuses lets everyone in.
    QVERIFY(allows({"10.1.1.1", "10.1.1.300"}, "203.0.113.5"));
    QVERIFY(allows(range("10.0.0", 65), "203.0.113.5"));
    QVERIFY(!allows({"10.1.1.1"}, "10.1.1.1/32"));
    QVERIFY(!allows({"10.1.1.1"}, "not an address"));
}

void TstAclEditor::addNormalisesAndRefuses()
{
    AclEditor w;
    auto *edit = w.findChild<QLineEdit *>("aclEntryEdit");
    auto *list = w.findChild<QTableWidget *>("aclList");
    QVERIFY(edit && list && w.findChild<QPushButton *>("aclAddBtn"));
    QVERIFY(stateText(w).contains(QString::fromUtf8("列表为空: modbus端口接受任何客户端")));

    edit->setText(" 10.0.0.7/24 ");
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(w.entries(), QStringList{"10.0.0.0/24"});
    QVERIFY(edit->text().isEmpty());
    QCOMPARE(list->item(0, 2)->text(), QString::fromUtf8("10.0.0.0 - 10.0.0.255 (256个地址)"));

    edit->setText("192.168.1.10/32");
    QTest::mouseClick(w.findChild<QPushButton *>("aclAddBtn"), Qt::LeftButton);
    QCOMPARE(w.entries(), (QStringList{"10.0.0.0/24", "192.168.1.10"}));
    QVERIFY(stateText(w).contains(QString::fromUtf8("仅允许2项中的客户端连接modbus端口(未下发的修改)")));

    // Refused: the reason is shown and the typed text kept for correction.
    edit->setText("192.168.1.300");
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(w.entries().size(), 2);
    QCOMPARE(edit->text(), QString("192.168.1.300"));
    QVERIFY2(stateText(w).contains(QString::fromUtf8("0-255")), qPrintable(stateText(w)));
    // Duplicates, also written another way.
    QVERIFY(!w.addEntry("10.0.0.99/24"));
    QVERIFY(!w.addEntry("192.168.1.10"));
    QVERIFY2(stateText(w).contains(QString::fromUtf8("列表中已有")), qPrintable(stateText(w)));
    // A wider range that covers an entry is not a duplicate.
    QVERIFY(w.addEntry("10.0.0.0/16"));
    QCOMPARE(w.entries().size(), 3);
    QCOMPARE(w.fileText(), AclFile::serialize(allowing(w.entries())));
}

void TstAclEditor::addStopsAtTheLimit()
{
    AclEditor w;
    for (const QString &e : range("10.0.0", AclFile::kMaxEntries))
        QVERIFY(w.addEntry(e));
    QVERIFY(!w.addEntry("10.0.1.1"));
    QCOMPARE(w.entries().size(), AclFile::kMaxEntries);
    QVERIFY(stateText(w).contains("64"));
    QVERIFY(w.errors().isEmpty());
}

void TstAclEditor::readOnlyMarksAndState()
{
    AclEditor w;
    w.setLocalAddress("192.168.1.50");
    auto *edit = w.findChild<QLineEdit *>("aclEntryEdit");
    auto *list = w.findChild<QTableWidget *>("aclList");
    QCOMPARE(list->horizontalHeaderItem(1)->text(), QString::fromUtf8("只读"));

    // Added with the box ticked: read-only, and no limit on who connects.
    w.findChild<QCheckBox *>("aclAddReadOnlyCheck")->setChecked(true);
    edit->setText("10.0.5.7/24");
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(list->item(0, 1)->checkState(), Qt::Checked);
    QVERIFY(w.list().allow.isEmpty());
    QVERIFY(statePlain(w).contains(QString::fromUtf8("modbus端口接受任何客户端, 其中1项只读(写入被拒绝)")));
    // One row per entry: the same range as read-write is refused, naming the row's right.
    QVERIFY(!w.addEntry("10.0.5.0/24"));
    QVERIFY2(statePlain(w).contains(QString::fromUtf8("列表中已有 \"10.0.5.0/24\"(只读)")), qPrintable(statePlain(w)));
    QVERIFY(w.addEntry("192.168.1.0/24"));
    QVERIFY(statePlain(w).contains(QString::fromUtf8("仅允许2项中的客户端连接modbus端口, 其中1项只读(写入被拒绝)")));
    QVERIFY(!stateText(w).contains("#cc0000"));

    // This PC made read-only: said in red; unticked in its row, the PC writes again.
    QVERIFY(w.addEntry("192.168.1.50", true));
    QVERIFY(stateText(w).contains("#cc0000") && statePlain(w).contains(QString::fromUtf8("本机地址 192.168.1.50 只能读")));
    w.setModified(false);
    list->item(2, 1)->setCheckState(Qt::Unchecked);
    QVERIFY(w.isModified() && !stateText(w).contains("#cc0000"));
    QCOMPARE(w.list().allow, (QStringList{"192.168.1.0/24", "192.168.1.50"}));
    QCOMPARE(w.fileText(), AclFile::serialize(w.list()));

    // Read-only ranges that together cover every address: nobody writes.
    QString error;
    QVERIFY(w.loadFileText("{\"readOnly\": [\"128.0.0.0/1\", \"0.0.0.0/1\"]}", &error));
    QVERIFY(statePlain(w).startsWith(QString::fromUtf8("modbus端口接受任何客户端, 但都只能读(写入被拒绝)(与网关一致)")));

    // Each list has its own limit of 64.
    AclEditor full;
    for (int i = 0; i < AclFile::kMaxEntries; ++i)
        QVERIFY(full.addEntry(QString("10.0.0.%1").arg(i)) && full.addEntry(QString("10.0.1.%1").arg(i), true));
    QVERIFY(!full.addEntry("10.0.2.1", true));
    full.setReadOnly(0, true);
    QCOMPARE(full.errors(), QStringList{QString::fromUtf8("只读的项共65项, 网关最多接受64项")});
}

void TstAclEditor::fetchedListsComeBackUnchanged()
{
    AclEditor w;
    const QByteArray fetched = "{\"allow\": [\"192.168.1.10\"], \"readOnly\": [\"192.168.1.20\", \"10.0.5.0/24\"],"
                               " \"site\": {\"room\": \"B2\"}}";
    QString error;
    QVERIFY2(w.loadFileText(fetched, &error), qPrintable(error));
    auto *list = w.findChild<QTableWidget *>("aclList");
    QCOMPARE(w.entries(), (QStringList{"192.168.1.10", "192.168.1.20", "10.0.5.0/24"}));
    QCOMPARE(list->item(0, 1)->checkState(), Qt::Unchecked);
    QCOMPARE(w.readOnlyEntries(), (QStringList{"192.168.1.20", "10.0.5.0/24"}));
    QVERIFY2(statePlain(w).contains(QString::fromUtf8("网关不读取的 \"site\" 原样保留在文件中")), qPrintable(statePlain(w)));
    // Installed unchanged, both lists and the kept key are written; an edit
    // keeps the key, the next fetch replaces it.
    AclFile::List back;
    QVERIFY(AclFile::parse(w.fileText(), &back, &error));
    QCOMPARE(back.readOnly, w.readOnlyEntries());
    QVERIFY(w.addEntry("192.168.1.11"));
    QVERIFY(w.fileText().contains("\"site\": {\"room\": \"B2\"}"));
    QVERIFY(w.loadFileText("{\"allow\": []}", &error));
    QVERIFY(!w.fileText().contains("site") && !stateText(w).contains("site"));
}

void TstAclEditor::removeBySelectionAndKey()
{
    AclEditor w;
    for (const QString &e : range("10.0.0", 5))
        QVERIFY(w.addEntry(e));
    auto *list = w.findChild<QTableWidget *>("aclList");
    list->selectionModel()->clearSelection();
    list->selectRow(1);
    list->setSelectionMode(QAbstractItemView::MultiSelection);
    list->selectRow(3);
    QTest::mouseClick(w.findChild<QPushButton *>("aclRemoveBtn"), Qt::LeftButton);
    QCOMPARE(w.entries(), (QStringList{"10.0.0.0", "10.0.0.2", "10.0.0.4"}));
    list->clearSelection();
    list->selectRow(0);
    QTest::keyClick(list, Qt::Key_Delete);
    QCOMPARE(w.entries(), (QStringList{"10.0.0.2", "10.0.0.4"}));
    // Nothing selected: nothing removed.
    list->clearSelection();
    QCOMPARE(w.removeSelected(), 0);
    QCOMPARE(w.entries().size(), 2);
}

void TstAclEditor::modifiedFlagAndSignal()
{
    AclEditor w;
    QSignalSpy spy(&w, &AclEditor::modifiedChanged);
    QVERIFY(!w.isModified());
    QVERIFY(w.addEntry("10.0.0.1"));
    QVERIFY(w.isModified());
    QVERIFY(w.addEntry("10.0.0.2"));
    QCOMPARE(spy.count(), 1);  // only on a change
    QCOMPARE(spy.at(0).at(0).toBool(), true);
    w.setModified(false);
    QCOMPARE(spy.count(), 2);
    QVERIFY(stateText(w).contains(QString::fromUtf8("(与网关一致)")));
    QVERIFY(!w.addEntry("10.0.0.2"));  // a refused add changes nothing
    QVERIFY(!w.isModified());
    // Editing a row in place counts too.
    w.findChild<QTableWidget *>("aclList")->item(0, 0)->setText("10.0.0.9");
    QVERIFY(w.isModified());
    QCOMPARE(spy.count(), 3);
    QString error;
    QVERIFY(w.loadFileText("{\"allow\": []}", &error));
    QVERIFY(!w.isModified());
    QCOMPARE(spy.count(), 4);
    QCOMPARE(spy.at(3).at(0).toBool(), false);
}

void TstAclEditor::warningsBeforeInstall()
{
    AclEditor w;
    w.setLocalAddress("192.168.1.50");
    QVERIFY(w.warnings().isEmpty());  // empty list: the PC gets in
    QVERIFY(w.addEntry("192.168.1.10"));
    QVERIFY(w.warnings().join('\n').contains("192.168.1.50"));
    QVERIFY(stateText(w).contains("#cc0000"));
    QVERIFY(w.addEntry("192.168.1.0/24"));
    // Now the PC is in, and the first entry is covered by the second.
    const QStringList covered = w.warnings();
    QCOMPARE(covered.size(), 1);
    QVERIFY(covered[0].contains("\"192.168.1.10\"") && covered[0].contains("192.168.1.0/24"));
    QVERIFY(!stateText(w).contains("#cc0000"));
    QVERIFY(w.addEntry("0.0.0.0/0"));
    const QString all = w.warnings().join('\n');
    QVERIFY2(all.contains(QString::fromUtf8("允许任何客户端")), qPrintable(all));

    // A fetched file with repeats and host bits.
    QString error;
    QVERIFY(w.loadFileText("{\"allow\": [\"10.0.0.7/24\", \"10.0.0.0/24\", \"192.168.1.50\"]}", &error));
    const QStringList loaded = w.warnings();
    QCOMPARE(loaded.size(), 2);
    QVERIFY2(loaded[0].contains("10.0.0.0/24") && loaded[0].contains("10.0.0.7/24"), qPrintable(loaded[0]));
    QVERIFY2(loaded[1].contains(QString::fromUtf8("重复")), qPrintable(loaded[1]));
    QVERIFY(w.errors().isEmpty());

    // Read-only entries: this PC's writes refused, a read-write entry inside a
    // read-only one, misspelt lists. A read-only entry inside a read-write
    // range is what the list is for: no warning.
    QVERIFY(w.loadFileText("{\"allow\": [\"192.168.1.0/24\", \"10.0.5.9\"], \"readOnly\": [\"192.168.1.48/29\", "
                           "\"10.0.5.0/24\"], \"readonly\": [], \"Allow\": []}",
                           &error));
    const QStringList ro = w.warnings();
    QCOMPARE(ro.size(), 4);
    QVERIFY2(ro[0].contains(QString::fromUtf8("本机地址 192.168.1.50 在只读项 \"192.168.1.48/29\" 中")), qPrintable(ro[0]));
    QVERIFY2(ro[1].contains(QString::fromUtf8("\"10.0.5.9\" 也在只读项 \"10.0.5.0/24\" 中")), qPrintable(ro[1]));
    QVERIFY2(ro[2].contains("\"readonly\"") && ro[3].contains("\"Allow\""), qPrintable(ro.join('\n')));
    // Only read-only entries: everyone else may write, unless they cover every address.
    QVERIFY(w.loadFileText("{\"readOnly\": [\"10.0.5.0/24\"]}", &error));
    QCOMPARE(w.warnings(), QStringList{QString::fromUtf8("没有可读写的项: 只读项以外的任何客户端都能连接并写入")});
    QVERIFY(w.loadFileText("{\"readOnly\": [\"0.0.0.0/0\"]}", &error));
    QCOMPARE(w.warnings().size(), 2);  // this PC, and nobody writes
    QVERIFY(w.warnings()[1].contains(QString::fromUtf8("使任何客户端都只能读")));
}

void TstAclEditor::loadRefusesBrokenFile()
{
    AclEditor w;
    QVERIFY(w.addEntry("10.0.0.1"));
    QSignalSpy spy(&w, &AclEditor::modifiedChanged);
    QString error;
    QVERIFY(!w.loadFileText("{\"allow\": [\"10.0.0.2\", \"10.0.0.2/40\"]}", &error));
    QVERIFY2(error.contains("10.0.0.2/40"), qPrintable(error));
    QCOMPARE(w.entries(), QStringList{"10.0.0.1"});
    QVERIFY(w.isModified());
    QCOMPARE(spy.count(), 0);
    QVERIFY(!w.loadFileText("// only a comment", &error));
    QCOMPARE(w.entries(), QStringList{"10.0.0.1"});
    QVERIFY(w.loadFileText("", &error));
    QVERIFY(w.entries().isEmpty());
}

void TstAclEditor::installNeedsFixesAndConfirmation()
{
    bool answer = false;
    DialogSeam::setResponder([this, &answer](const DialogSeam::Request &r) {
        m_asked << r;
        return answer;
    });
    AclEditor w;
    QSignalSpy install(&w, &AclEditor::installRequested);
    QSignalSpy fetch(&w, &AclEditor::fetchRequested);
    auto *put = w.findChild<QPushButton *>("sshPutAclBtn");
    auto *get = w.findChild<QPushButton *>("sshGetAclBtn");
    QVERIFY(put && get);
    w.setLocalAddress("10.0.0.50");
    QVERIFY(w.addEntry("10.0.0.1"));

    // A row edited into something the service refuses blocks the install.
    auto *list = w.findChild<QTableWidget *>("aclList");
    list->item(0, 0)->setText("10.0.0.1 ");
    QCOMPARE(w.errors().size(), 1);
    QVERIFY(w.warnings().isEmpty());  // the PC check waits for a valid list
    QTest::mouseClick(put, Qt::LeftButton);
    QCOMPARE(install.count(), 0);
    QCOMPARE(m_asked.size(), 1);
    QCOMPARE(m_asked[0].kind, DialogSeam::Warning);

    // Fixed, the PC left out: asked, refused, asked again and accepted.
    list->item(0, 0)->setText("10.0.0.1");
    QVERIFY(w.errors().isEmpty());
    QTest::mouseClick(put, Qt::LeftButton);
    QCOMPARE(m_asked.size(), 2);
    QCOMPARE(m_asked[1].kind, DialogSeam::Confirm);
    QVERIFY(m_asked[1].text.contains("10.0.0.50"));
    QCOMPARE(install.count(), 0);
    answer = true;
    QTest::mouseClick(put, Qt::LeftButton);
    QCOMPARE(install.count(), 1);

    // Nothing to confirm: straight through.
    QVERIFY(w.addEntry("10.0.0.50"));
    QTest::mouseClick(put, Qt::LeftButton);
    QCOMPARE(install.count(), 2);
    QCOMPARE(m_asked.size(), 3);

    // Fetching over unsent changes asks first.
    answer = false;
    QTest::mouseClick(get, Qt::LeftButton);
    QCOMPARE(fetch.count(), 0);
    w.setModified(false);
    QTest::mouseClick(get, Qt::LeftButton);
    QCOMPARE(fetch.count(), 1);

    w.setGatewayActionsEnabled(false);
    QVERIFY(!put->isEnabled() && !get->isEnabled());
    QTest::mouseClick(put, Qt::LeftButton);
    QCOMPARE(install.count(), 2);
}

void TstAclEditor::fitsAtMinimumSize()
{
    AclEditor w;
    w.setLocalAddress("192.168.1.50");
    QString error;
    QVERIFY(w.loadFileText("{\"readOnly\": [\"192.168.1.50\"], \"site\": \"B2\"}", &error));
    for (int i = 0; i < 10; ++i)
        QVERIFY(w.addEntry(QString("192.168.%1.0/24").arg(100 + i)));
    QVERIFY(!w.addEntry("192.168.100.200/99"));  // the longest state: four lines
    w.resize(w.minimumSizeHint());
    w.show();
    // Not waited for as exposed: wine's offscreen windows never report it;
    // showing lays the editor out, which is what is measured.
    QVERIFY(w.isVisible());
    QCoreApplication::processEvents();
    // LAYOUT_SHOTS=dir keeps a picture for a look by eye.
    const QString shots = qEnvironmentVariable("LAYOUT_SHOTS");
    if (!shots.isEmpty())
        w.grab().save(shots + "/acleditor-min.png");

    QStringList faults;
    for (QWidget *c : w.findChildren<QWidget *>()) {
        if (!c->isVisible() || c->objectName().startsWith("qt_")
            || qobject_cast<QAbstractItemView *>(c->parentWidget())
            || (c->parentWidget() && qobject_cast<QAbstractItemView *>(c->parentWidget()->parentWidget())))
            continue;
        const QSize hint = c->minimumSizeHint();
        if (hint.isValid() && (c->width() < hint.width() || c->height() < hint.height()))
            faults << QString("%1 %2x%3 < %4x%5").arg(c->objectName()).arg(c->width()).arg(c->height())
                          .arg(hint.width()).arg(hint.height());
        if (c->parentWidget() == &w && !w.rect().contains(c->geometry()))
            faults << QString("%1 outside the editor").arg(c->objectName());
    }
    auto *state = w.findChild<QLabel *>("aclStateLabel");
    if (state->height() < state->heightForWidth(state->width()))
        faults << QString("state label cut: %1 < %2").arg(state->height()).arg(state->heightForWidth(state->width()));
    auto *list = w.findChild<QTableWidget *>("aclList");
    for (int c : {1, 2})
        if (list->columnWidth(c) < static_cast<QAbstractItemView *>(list)->sizeHintForColumn(c))
            faults << QString("column %1 cut: %2").arg(c).arg(list->item(1, c)->text());
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
    QVERIFY2(list->viewport()->height() / list->verticalHeader()->defaultSectionSize() >= 3,
             qPrintable(QString::number(list->viewport()->height())));
    // Small enough for a tab on a 1366x768 laptop.
    QVERIFY(w.minimumSizeHint().width() <= 700);
    QVERIFY(w.minimumSizeHint().height() <= 400);
}

QTEST_MAIN(TstAclEditor)
#include "tst_acleditor.moc"
