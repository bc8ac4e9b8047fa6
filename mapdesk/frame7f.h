#ifndef FRAME7F_H
#define FRAME7F_H

#include <QByteArray>

// The 7F frame: 0x7F, uint32 LE topic length, topic, uint32 LE payload
// length, payload. Both lengths 0 is a keep-alive. The shared codec
// (common/frame7f) does the work; this is its QByteArray face.
class Frame7F
{
public:
    static const int kMaxSendFrame = 2048;
    // Longer topics or payloads are not taken.
    static const quint32 kMaxReceiveLength = 1024 * 1024;

    // Empty when the frame would not fit in kMaxSendFrame bytes.
    static QByteArray build(const QByteArray &topic, const QByteArray &payload);
    static QByteArray keepAlive();

    enum Result { NeedMore, Garbage, KeepAlive, Message };

    // Takes the first frame off the front of buf. Bytes that cannot start a
    // frame are dropped up to the next 0x7F, and a frame over the limits by
    // its announced lengths (as far as buf holds it); after such a drop the
    // next frame in buf is returned, or Garbage when none is whole yet.
    // topic and payload are cut at their first zero byte.
    static Result take(QByteArray &buf, QByteArray *topic, QByteArray *payload);
};

#endif // FRAME7F_H
