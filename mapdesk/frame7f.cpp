#include "frame7f.h"

#include <QtEndian>

static void appendLength(QByteArray &out, quint32 len)
{
    uchar le[4];
    qToLittleEndian<quint32>(len, le);
    out.append(reinterpret_cast<const char *>(le), 4);
}

static quint32 lengthAt(const QByteArray &buf, int offset)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar *>(buf.constData() + offset));
}

static QByteArray cutAtZero(const QByteArray &bytes)
{
    const int z = bytes.indexOf('\0');
    return z < 0 ? bytes : bytes.left(z);
}

QByteArray Frame7F::build(const QByteArray &topic, const QByteArray &payload)
{
    const qint64 total = 9 + qint64(topic.size()) + qint64(payload.size());
    if (total > kMaxSendFrame)
        return QByteArray();
    QByteArray out;
    out.reserve(int(total));
    out.append(char(0x7F));
    appendLength(out, quint32(topic.size()));
    out.append(topic);
    appendLength(out, quint32(payload.size()));
    out.append(payload);
    return out;
}

QByteArray Frame7F::keepAlive()
{
    QByteArray out(9, '\0');
    out[0] = char(0x7F);
    return out;
}

Frame7F::Result Frame7F::take(QByteArray &buf, QByteArray *topic, QByteArray *payload)
{
    if (buf.size() < 9)
        return NeedMore;
    if (uchar(buf.at(0)) != 0x7F) {
        buf.clear();
        return Garbage;
    }
    const quint32 t = lengthAt(buf, 1);
    if (t == 0 && lengthAt(buf, 5) == 0) {
        buf.remove(0, 9);
        return KeepAlive;
    }
    if (t > kMaxReceiveLength) {
        buf.clear();
        return Garbage;
    }
    if (quint64(buf.size()) < 9ull + t)
        return NeedMore;
    const quint32 p = lengthAt(buf, 5 + int(t));
    if (p > kMaxReceiveLength) {
        buf.clear();
        return Garbage;
    }
    const quint64 total = 9ull + t + p;
    if (quint64(buf.size()) < total)
        return NeedMore;
    if (topic)
        *topic = cutAtZero(buf.mid(5, int(t)));
    if (payload)
        *payload = cutAtZero(buf.mid(9 + int(t), int(p)));
    buf.remove(0, int(total));
    return Message;
}
