#ifndef FRAME7F_H
#define FRAME7F_H

#include <QByteArray>

// The 7F frame: 0x7F, uint32 LE topic length, topic, uint32 LE payload
// length, payload. Both lengths 0 is a keep-alive.
class Frame7F
{
public:
    static const int kMaxSendFrame = 2048;
    // A peer that announces more than this is not speaking 7F; the bytes are dropped.
    static const quint32 kMaxReceiveLength = 1024 * 1024;

    // Empty when the frame would not fit in kMaxSendFrame bytes.
    static QByteArray build(const QByteArray &topic, const QByteArray &payload);
    static QByteArray keepAlive();

    enum Result { NeedMore, Garbage, KeepAlive, Message };

    // Takes the first frame off the front of buf. Garbage: the buffer was
    // cleared. topic and payload are cut at their first zero byte.
    static Result take(QByteArray &buf, QByteArray *topic, QByteArray *payload);
};

#endif // FRAME7F_H
