// Value formats of the Modbus test panel: 16-bit, 32-bit and float values in
// both word orders, the scale factor both ways, edge values, and the write
// table that edits in the chosen format; and the exception names.
#include "registervalueformat.h"
#include "writeregistermodel.h"

#include <QtTest>

using namespace RegisterValueFormat;

namespace {
QString fmt(std::initializer_list<quint16> regs, Format f, WordOrder o = HighWordFirst, double scale = 1.0)
{
    const QVector<quint16> v(regs);
    return formatOne(v.constData(), f, o, scale);
}

// Parses and returns the registers as "hhhh hhhh", or "refused".
QString enc(const QString &text, Format f, WordOrder o = HighWordFirst, double scale = 1.0)
{
    quint16 r[2] = {0xdead, 0xbeef};
    if (!parse(text, f, o, scale, r))
        return QStringLiteral("refused");
    QString s = QString("%1").arg(r[0], 4, 16, QLatin1Char('0'));
    if (registersPerValue(f) == 2)
        s += QString(" %1").arg(r[1], 4, 16, QLatin1Char('0'));
    return s;
}
} // namespace

class TstRegisterValueFormat : public QObject
{
    Q_OBJECT

private slots:
    void sixteenBit();
    void thirtyTwoBitAndWordOrder();
    void floats();
    void scale();
    void parseRanges();
    void roundTrip();
    void formatAllOddTail();
    void exceptionNames();
    void writeModelFormats();
};

void TstRegisterValueFormat::sixteenBit()
{
    QCOMPARE(fmt({0xe1}, Hex16), QString("0xe1"));
    QCOMPARE(fmt({0}, Hex16), QString("0x0"));
    QCOMPARE(fmt({0xe1}, Unsigned16), QString("225"));
    QCOMPARE(fmt({0xffff}, Unsigned16), QString("65535"));
    QCOMPARE(fmt({0x7fff}, Signed16), QString("32767"));
    QCOMPARE(fmt({0x8000}, Signed16), QString("-32768"));
    QCOMPARE(fmt({0xffff}, Signed16), QString("-1"));
    QCOMPARE(fmt({0xe1}, Binary16), QString("0000 0000 1110 0001"));
    QCOMPARE(fmt({0xffff}, Binary16), QString("1111 1111 1111 1111"));
}

void TstRegisterValueFormat::thirtyTwoBitAndWordOrder()
{
    QCOMPARE(join32(0x1234, 0x5678, HighWordFirst), 0x12345678u);
    QCOMPARE(join32(0x1234, 0x5678, LowWordFirst), 0x56781234u);
    QCOMPARE(fmt({0x0001, 0x0000}, Unsigned32), QString("65536"));
    QCOMPARE(fmt({0x0001, 0x0000}, Unsigned32, LowWordFirst), QString("1"));
    QCOMPARE(fmt({0xffff, 0xffff}, Unsigned32), QString("4294967295"));
    QCOMPARE(fmt({0xffff, 0xffff}, Signed32), QString("-1"));
    QCOMPARE(fmt({0x8000, 0x0000}, Signed32), QString("-2147483648"));
    QCOMPARE(fmt({0x0000, 0x8000}, Signed32, LowWordFirst), QString("-2147483648"));
    QCOMPARE(fmt({0x7fff, 0xffff}, Signed32), QString("2147483647"));
    quint16 a = 0, b = 0;
    split32(0x12345678u, LowWordFirst, &a, &b);
    QCOMPARE(a, quint16(0x5678));
    QCOMPARE(b, quint16(0x1234));
}

void TstRegisterValueFormat::floats()
{
    QCOMPARE(fmt({0x41b4, 0x0000}, Float32), QString("22.5"));
    QCOMPARE(fmt({0x0000, 0x41b4}, Float32, LowWordFirst), QString("22.5"));
    QCOMPARE(fmt({0xc1b4, 0x0000}, Float32), QString("-22.5"));
    QCOMPARE(fmt({0x0000, 0x0000}, Float32), QString("0"));
    QCOMPARE(fmt({0x7f80, 0x0000}, Float32), QString("inf"));
    QCOMPARE(fmt({0xff80, 0x0000}, Float32), QString("-inf"));
    QCOMPARE(fmt({0x7fc0, 0x0000}, Float32), QString("nan"));
    QCOMPARE(fmt({0x3f9d, 0x70a4}, Float32), QString("1.23"));  // 1.23f, 7 digits
    QCOMPARE(enc("22.5", Float32), QString("41b4 0000"));
    QCOMPARE(enc("22.5", Float32, LowWordFirst), QString("0000 41b4"));
    QCOMPARE(enc("1e39", Float32), QString("refused"));  // beyond a float
    QCOMPARE(enc("abc", Float32), QString("refused"));
}

void TstRegisterValueFormat::scale()
{
    // 22.5 °C sent as 225 tenths.
    QCOMPARE(fmt({225}, Unsigned16, HighWordFirst, 0.1), QString("22.5"));
    QCOMPARE(fmt({0xff1f}, Signed16, HighWordFirst, 0.1), QString("-22.5"));
    QCOMPARE(fmt({0x0001, 0x86a0}, Unsigned32, HighWordFirst, 0.01), QString("1000"));
    QCOMPARE(fmt({0x41b4, 0}, Float32, HighWordFirst, 2), QString("45"));
    // Hex and binary stay raw; a zero or broken scale counts as 1.
    QCOMPARE(fmt({225}, Hex16, HighWordFirst, 0.1), QString("0xe1"));
    QCOMPARE(fmt({225}, Unsigned16, HighWordFirst, 0), QString("225"));
    QCOMPARE(fmt({225}, Unsigned16, HighWordFirst, qQNaN()), QString("225"));

    QCOMPARE(enc("22.5", Unsigned16, HighWordFirst, 0.1), QString("00e1"));
    QCOMPARE(enc("-22.5", Signed16, HighWordFirst, 0.1), QString("ff1f"));
    QCOMPARE(enc("22.55", Unsigned16, HighWordFirst, 0.1), QString("refused"));  // not a whole tenth
    QCOMPARE(enc("6553.5", Unsigned16, HighWordFirst, 0.1), QString("ffff"));
    QCOMPARE(enc("6553.6", Unsigned16, HighWordFirst, 0.1), QString("refused"));
    QCOMPARE(enc("45", Float32, HighWordFirst, 2), QString("41b4 0000"));
}

void TstRegisterValueFormat::parseRanges()
{
    QCOMPARE(enc("0", Unsigned16), QString("0000"));
    QCOMPARE(enc("65535", Unsigned16), QString("ffff"));
    QCOMPARE(enc("65536", Unsigned16), QString("refused"));
    QCOMPARE(enc("-1", Unsigned16), QString("refused"));
    QCOMPARE(enc("1.5", Unsigned16), QString("refused"));
    QCOMPARE(enc("-1", Signed16), QString("ffff"));
    QCOMPARE(enc("-32768", Signed16), QString("8000"));
    QCOMPARE(enc("-32769", Signed16), QString("refused"));
    QCOMPARE(enc("32768", Signed16), QString("refused"));
    QCOMPARE(enc("ffff", Hex16), QString("ffff"));
    QCOMPARE(enc("0x1A2b", Hex16), QString("1a2b"));
    QCOMPARE(enc("10000", Hex16), QString("refused"));
    QCOMPARE(enc("0x", Hex16), QString("refused"));
    QCOMPARE(enc("1110 0001", Binary16), QString("00e1"));
    QCOMPARE(enc("0b1", Binary16), QString("0001"));
    QCOMPARE(enc("1 0000 0000 0000 0000", Binary16), QString("refused"));  // 17 bits
    QCOMPARE(enc("102", Binary16), QString("refused"));
    QCOMPARE(enc("4294967295", Unsigned32), QString("ffff ffff"));
    QCOMPARE(enc("4294967296", Unsigned32), QString("refused"));
    QCOMPARE(enc("65536", Unsigned32, LowWordFirst), QString("0000 0001"));
    QCOMPARE(enc("-2147483648", Signed32), QString("8000 0000"));
    QCOMPARE(enc("2147483648", Signed32), QString("refused"));
    QCOMPARE(enc("-1", Signed32, LowWordFirst), QString("ffff ffff"));
    QCOMPARE(enc("", Unsigned16), QString("refused"));
    QCOMPARE(enc("  ", Signed32), QString("refused"));
}

void TstRegisterValueFormat::roundTrip()
{
    // What is shown can be typed back and gives the same registers.
    const QVector<QVector<quint16>> samples = {{0, 0}, {0xffff, 0xffff}, {0x8000, 0x0001}, {0x41b4, 0x0000},
                                               {0x1234, 0xabcd}, {0x7f7f, 0xffff}};
    for (int f = 0; f < FormatCount; ++f) {
        for (int o = 0; o < 2; ++o) {
            for (const QVector<quint16> &regs : samples) {
                const QString text = formatOne(regs.constData(), Format(f), WordOrder(o), 1.0);
                quint16 back[2] = {0, 0};
                QVERIFY2(parse(text, Format(f), WordOrder(o), 1.0, back), qPrintable(text));
                if (f == Float32) {
                    // Floats show 7 digits (and NaN has many bit patterns): the text round-trips.
                    QCOMPARE(formatOne(back, Format(f), WordOrder(o), 1.0), text);
                    continue;
                }
                QCOMPARE(back[0], regs[0]);
                if (registersPerValue(Format(f)) == 2)
                    QCOMPARE(back[1], regs[1]);
            }
        }
    }
}

void TstRegisterValueFormat::formatAllOddTail()
{
    QCOMPARE(formatAll({1, 2, 3}, Unsigned16, HighWordFirst, 1), QStringList({"1", "2", "3"}));
    // Three registers as 32-bit: one value and the lone last register in hex.
    QCOMPARE(formatAll({0, 1, 0x2a}, Unsigned32, HighWordFirst, 1), QStringList({"1", "0x2a"}));
    QVERIFY(formatAll({}, Float32, HighWordFirst, 1).isEmpty());
}

void TstRegisterValueFormat::exceptionNames()
{
    QCOMPARE(ModbusException::name(1), QString::fromUtf8("非法功能码"));
    QCOMPARE(ModbusException::name(2), QString::fromUtf8("非法数据地址"));
    QCOMPARE(ModbusException::name(3), QString::fromUtf8("非法数据值"));
    QCOMPARE(ModbusException::name(4), QString::fromUtf8("从站设备故障"));
    QCOMPARE(ModbusException::name(6), QString::fromUtf8("从站设备忙"));
    QCOMPARE(ModbusException::name(0x0b), QString::fromUtf8("网关目标设备无响应"));
    QCOMPARE(ModbusException::name(7), QString::fromUtf8("未知异常"));
    QCOMPARE(ModbusException::name(0xff), QString::fromUtf8("未知异常"));
    QCOMPARE(ModbusException::describe(2), QString::fromUtf8("0x02 非法数据地址"));
    QCOMPARE(ModbusException::describe(0x0a), QString::fromUtf8("0x0a 网关路径不可用"));
}

void TstRegisterValueFormat::writeModelFormats()
{
    WriteRegisterModel m;
    m.setStartAddress(10);
    m.setNumberOfValues("4");
    const int col = WriteRegisterModel::HoldingColumn;

    m.setValueFormat(Signed16, HighWordFirst, 0.1);
    QVERIFY(m.setData(m.index(10, col), "-22.5", Qt::EditRole));
    QCOMPARE(m.holdingRegister(10), quint16(0xff1f));
    QCOMPARE(m.data(m.index(10, col), Qt::DisplayRole).toString(), QString("-22.5"));
    QVERIFY(!m.setData(m.index(10, col), "4000", Qt::EditRole));  // 40000 tenths does not fit
    QCOMPARE(m.holdingRegister(10), quint16(0xff1f));

    // 32-bit: rows pair up from the start address; the second half is not edited alone.
    m.setValueFormat(Float32, LowWordFirst, 1);
    QVERIFY(m.setData(m.index(12, col), "22.5", Qt::EditRole));
    QCOMPARE(m.holdingRegister(12), quint16(0x0000));
    QCOMPARE(m.holdingRegister(13), quint16(0x41b4));
    QCOMPARE(m.data(m.index(12, col), Qt::DisplayRole).toString(), QString("22.5"));
    QVERIFY(!(m.flags(m.index(13, col)) & Qt::ItemIsEditable));
    QVERIFY(!m.setData(m.index(13, col), "1", Qt::EditRole));
    // The last row cannot start a pair.
    m.setStartAddress(121);
    QVERIFY(!m.setData(m.index(122, col), "1", Qt::EditRole));

    // Back to hex: the registers are unchanged and edited without the prefix.
    m.setValueFormat(Hex16, HighWordFirst, 1);
    QCOMPARE(m.data(m.index(13, col), Qt::DisplayRole).toString(), QString("0x41b4"));
    QCOMPARE(m.data(m.index(13, col), Qt::EditRole).toString(), QString("41b4"));
}

QTEST_MAIN(TstRegisterValueFormat)
#include "tst_registervalueformat.moc"
