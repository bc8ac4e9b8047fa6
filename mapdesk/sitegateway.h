#ifndef SITEGATEWAY_H
#define SITEGATEWAY_H

// One gateway of a site as the 站点 tab knows it: who it is (address,
// device key, whole serial number, typed in or found by the search) and what
// the last refresh read from it (search, 7F "read", busrelay's unit 255 over
// Modbus, and over SSH ver.txt and the MD5 of its configuration files). The
// table's cells, the CSV and the JSON export are made from the same texts.

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

struct SiteGateway
{
    // The configuration files whose MD5 the inventory shows.
    static QStringList configFiles() { return {"map.json", "vrvC.json", "mbacl.json"}; }

    QString ip;
    QString deviceKey;
    QString serial;  // whole, from the search answer
    bool typed = false;  // typed in by address (the broadcast does not cross routers)

    enum Search { NotAsked, Answered, NoAnswer };
    Search search = NotAsked;
    QString gatewayVersion;  // the main program's, 7F "read"
    QString gatewayNote;     // why it is missing
    QString relayVersion;    // unit 255, input registers 1-24
    int port502 = -1;        // -1 not tried, 0 no answer, 1 answered
    QString port502Note;
    int unitsOnline = -1;
    int unitsMapped = -1;
    bool mappedFromMap = false;  // counted in map.json (else: units with an online bit or data age)
    bool sshRead = false;
    QString sshNote;  // why the SSH columns are empty
    QString verTxt;
    QMap<QString, QString> md5;  // per configuration file; empty value: the gateway has none
    QDateTime checkedAt;

    bool identified() const { return !deviceKey.isEmpty() && !serial.isEmpty(); }
    // The host key pin of this gateway (HostKeyStore::gatewayId).
    QString hostKeyId() const;
    // "gw7f0001 (10.0.0.5)" for texts that name it.
    QString label() const;
    // Forgets what the last refresh read (who it is stays).
    void clearReadings();

    enum Column {
        IpCol = 0,
        KeyCol,
        SerialCol,
        GatewayVersionCol,
        RelayVersionCol,
        PortCol,
        UnitsCol,
        VerTxtCol,
        Md5MapCol,
        Md5VrvCol,
        Md5AclCol,
        NoteCol,
        ColumnCount
    };
    static QStringList headers();
    QString cell(int column) const;
};

namespace SiteExport {
// One row per gateway, the table's columns and a time column; UTF-8 behind a
// byte-order mark (Excel on a Chinese Windows), CRLF lines.
QByteArray csv(const QVector<SiteGateway> &rows, const QString &siteName);
// {"site":..., "exportedAt":..., "gateways":[{...}]} with the raw values.
QByteArray json(const QVector<SiteGateway> &rows, const QString &siteName);
} // namespace SiteExport

#endif // SITEGATEWAY_H
