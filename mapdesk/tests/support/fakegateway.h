#ifndef FAKEGATEWAY_H
#define FAKEGATEWAY_H

// A gateway for the tool's tests: answers the UDP search, takes the 7F TCP
// connection and answers the tool's commands ("read", "getAllDeviceKey",
// "delDevice") with what the test put in its fields, or holds them, or lets
// onCommand script each answer. Frames are read and built here with plain
// offsets, independent of the tool's codec.

#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QObject>
#include <QPair>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>
#include <QtEndian>

#include <cstring>
#include <functional>

class FakeGateway : public QObject
{
public:
    explicit FakeGateway(const QString &key) : deviceKey(key) {}
    ~FakeGateway() override { delete conn; }

    const QString deviceKey;

    // Answers: the built-in ones from the fields below, or none (the test
    // sends what it wants with send()).
    enum Mode { Answer, Hold };
    Mode mode = Answer;
    QString version = "V1.0.0";
    QJsonArray deviceList;
    int deleteError = 0;
    // When set, decides the bytes sent back for each command (empty: nothing).
    std::function<QByteArray(const QByteArray &topic, const QJsonObject &command)> onCommand;

    QList<QByteArray> discoveryAnswers;  // sent for each search request
    QList<QByteArray> discoveryRequests;
    QTcpSocket *conn = nullptr;           // the tool's 7F connection
    QByteArray rawIn;                     // bytes on the 7F link not yet taken by nextFrame()
    QList<QPair<QByteArray, QJsonObject>> commands;
    int keepAlivesIn = 0;

    // udpPort 0: no search answers. tcpPort 0: any free port (see tcpPort()).
    bool start(const QHostAddress &address = QHostAddress::AnyIPv4, quint16 udpPort = 9980, quint16 tcpPort = 9981)
    {
        if (udpPort && !m_udp.bind(address, udpPort))
            return false;
        if (!m_server.listen(address, tcpPort))
            return false;
        connect(&m_udp, &QUdpSocket::readyRead, this, [this]() {
            while (m_udp.hasPendingDatagrams()) {
                const QNetworkDatagram d = m_udp.receiveDatagram();
                discoveryRequests.append(d.data());
                for (const QByteArray &a : discoveryAnswers)
                    m_udp.writeDatagram(a, d.senderAddress(), quint16(d.senderPort()));
            }
        });
        connect(&m_server, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket *s = m_server.nextPendingConnection()) {
                delete conn;
                conn = s;
                m_inBuf.clear();
                connect(s, &QTcpSocket::readyRead, this, [this, s]() { onData(s); });
            }
        });
        return true;
    }

    quint16 tcpPort() const { return m_server.serverPort(); }

    // The search answer of a gateway (key, address, serial number, version).
    static QByteArray discoveryAnswer(const QString &key, const QString &ip, const QString &sn, const QString &ver)
    {
        const QJsonObject o{{"deviceKey", key},
                            {"function", QJsonObject{{"ip", ip}}},
                            {"metadata", QJsonObject{{"sn", sn}, {"softwareVersion", ver}}}};
        return QJsonDocument(o).toJson(QJsonDocument::Compact);
    }

    // 0x7F, u32 LE topic length, topic, u32 LE payload length, payload.
    static QByteArray frame(const QByteArray &topic, const QByteArray &payload)
    {
        QByteArray out(1, char(0x7F));
        char len[4];
        qToLittleEndian(quint32(topic.size()), len);
        out.append(len, 4).append(topic);
        qToLittleEndian(quint32(payload.size()), len);
        return out.append(len, 4).append(payload);
    }
    static QByteArray frame(const QByteArray &topic, const QJsonObject &o)
    {
        return frame(topic, QJsonDocument(o).toJson(QJsonDocument::Compact));
    }
    static QByteArray keepAlive() { return frame(QByteArray(), QByteArray()); }

    // A frame on the topic this gateway answers on.
    QByteArray answerFrame(const QJsonObject &o) const
    {
        return frame(("local/" + deviceKey + "/" + deviceKey).toUtf8(), o);
    }

    // The built-in answer to one of the tool's commands, from the fields above.
    QByteArray answerFor(const QJsonObject &command) const
    {
        const QString cmd = command["cmd"].toString();
        QJsonObject a{{"deviceKey", deviceKey}, {"sno", command["sno"]}, {"cmd", cmd}};
        if (cmd == "read")
            a["metadata"] = QJsonObject{{"softwareVersion", version}};
        else if (cmd == "getAllDeviceKey")
            a["deviceList"] = deviceList;
        else if (cmd == "delDevice") {
            a["data"] = command["data"];
            a["errorCode"] = deleteError;
        } else
            return QByteArray();
        return answerFrame(a);
    }

    void send(const QByteArray &bytes)
    {
        QVERIFY(conn);
        conn->write(bytes);
        conn->flush();
    }

    // The gateway ends the connection.
    void drop()
    {
        QVERIFY(conn);
        conn->disconnectFromHost();
    }

    bool waitForConnection(int ms)
    {
        QElapsedTimer t;
        t.start();
        while (!conn && t.elapsed() < ms)
            QTest::qWait(20);
        return conn != nullptr;
    }

    // The next whole frame's bytes from the tool (a keep-alive too), taken off
    // rawIn; empty when none came within ms.
    QByteArray nextFrame(int ms)
    {
        QElapsedTimer t;
        t.start();
        for (;;) {
            const int n = frameLength(rawIn);
            if (n > 0) {
                const QByteArray f = rawIn.left(n);
                rawIn.remove(0, n);
                return f;
            }
            if (t.elapsed() >= ms)
                return QByteArray();
            QTest::qWait(20);
        }
    }

private:
    // Length of the whole frame at the start of buf; 0 while incomplete.
    static int frameLength(const QByteArray &buf)
    {
        if (buf.size() < 9)
            return 0;
        const quint32 t = qFromLittleEndian<quint32>(buf.constData() + 1);
        if (quint32(buf.size()) < 9 + t)
            return 0;
        const quint32 p = qFromLittleEndian<quint32>(buf.constData() + 5 + t);
        if (quint32(buf.size()) < 9 + t + p)
            return 0;
        return int(9 + t + p);
    }

    void onData(QTcpSocket *s)
    {
        const QByteArray got = s->readAll();
        rawIn += got;
        m_inBuf += got;
        while (const int n = frameLength(m_inBuf)) {
            const quint32 t = qFromLittleEndian<quint32>(m_inBuf.constData() + 1);
            const QByteArray topic = m_inBuf.mid(5, int(t));
            const QByteArray payload = m_inBuf.mid(9 + int(t), n - 9 - int(t));
            m_inBuf.remove(0, n);
            if (topic.isEmpty() && payload.isEmpty()) {
                // Not echoed: the tool answers every keep-alive, so both sides would loop.
                ++keepAlivesIn;
                continue;
            }
            const QJsonObject o = QJsonDocument::fromJson(payload).object();
            commands.append({topic, o});
            QByteArray answer;
            if (onCommand)
                answer = onCommand(topic, o);
            else if (mode == Answer)
                answer = answerFor(o);
            if (!answer.isEmpty())
                s->write(answer);
        }
    }

    QUdpSocket m_udp;
    QTcpServer m_server;
    QByteArray m_inBuf;
};

#endif // FAKEGATEWAY_H
