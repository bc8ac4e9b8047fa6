#ifndef REGISTERVALUEFORMAT_H
#define REGISTERVALUEFORMAT_H

#include <QString>
#include <QStringList>
#include <QVector>

// How the test panel shows and takes register values: 16-bit values as
// unsigned, signed, hex or binary, and 32-bit integers and floats spread over
// two registers in either word order. A scale factor turns raw numbers into
// engineering values (225 with 0.1 is 22.5) and back; hex and binary are
// always raw.
namespace RegisterValueFormat {

enum Format { Hex16 = 0, Unsigned16, Signed16, Binary16, Unsigned32, Signed32, Float32, FormatCount };
// HighWordFirst: the first register holds bits 31..16 ("ABCD"); LowWordFirst
// swaps the two registers ("CDAB").
enum WordOrder { HighWordFirst = 0, LowWordFirst };

// The combo texts, in Format order.
QStringList formatNames();
QStringList wordOrderNames();

inline int registersPerValue(Format f) { return f >= Unsigned32 ? 2 : 1; }
inline bool isScaled(Format f) { return f != Hex16 && f != Binary16; }

// A scale of 0, or one that is not a finite number, counts as 1.
double usableScale(double scale);

quint32 join32(quint16 first, quint16 second, WordOrder order);
void split32(quint32 value, WordOrder order, quint16 *first, quint16 *second);

// One value from its register(s) (regs holds registersPerValue(f) entries).
QString formatOne(const quint16 *regs, Format f, WordOrder order, double scale);

// One text per value. A trailing register that cannot fill a 32-bit value is
// shown on its own as hex, so nothing read is hidden.
QStringList formatAll(const QVector<quint16> &regs, Format f, WordOrder order, double scale);

// Text typed by the engineer into registersPerValue(f) registers. False (and
// out untouched) when the text is not a number of the format, or out of its
// range after scaling.
bool parse(const QString &text, Format f, WordOrder order, double scale, quint16 *out);

} // namespace RegisterValueFormat

// Modbus exception codes with their names, as the panel shows them.
namespace ModbusException {
// "非法数据地址" for 2; "未知异常" for a code not defined by Modbus.
QString name(int code);
// "0x02 非法数据地址"
QString describe(int code);
} // namespace ModbusException

#endif // REGISTERVALUEFORMAT_H
