#include "frame7f.h"

#include "frame7f/frame7f.h"

namespace {

const frame7f::Limits kReceiveLimits = {Frame7F::kMaxReceiveLength, Frame7F::kMaxReceiveLength,
                                        9ull + 2ull * Frame7F::kMaxReceiveLength};

QByteArray cutAtZero(const uint8_t *bytes, uint32_t len)
{
    const QByteArray b = QByteArray::fromRawData(reinterpret_cast<const char *>(bytes), int(len));
    const int z = b.indexOf('\0');
    return QByteArray(b.constData(), z < 0 ? b.size() : z);
}

} // namespace

QByteArray Frame7F::build(const QByteArray &topic, const QByteArray &payload)
{
    if (frame7f::encoded_size(size_t(topic.size()), size_t(payload.size())) > kMaxSendFrame)
        return QByteArray();
    QByteArray out(int(frame7f::encoded_size(size_t(topic.size()), size_t(payload.size()))),
                   Qt::Uninitialized);
    frame7f::encode(reinterpret_cast<uint8_t *>(out.data()), size_t(out.size()),
                    topic.constData(), size_t(topic.size()), payload.constData(),
                    size_t(payload.size()));
    return out;
}

QByteArray Frame7F::keepAlive()
{
    return build(QByteArray(), QByteArray());
}

Frame7F::Result Frame7F::take(QByteArray &buf, QByteArray *topic, QByteArray *payload)
{
    bool dropped = false;
    // Each pass drops at least one byte or returns.
    for (;;) {
        const frame7f::Piece p = frame7f::cut(reinterpret_cast<const uint8_t *>(buf.constData()),
                                              size_t(buf.size()), kReceiveLimits);
        if (p.cut == frame7f::Cut::NeedMore)
            return dropped ? Garbage : NeedMore;
        if (p.cut == frame7f::Cut::Skip) {
            buf.remove(0, int(p.size));
            dropped = true;
            continue;
        }
        const Result r = p.keepAlive() ? KeepAlive : Message;
        if (r == Message && topic)
            *topic = cutAtZero(p.topic, p.topicLen);
        if (r == Message && payload)
            *payload = cutAtZero(p.payload, p.payloadLen);
        buf.remove(0, int(p.size));
        return r;
    }
}
