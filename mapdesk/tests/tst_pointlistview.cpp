// The point list view against real output of `busrelay --points` on the
// sample configuration: both forms parse to the same table, the unit filter
// and the address order hold, and a saved CSV reads back unchanged.
#include <QComboBox>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "pointlistview.h"

class TstPointListView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void bothFormatsGiveTheSameTable();
    void unitFilterAndAddressOrder();
    void savedCsvReadsBack();
    void quotingRoundTrips();
    void badDataKeepsTheShownList();

private:
    QByteArray runPoints(const QString &format);
    QByteArray m_csv;
    QByteArray m_json;
};

QByteArray TstPointListView::runPoints(const QString &format)
{
    const QString bin = qEnvironmentVariable("BIN_DIR") + "/busrelay";
    const QString sample = qEnvironmentVariable("SOURCE_DIR") + "/busrelay/sample";
    QProcess p;
    p.start(bin, {"--points", "--format", format, sample});
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QByteArray();
    return p.readAllStandardOutput();
}

void TstPointListView::initTestCase()
{
    const QString bin = qEnvironmentVariable("BIN_DIR") + "/busrelay";
    if (!QFile::exists(bin))
        QSKIP("busrelay is not built (BIN_DIR)");
    m_csv = runPoints("csv");
    m_json = runPoints("json");
    QVERIFY(m_csv.startsWith("\xEF\xBB\xBF"));
    QVERIFY(m_json.trimmed().startsWith('['));
}

void TstPointListView::bothFormatsGiveTheSameTable()
{
    PointListView csvView, jsonView;
    QString error;
    QVERIFY2(csvView.loadData(m_csv, &error), qPrintable(error));
    QVERIFY2(jsonView.loadData(m_json, &error), qPrintable(error));

    const PointTable a = csvView.shownTable();
    const PointTable b = jsonView.shownTable();
    QCOMPARE(a.rows.size(), m_csv.count("\r\n") - 1);
    QCOMPARE(a.columns, b.columns);
    QCOMPARE(a.rows.size(), b.rows.size());
    for (int r = 0; r < a.rows.size(); ++r)
        QCOMPARE(a.rows.at(r), b.rows.at(r));

    QCOMPARE(csvView.errorCount(), 0);
    QCOMPARE(csvView.units(), QStringList({"1", "2", "3", "4", "5", "6", "7", "8", "255"}));
    for (const char *c : {"unit", "device_key", "table", "address", "number", "direct_address",
                          "identifier", "path", "data_type", "register_type", "register_count",
                          "scaling", "min", "max", "values", "access", "cleared_after_read",
                          "slot", "error"})
        QVERIFY2(a.column(c) >= 0, c);
    auto *box = csvView.findChild<QComboBox *>("pointUnitFilter");
    QVERIFY(box);
    QCOMPARE(box->count(), 10);
}

void TstPointListView::unitFilterAndAddressOrder()
{
    PointListView view;
    QVERIFY(view.loadData(m_csv));
    PointTable all;
    QVERIFY(parsePointList(m_csv, &all, nullptr));
    const int unitCol = all.column("unit");
    int unit5 = 0;
    for (const QStringList &r : all.rows)
        unit5 += r.at(unitCol) == "5";
    QVERIFY(unit5 > 0);

    auto *box = view.findChild<QComboBox *>("pointUnitFilter");
    box->setCurrentIndex(box->findData("5"));  // as the user picks it
    QCOMPARE(view.shownCount(), unit5);
    const PointTable shown = view.shownTable();
    const int tableCol = shown.column("table");
    const int addrCol = shown.column("address");
    static const QStringList order = {"coil", "discrete input", "input register",
                                      "holding register"};
    for (int i = 0; i < shown.rows.size(); ++i) {
        QCOMPARE(shown.rows.at(i).at(unitCol), QString("5"));
        if (i == 0)
            continue;
        const QStringList &p = shown.rows.at(i - 1), &q = shown.rows.at(i);
        const int tp = order.indexOf(p.at(tableCol)), tq = order.indexOf(q.at(tableCol));
        QVERIFY(tp <= tq);
        if (tp == tq)
            QVERIFY(p.at(addrCol).toInt() < q.at(addrCol).toInt());
    }

    // Descending: the same rows reversed. Whole list: units in numeric order (255 last).
    view.sortByAddress(Qt::DescendingOrder);
    const PointTable down = view.shownTable();
    for (int i = 0; i < shown.rows.size(); ++i)
        QCOMPARE(down.rows.at(i), shown.rows.at(shown.rows.size() - 1 - i));
    view.setUnitFilter(QString());
    view.sortByAddress();
    QCOMPARE(view.shownCount(), all.rows.size());
    const PointTable whole = view.shownTable();
    QCOMPARE(whole.rows.first().at(unitCol), QString("1"));
    QCOMPARE(whole.rows.last().at(unitCol), QString("255"));
}

void TstPointListView::savedCsvReadsBack()
{
    PointListView view;
    QVERIFY(view.loadData(m_json));
    view.setUnitFilter("7");
    QTemporaryDir dir;
    const QString path = dir.filePath("vrv.csv");
    QString error;
    QVERIFY2(view.saveCsv(path, &error), qPrintable(error));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray data = f.readAll();
    QVERIFY(data.startsWith("\xEF\xBB\xBF" "unit,"));
    PointTable back;
    QVERIFY(parsePointList(data, &back, &error));
    const PointTable shown = view.shownTable();
    QCOMPARE(back.columns, shown.columns);
    QCOMPARE(back.rows, shown.rows);
    QVERIFY(back.rows.size() > 0);
    QCOMPARE(back.rows.first().at(back.column("slot")), QString("0"));

    QVERIFY(!view.saveCsv(dir.filePath("no/such/dir/x.csv"), &error));
    QVERIFY(!error.isEmpty());
}

void TstPointListView::quotingRoundTrips()
{
    PointTable t;
    t.columns = QStringList{"unit", "device_name", "note", "address"};
    t.rows << QStringList{"3", QStringLiteral("会议室, \"A\""), "two\nlines", "3"}
           << QStringList{"4", QStringLiteral("大厅"), " padded ", ""};
    const QByteArray csv = pointListToCsv(t);
    QVERIFY(csv.contains(QStringLiteral("\"会议室, \"\"A\"\"\"").toUtf8()));
    PointTable back;
    QString error;
    QVERIFY2(parsePointList(csv, &back, &error), qPrintable(error));
    QCOMPARE(back.columns, t.columns);
    QCOMPARE(back.rows, t.rows);
}

void TstPointListView::badDataKeepsTheShownList()
{
    PointListView view;
    QVERIFY(view.loadData(m_csv));
    const int before = view.shownCount();
    QString error;
    QVERIFY(!view.loadData("not a point list\r\n", &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!view.loadData("unit,table\r\n1,coil,extra\r\n", &error));
    QVERIFY(!view.loadData("unit,table\r\n\"1,coil\r\n", &error));
    QVERIFY(!view.loadData("{\"unit\": 1}", &error));
    QCOMPARE(view.shownCount(), before);
}

QTEST_MAIN(TstPointListView)
#include "tst_pointlistview.moc"
