// The tool reads mbacl.json as the service does: the same texts go to
// AclFile and to the service's own reader (mbacl_check, linked with the
// service code), and both must accept or refuse alike, with the same
// normalised entries in both lists, the same ignored keys, and the same right
// (refused, read-only, full) at the edges of every range in the text. A file
// the tool calls fine but the service refuses would leave the port open to
// everyone; a read-only client taken for a full one would write. Also: the
// editor's rows (its warnings) against the file written from them, and every
// accepted file written back as a fetch and an install write it, which the
// service must read exactly as the original.
#include "aclfile.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

namespace {

struct Case {
    enum Kind { Entry, File, Rows } kind;
    QByteArray text;
    QStringList probes;
    AclFile::List rows;  // Rows: what the text was written from
    int writtenFrom = -1;  // the case whose accepted file this one writes back
};

QString rightText(AclFile::Right r)
{
    return r == AclFile::Refused ? "refused" : r == AclFile::ReadOnly ? "read-only" : "full";
}

QString normalised(const QStringList &entries)
{
    QStringList out;
    for (const QString &t : entries) {
        AclFile::Entry e;
        out << (AclFile::parseEntry(t, &e) ? AclFile::entryText(e) : "<bad " + t + ">");
    }
    return out.join(' ');
}

QString ignoredText(const AclFile::List &list)
{
    QByteArray text;
    for (const QByteArray &name : AclFile::otherKeyNames(list))
        text += (text.isEmpty() ? "\"" : ", \"") + name + "\"";
    return QString::fromLatin1(text);
}

// Every range written in the text: its first and last address and their
// neighbours outside it; and a few addresses no list names.
QStringList probesOf(const QByteArray &text)
{
    QStringList probes{"0.0.0.0", "255.255.255.255", "127.0.0.1", "10.0.0.5", "192.168.1.20"};
    auto dotted = [](quint32 a) {
        return QString("%1.%2.%3.%4").arg(a >> 24).arg((a >> 16) & 0xFF).arg((a >> 8) & 0xFF).arg(a & 0xFF);
    };
    static const QRegularExpression range("\\d{1,3}(\\.\\d{1,3}){3}(/\\d{1,2})?");
    auto it = range.globalMatch(QString::fromLatin1(text));
    while (it.hasNext()) {
        AclFile::Entry e;
        if (!AclFile::parseEntry(it.next().captured(), &e))
            continue;
        const quint32 last = e.network | ~e.mask;
        for (quint32 a : {e.network - 1, e.network, last, last + 1})
            if (!probes.contains(dotted(a)))
                probes << dotted(a);
    }
    return probes;
}

QString toolVerdict(const Case &c)
{
    if (c.kind == Case::Entry) {
        AclFile::Entry e;
        return AclFile::parseEntry(QString::fromLatin1(c.text.constData(), c.text.size()), &e) ? "ok " + AclFile::entryText(e)
                                                                    : QStringLiteral("refused");
    }
    AclFile::List list;
    QString error;
    QString line;
    if (AclFile::parse(c.text, &list, &error))
        line = "ok allow[" + normalised(list.allow) + "] readOnly[" + normalised(list.readOnly) + "] ignored["
               + ignoredText(list) + "]";
    else
        line = "refused";
    // A refused file leaves no list in force.
    const AclFile::List rights = c.kind == Case::Rows ? c.rows : line == "refused" ? AclFile::List() : list;
    line += " |";
    for (const QString &ip : c.probes)
        line += " " + ip + "=" + rightText(AclFile::rightOf(rights, ip));
    return line;
}

QList<Case> entryCases()
{
    QList<QByteArray> texts = {
        "1.2.3.4", "1.2.3.4/", "/24", "01.2.3.4", "1.2.3.04", "0.0.0.0", "0.0.0.0/0", "00.0.0.0",
        "1.2.3.4 ", " 1.2.3.4", "1.2.3.4 /24", "1.2.3.4/ 24", "256.0.0.1", "255.255.255.255",
        "1.2.3.4/33", "1.2.3.4/32", "1.2.3.4/00", "1.2.3.4/01", "1.2.3.4/0", "1.2.3.4/100",
        "1.2.3.4/-1", "1.2.3.4/+8", "1.2.3.4/24/8", "1.2.3.4//24", "::1", "::ffff:1.2.3.4",
        "fe80::1/64", "1.2.3", "1.2.3.4.5", "1.2.3.", ".1.2.3", "1..2.3", "1.2.3.4.", "0x1.2.3.4",
        "1.2.3.4a", "a.b.c.d", "1e1.2.3.4", "", "/", "1.2.3.4/2a", "1.2.3.4/3 ", "１.2.3.4",
        "1.2.3.4\t", "10.0.0.7/24", "192.168.1.255/31", "128.0.0.1/1", "1.2.3.1000", "1.2.3.0255",
        QByteArray("1.2.3.4\0", 8), QByteArray("1.2.3.4\0/24", 11), QByteArray("1.2.3.4/2\0", 10),
        "1.2.3.4\n", "\xEF\xBB\xBF" "1.2.3.4", "1.2.3.4\xC2\xA0"};
    // Every prefix length around the edges, host bits set.
    for (int p = 0; p <= 34; ++p)
        texts << QByteArray("203.0.113.77/") + QByteArray::number(p);
    QList<Case> cases;
    for (const QByteArray &t : texts)
        cases << Case{Case::Entry, t, {}, {}};
    return cases;
}

QList<Case> fileCases()
{
    QList<QByteArray> texts = {
        "", "   \n\t\r\n", "{}", "{ }", "[]", "null", "\"x\"", "42", "{\"allow\": []}",
        "{\"allow\": [\"192.168.1.10\", \"10.0.0.7/24\"]}",
        "{\"allow\": \"1.2.3.4\"}", "{\"allow\": {\"a\": \"1.2.3.4\"}}", "{\"allow\": null}",
        "{\"allow\": [1]}", "{\"allow\": [\"1.2.3.4\", null]}", "{\"allow\": [[\"1.2.3.4\"]]}",
        "{\"allow\": [\"1.2.3.4 \"]}", "{\"allow\": [\"::1\"]}", "{\"allow\": [\"1.2.3.4/33\"]}",
        "{\"other\": 1}", "{\"allow\": [], \"other\": 1}", "{\"Allow\": [\"1.2.3.4\"]}",
        "[\"1.2.3.4\"]", "{\"allow\": [\"1.2.3.4\"]", "{\"allow\": [\"1.2.3.4\"}", "{\"allow\" [\"1.2.3.4\"]}",
        "{allow: [\"1.2.3.4\"]}", "{'allow': ['1.2.3.4']}",
        // Comments, and comment marks inside strings.
        "// the PLC only\n{\"allow\": [\"10.0.0.5\"]}",
        "/* header */ {\"allow\": [\"10.0.0.5\" /* PLC */, \"10.0.0.6\" // SCADA\n]}",
        "{\"allow\": [\"10.0.0.5\"]} // trailing",
        "{\"allow\": [\"//10.0.0.5\"]}", "{\"allow\": [\"10.0.0.5/*\"]}",
        "{\"al//low\": [\"1.2.3.4\"]}", "{\"allow\": [\"1.2.3.4\"] /* unterminated",
        "/* unterminated {\"allow\": []}", "// only a comment", "/* only */", "/*/ {\"allow\": [\"1.2.3.4\"]}",
        "/**/{\"allow\": [\"1.2.3.4\"]}", "/ {\"allow\": []}", "{\"allow\" /* c */ : [\"1.2.3.4\"]}",
        "{\"allow\": /* c */ [\"1.2.3.4\"]}", "{\"allow\": [ /* c */ ]}", "{ /* c */ }",
        "{\"allow\": [\"1.2.3.4\", /* c */ ]}", "{\"a\": 1 /* c */ \"allow\": []}",
        "{\"allow\": [\"1.2.3.4\"] /* c */ }", "{\"allow\": [\"1.2.3.4\"]\r// dos\r\n}",
        // Trailing commas, extra text, repeated names.
        "{\"allow\": [\"1.2.3.4\",]}", "{\"allow\": [\"1.2.3.4\"],}", "{\"allow\": [,]}", "{,}",
        "{\"allow\": [\"1.2.3.4\",,]}", "{\"allow\": [\"1.2.3.4\"]} garbage",
        "{\"allow\": [\"1.2.3.4\"]}{\"allow\": [\"5.6.7.8\"]}",
        "{\"allow\": [\"1.2.3.4\"], \"allow\": [\"5.6.7.8\"]}", "{\"allow\": [\"bad\"], \"allow\": []}",
        "{\"allow\": [], \"allow\": 5}",
        // Byte-order mark, escapes, odd bytes.
        "\xEF\xBB\xBF{\"allow\": [\"1.2.3.4\"]}", "\xEF\xBB\xBF", "\xEF\xBB\xBF  ",
        "{\"\\u0061llow\": [\"1.2.3.4\"]}", "{\"allow\": [\"1.2.3.\\u0034\"]}",
        "{\"allow\": [\"1.2.3.4\\/24\"]}", "{\"allow\": [\"1.2.3.4\\u0000\"]}",
        "{\"allow\": [\"1.2.3.4\\u0000/8\"]}", "{\"allow\": [\"1.2.3.4\\x\"]}", "{\"allow\": [\"1.2.3.4\\u00\"]}",
        "{\"allow\": [\"1.2.3.4\"], \"n\": \"\\ud800\"}", "{\"allow\": [\"1.2.3.4\"], \"n\": \"\\ud800\\u0041\"}",
        "{\"allow\": [\"1.2.3.4\"], \"n\": \"\\udc00\"}", "{\"allow\": [\"1.2.3.4\"], \"n\": \"\\ud800xxxxxx\"}",
        "{\"allow\": [\"1.2.3.4\"], \"n\": \"\xff\xfe\"}", "{\"allow\": [\"1.2.3.4\"], \"n\": \"a\tb\"}",
        QByteArray("{\"allow\": [\"1.2.3.4\"]}\0garbage", 30), QByteArray("{\"allow\": [\"1.2.3.4\"\0]}", 23),
        QByteArray("\0{\"allow\": []}", 14), "\v{\"allow\": []}", "{\"allow\": [\"1.2.3.4\"]}\f",
        // Numbers and literals elsewhere in the object.
        "{\"allow\": [], \"n\": -}", "{\"allow\": [], \"n\": 1.}", "{\"allow\": [], \"n\": .5}",
        "{\"allow\": [], \"n\": 1e}", "{\"allow\": [], \"n\": 1e+}", "{\"allow\": [], \"n\": 1e5}",
        "{\"allow\": [], \"n\": 01}", "{\"allow\": [], \"n\": -.}", "{\"allow\": [], \"n\": 1e999}",
        "{\"allow\": [], \"n\": +1}", "{\"allow\": [], \"n\": +}", "{\"allow\": [], \"n\": +Infinity}",
        "{\"allow\": [], \"n\": 1e-999}", "{\"allow\": [], \"n\": -1e999}", "{\"allow\": [], \"n\": 1.7e308}",
        "{\"allow\": [], \"n\": 1.8e308}", "{\"allow\": [], \"n\": 4e-320}", "{\"allow\": [], \"n\": -9223372036854775809}",
        "{\"allow\": [], \"n\": 18446744073709551616}", "{\"allow\": [], \"n\": " + QByteArray(400, '9') + "}", "{\"allow\": [], \"n\": -Infinity}", "{\"allow\": [], \"n\": NaN}",
        "{\"allow\": [], \"n\": 1.5.5}", "{\"allow\": [], \"n\": 99999999999999999999999}",
        "{\"allow\": [], \"n\": tru}", "{\"allow\": [], \"n\": true}", "{\"allow\": [], \"n\": nulll}",
        "{\"allow\": [], \"n\": [true, false, null, {}, []]}", "{\"allow\": [\"1.2.3.4\"], \"n\": -1E-3}"};
    // The entry limit: 64 is fine, 65 is refused before any entry is looked at.
    for (int n : {64, 65}) {
        QByteArray t = "{\"allow\": [";
        for (int i = 0; i < n; ++i)
            t += (i ? ", \"10.0." : "\"10.0.") + QByteArray::number(i / 250) + "." + QByteArray::number(i % 250) + "\"";
        texts << t + "]}";
    }
    texts << "{\"allow\": [" + QByteArray(65 * 4, 'x').replace("xxxx", "1, ") + "1]}";
    // Deep nesting, at the reader's limit and past it.
    for (int depth : {999, 1000, 1001, 5000}) {
        const QByteArray open(depth - 1, '[');
        texts << "{\"allow\": [], \"n\": " + open + QByteArray(depth - 1, ']') + "}";
        texts << "{\"allow\": [], \"n\": " + open + "}";
    }
    // What the tool writes reads back in the service.
    QStringList full;
    for (int i = 0; i < AclFile::kMaxEntries; ++i)
        full << QString("172.16.%1.%2/%3").arg(i).arg(i * 3).arg(i % 33);
    for (const QStringList &list : {QStringList(), QStringList{"192.168.1.10", "10.0.0.7/24", "0.0.0.0/0"}, full}) {
        AclFile::List l;
        l.allow = list;
        texts << AclFile::serialize(l);
    }
    // The read-only list: as strict as "allow", admitting by itself, the
    // narrower right winning, without "allow" limiting only the listed.
    texts << "{\"readOnly\": []}" << "{\"readOnly\": null}" << "{\"readOnly\": [1]}" << "{\"readOnly\": [\"1.2.3.4 \"]}"
          << "{\"allow\": [\"192.168.1.10\"], \"readOnly\": [\"192.168.1.20\", \"10.0.5.0/24\"]}"
          << "{\"allow\": [\"192.168.1.0/24\"], \"readOnly\": [\"192.168.1.20\", \"192.168.1.128/26\"]}"
          << "{\"allow\": [\"10.0.0.5\"], \"readOnly\": [\"10.0.0.7/24\"]}" << "{\"readOnly\": [\"0.0.0.0/0\"]}"
          << "{\"allow\": [\"0.0.0.0/0\"], \"readOnly\": [\"203.0.113.0/25\"]}"
          << "{\"allow\": [\"1.2.3.4\"], \"readOnly\": [\"bad\"]}" << "{\"allow\": null, \"readOnly\": [\"1.2.3.4\"]}"
          << "{\"readonly\": [\"1.2.3.4\"]}" << "{\"allow\": [\"1.2.3.4\"], \"readonly\": [\"5.6.7.8\"]}"
          << "{\"read\\u004Fnly\": [\"1.2.3.4\"]}" << "{\"readOnly\": [\"bad\"], \"readOnly\": [\"1.2.3.4\"]}"
          << "// BMS\n{\"readOnly\": [\"10.0.5.0/24\" /* PC */,], /* and */ \"allow\": [\"10.0.6.1\"]}"
          // Ignored keys, in the service's order, kept by a write-back.
          << "{\"readOnly\": [\"1.2.3.4\"], \"z\": 1, \"a\": [], \"\\u00e4\": {\"x\": [1, /* c */ 2]}, \"\": 0, \"Z\": \"\\\"\"}"
          << "{\"readOnly\": [\"1.2.3.4\"], \"note\": \"x\", \"note\": [1]}"
          << "{\"allow\": [\"1.2.3.4\"], \"n\": -, \"m\": 1.5e3 // c\n}";
    for (int n : {64, 65}) {
        QByteArray t = "{\"allow\": [\"10.9.9.9\"], \"readOnly\": [";
        for (int i = 0; i < n; ++i)
            t += (i ? ", \"10.1." : "\"10.1.") + QByteArray::number(i) + ".0/24\"";
        texts << t + "]}";
    }
    QList<Case> cases;
    for (const QByteArray &t : texts)
        cases << Case{Case::File, t, probesOf(t), {}};
    return cases;
}

// The editor's rows, also ones the service would refuse: the tool's rights
// from the rows themselves, the service's from the file written from them.
QList<Case> rowCases()
{
    auto rows = [](const QStringList &allow, const QStringList &readOnly) {
        AclFile::List l;
        l.allow = allow;
        l.readOnly = readOnly;
        return l;
    };
    QStringList many;
    for (int i = 0; i < AclFile::kMaxEntries + 1; ++i)
        many << QString("172.16.%1.0/24").arg(i);
    const QList<AclFile::List> lists = {rows({"192.168.1.0/24"}, {"192.168.1.20", "10.0.5.0/24"}),
                                        rows({"192.168.1.0/24"}, {"192.168.1.20", "192.168.1.21 "}),
                                        rows({"10.0.0.1"}, many)};
    QList<Case> cases;
    for (const AclFile::List &l : lists) {
        const QByteArray text = AclFile::serialize(l);
        cases << Case{Case::Rows, text, probesOf(text + l.allow.join(' ').toLatin1() + l.readOnly.join(' ').toLatin1()), l};
    }
    return cases;
}

// Each accepted file as the tool writes it back after a fetch.
QList<Case> writtenBack(const QList<Case> &cases)
{
    QList<Case> out;
    for (int i = 0; i < cases.size(); ++i) {
        AclFile::List l;
        QString error;
        if (cases[i].kind == Case::File && AclFile::parse(cases[i].text, &l, &error))
            out << Case{Case::Rows, AclFile::serialize(l), cases[i].probes, l, i};
    }
    return out;
}

} // namespace

class TstAclCrossCheck : public QObject
{
    Q_OBJECT

private slots:
    void sameVerdictAsTheService();
};

void TstAclCrossCheck::sameVerdictAsTheService()
{
    const QString checker = qEnvironmentVariable("BIN_DIR") + "/mbacl_check";
    if (!QFileInfo(checker).isExecutable())
        QSKIP(qPrintable("service allow-list check not built (" + checker + ")"));

    QList<Case> cases = entryCases() + fileCases() + rowCases();
    cases += writtenBack(cases);
    QByteArray input;
    for (const Case &c : cases) {
        if (c.kind == Case::Entry)
            input += "entry " + QByteArray::number(c.text.size()) + "\n" + c.text;
        else
            input += "file " + QByteArray::number(c.text.size()) + " "
                     + (c.probes.isEmpty() ? QByteArray("-") : c.probes.join(',').toLatin1()) + "\n" + c.text;
    }
    QProcess p;
    p.start(checker, QStringList());
    QVERIFY(p.waitForStarted(10000));
    p.write(input);
    p.closeWriteChannel();
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 0);
    const QStringList service = QString::fromLatin1(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(service.size(), cases.size());

    QStringList differences;
    int writtenBackCount = 0;
    for (int i = 0; i < cases.size(); ++i) {
        const QString tool = toolVerdict(cases[i]);
        const QString what = QString("%1 %2").arg(cases[i].kind == Case::Entry ? "entry" : cases[i].kind == Case::File ? "file" : "rows",
                                                  QString::fromLatin1(cases[i].text.left(80).toPercentEncoding(" {}[]\":,/*")));
        if (tool != service[i])
            differences << QString("%1: tool \"%2\", service \"%3\"").arg(what, tool, service[i]);
        const int from = cases[i].writtenFrom;
        if (from >= 0) {
            ++writtenBackCount;
            if (service[i] != service[from])
                differences << QString("%1 written back: service \"%2\", from the original \"%3\"").arg(what, service[i], service[from]);
        }
    }
    QVERIFY2(writtenBackCount > 50, qPrintable(QString::number(writtenBackCount)));
    QVERIFY2(differences.isEmpty(), qPrintable(differences.join('\n')));
}

QTEST_MAIN(TstAclCrossCheck)
#include "tst_acl_crosscheck.moc"
