#ifndef GATEWAYDISCOVERY_H
#define GATEWAYDISCOVERY_H

// The UDP search for gateways: {"cmd":"getAllGateway"} to port 9980 on the
// chosen network, every gateway answers with its key, address, serial number
// and program version.

#include <QHostAddress>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>

class QTimer;
class QUdpSocket;

struct FoundGateway
{
    QString deviceKey;
    QString ip;
    QString serial;  // the whole serial number
    QString version;  // empty when the gateway did not say
    // The product code part of the serial number.
    QString serialPrefix() const { return serial.left(11); }

    // How the gateway list shows it: address, serial prefix, version, key.
    QString shownText() const;
    // An entry in the plain form "key_ip_prefix[_version]", as typed into the list.
    QString entry() const;
    static bool fromEntry(const QString &text, FoundGateway *out);
};
Q_DECLARE_METATYPE(FoundGateway)

class GatewayDiscovery : public QObject
{
    Q_OBJECT

public:
    static const quint16 kPort = 9980;
    static const int kSearchMs = 5000;

    explicit GatewayDiscovery(QObject *parent = nullptr);

    // Where the datagram goes (tests point it elsewhere).
    void setPort(quint16 port) { m_port = port; }
    // The broadcast address of the chosen network, asked at every send.
    void setTarget(std::function<QHostAddress()> target) { m_target = std::move(target); }

    // The engineer's search: the list starts empty and the search ends after kSearchMs.
    void start();
    void stop();
    bool isSearching() const { return m_searching; }
    // A flow's search for a gateway coming back: answers go to answered()
    // only, the list stays as it is until endProbe().
    void probe();
    void endProbe() { m_probing = false; }

    const QVector<FoundGateway> &found() const { return m_found; }

    // One datagram as it arrived.
    void takeReply(const QByteArray &datagram);
    // False for anything but an answer with key, address and serial number.
    static bool parseReply(const QByteArray &datagram, FoundGateway *out);
    static QByteArray request();

signals:
    // Every valid answer, listed or not.
    void answered(const FoundGateway &gateway);
    // found().at(index) was added.
    void gatewayFound(int index);
    // The search's time ran out.
    void searchTimedOut();

private:
    void send();
    void readPending();

    QUdpSocket *m_socket;
    QTimer *m_timer;
    quint16 m_port = kPort;
    std::function<QHostAddress()> m_target;
    bool m_searching = false;
    bool m_probing = false;
    QVector<FoundGateway> m_found;
};

#endif // GATEWAYDISCOVERY_H
