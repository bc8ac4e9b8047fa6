#ifndef SITEPROBES_H
#define SITEPROBES_H

// The two readings of the site inventory that need no SSH, each over a
// connection of its own that ends with the reading: the gateway program's
// version by a 7F "read", and busrelay's unit 255 over Modbus TCP (version
// text, online bits, data ages).

#include <QObject>
#include <QString>

#include "relayhealth.h"

class Gateway7FClient;
class QModbusReply;
class QModbusTcpClient;
class QTimer;

class GatewayVersionProbe : public QObject
{
    Q_OBJECT
public:
    explicit GatewayVersionProbe(QObject *parent = nullptr);
    // finished() follows, at most after the 7F connect and "read" times.
    void start(const QString &ip, const QString &gatewayKey);
    QString version() const { return m_version; }
    QString why() const { return m_why; }

signals:
    void finished();

private:
    void finish(const QString &why);

    Gateway7FClient *m_client;
    QString m_version;
    QString m_why;
    bool m_running = false;
};

class RelayUnitProbe : public QObject
{
    Q_OBJECT
public:
    // Per request; the whole reading gives up after kWholeMs.
    static const int kRequestMs = 2000;
    static const int kWholeMs = 10000;

    explicit RelayUnitProbe(QObject *parent = nullptr);
    ~RelayUnitProbe() override;
    void start(const QString &ip, quint16 port = 502);

    // Some request was answered (also with an exception): port 502 serves Modbus.
    bool answered() const { return m_answered; }
    QString why() const { return m_why; }
    // Version, online bits and ages as read (ages stay "never" where not read).
    const RelayHealth::Snapshot &reading() const { return m_reading; }
    // Units with an online bit or a data age: the mapped ones when map.json is not at hand.
    QVector<int> knownUnits() const;
    int onlineAmong(const QVector<int> &units) const;

signals:
    void finished();

private:
    enum Part { Version = 0, Bits, AgesLow, AgesHigh, PartCount };
    void send(int part);
    void answered(QModbusReply *reply, int part);
    void finish(const QString &why);

    QModbusTcpClient *m_client = nullptr;
    QTimer *m_guard;
    RelayHealth::Snapshot m_reading;
    bool m_answered = false;
    bool m_connected = false;
    bool m_running = false;
    QString m_why;
};

#endif // SITEPROBES_H
