#include "registervalueformat.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace RegisterValueFormat {

QStringList formatNames()
{
    return {QStringLiteral("十六进制"),   QStringLiteral("无符号"),     QStringLiteral("有符号"),
            QStringLiteral("二进制"),     QStringLiteral("32位无符号"), QStringLiteral("32位有符号"),
            QStringLiteral("32位浮点")};
}

QStringList wordOrderNames()
{
    return {QStringLiteral("高字在前(ABCD)"), QStringLiteral("低字在前(CDAB)")};
}

double usableScale(double scale)
{
    return (scale == 0.0 || !std::isfinite(scale)) ? 1.0 : scale;
}

quint32 join32(quint16 first, quint16 second, WordOrder order)
{
    return order == HighWordFirst ? (quint32(first) << 16) | second : (quint32(second) << 16) | first;
}

void split32(quint32 value, WordOrder order, quint16 *first, quint16 *second)
{
    const quint16 hi = quint16(value >> 16);
    const quint16 lo = quint16(value & 0xffff);
    *first = order == HighWordFirst ? hi : lo;
    *second = order == HighWordFirst ? lo : hi;
}

namespace {
float floatFromBits(quint32 bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

quint32 bitsFromFloat(float f)
{
    quint32 bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// Integers stay exact without a scale; scaled ones get enough digits for a
// 32-bit value and lose the binary noise of the multiplication.
QString scaledText(double raw, double scale, int digits)
{
    if (scale == 1.0)
        return QString::number(raw, 'g', digits);
    return QString::number(raw * scale, 'g', digits);
}

QString binaryText(quint16 v)
{
    QString s = QString::number(v, 2).rightJustified(16, QLatin1Char('0'));
    for (int i = 12; i > 0; i -= 4)
        s.insert(i, QLatin1Char(' '));
    return s;
}

// The raw integer a scaled text stands for; false unless it is (almost) whole.
bool rawInteger(const QString &text, double scale, double *raw)
{
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return false;
    const double r = v / scale;
    const double whole = std::round(r);
    if (std::fabs(r - whole) > 1e-6 * std::max(1.0, std::fabs(whole)))
        return false;
    *raw = whole;
    return true;
}
} // namespace

QString formatOne(const quint16 *regs, Format f, WordOrder order, double scale)
{
    scale = usableScale(scale);
    switch (f) {
    case Hex16:
        return QStringLiteral("0x") + QString::number(regs[0], 16);
    case Unsigned16:
        return scaledText(regs[0], scale, 12);
    case Signed16:
        return scaledText(qint16(regs[0]), scale, 12);
    case Binary16:
        return binaryText(regs[0]);
    case Unsigned32:
        return scaledText(join32(regs[0], regs[1], order), scale, 12);
    case Signed32:
        return scaledText(qint32(join32(regs[0], regs[1], order)), scale, 12);
    case Float32: {
        const float v = floatFromBits(join32(regs[0], regs[1], order));
        if (std::isnan(v))
            return QStringLiteral("nan");
        if (std::isinf(v))
            return v > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
        return scaledText(double(v), scale, 7);
    }
    default:
        return QString();
    }
}

QStringList formatAll(const QVector<quint16> &regs, Format f, WordOrder order, double scale)
{
    QStringList out;
    const int per = registersPerValue(f);
    int i = 0;
    for (; i + per <= regs.size(); i += per)
        out << formatOne(regs.constData() + i, f, order, scale);
    for (; i < regs.size(); ++i)
        out << formatOne(regs.constData() + i, Hex16, order, 1.0);
    return out;
}

bool parse(const QString &text, Format f, WordOrder order, double scale, quint16 *out)
{
    scale = usableScale(scale);
    QString t = text.trimmed();
    if (t.isEmpty())
        return false;
    bool ok = false;
    switch (f) {
    case Hex16: {
        if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            t = t.mid(2);
        const uint v = t.toUInt(&ok, 16);
        if (!ok || t.isEmpty() || v > 0xffff)
            return false;
        out[0] = quint16(v);
        return true;
    }
    case Binary16: {
        t.remove(QLatin1Char(' ')).remove(QLatin1Char('_'));
        if (t.startsWith(QLatin1String("0b"), Qt::CaseInsensitive))
            t = t.mid(2);
        if (t.isEmpty() || t.size() > 16)
            return false;
        const uint v = t.toUInt(&ok, 2);
        if (!ok)
            return false;
        out[0] = quint16(v);
        return true;
    }
    case Unsigned16:
    case Signed16:
    case Unsigned32:
    case Signed32: {
        double raw = 0;
        if (!rawInteger(t, scale, &raw))
            return false;
        const double lo = f == Unsigned16 || f == Unsigned32 ? 0.0 : f == Signed16 ? -32768.0 : -2147483648.0;
        const double hi = f == Unsigned16 ? 65535.0 : f == Signed16 ? 32767.0
                                                    : f == Unsigned32 ? 4294967295.0 : 2147483647.0;
        if (raw < lo || raw > hi)
            return false;
        const qint64 v = qint64(raw);
        if (f == Unsigned16 || f == Signed16)
            out[0] = quint16(v & 0xffff);
        else
            split32(quint32(v & 0xffffffff), order, &out[0], &out[1]);
        return true;
    }
    case Float32: {
        const double v = t.toDouble(&ok);
        if (!ok)
            return false;
        const double raw = std::isfinite(v) ? v / scale : v;
        if (std::isfinite(raw) && std::fabs(raw) > double(std::numeric_limits<float>::max()))
            return false;
        split32(bitsFromFloat(float(raw)), order, &out[0], &out[1]);
        return true;
    }
    default:
        return false;
    }
}

} // namespace RegisterValueFormat

namespace ModbusException {

QString name(int code)
{
    switch (code) {
    case 0x01: return QStringLiteral("非法功能码");
    case 0x02: return QStringLiteral("非法数据地址");
    case 0x03: return QStringLiteral("非法数据值");
    case 0x04: return QStringLiteral("从站设备故障");
    case 0x05: return QStringLiteral("确认(处理中)");
    case 0x06: return QStringLiteral("从站设备忙");
    case 0x08: return QStringLiteral("存储奇偶校验错误");
    case 0x0A: return QStringLiteral("网关路径不可用");
    case 0x0B: return QStringLiteral("网关目标设备无响应");
    default: return QStringLiteral("未知异常");
    }
}

QString describe(int code)
{
    return QStringLiteral("0x%1 ").arg(code, 2, 16, QLatin1Char('0')) + name(code);
}

} // namespace ModbusException
