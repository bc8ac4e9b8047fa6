#ifndef SITEINVENTORY_H
#define SITEINVENTORY_H

// The site inventory's refresh: the search (broadcast on the chosen network
// when all are refreshed, and to each gateway's own address, which also
// reaches gateways behind a router), then for each gateway in turn its
// main program's version (7F "read"), busrelay's unit 255 over Modbus and,
// where the SSH login is possible, ver.txt, the MD5 of the configuration
// files and the units of map.json. Keys not pinned yet are asked about once,
// after the search and before the first login.

#include <QHostAddress>
#include <QSet>
#include <QVector>

#include <functional>
#include <memory>

#include "gatewaydiscovery.h"
#include "sitejob.h"
#include "sitesession.h"

class GatewayVersionProbe;
class RelayUnitProbe;
class QTimer;

class SiteInventory : public SiteJob
{
    Q_OBJECT
public:
    // How long answers to the search are waited for: the engineer's search's
    // time when broadcasting, less for addresses asked directly.
    static const int kUnicastWaitMs = 2000;

    SiteInventory(const SiteEnv &env, std::function<QHostAddress()> broadcast, QObject *parent = nullptr);

    // broadcast: the search on the chosen network first (gateways answering
    // it are added to the list).
    void refresh(const QVector<SiteGateway> &gateways, const QVector<int> &rows, bool broadcast);

signals:
    // After the search: the list with what it learnt (new gateways at its end).
    void listChanged(QVector<SiteGateway> gateways);
    void rowRead(int row, SiteGateway gateway);

protected:
    void work(int row) override;

private:
    void sendUnicast();
    void searchDone();
    void keysChecked(const QVector<SiteKeyCheck::Offer> &offers);
    void read7F();
    void readModbus();
    void readSsh();
    void finishRow();

    std::function<QHostAddress()> m_broadcastTarget;
    GatewayDiscovery *m_broadcast;
    GatewayDiscovery *m_unicast;
    QString m_unicastTo;
    QTimer *m_searchWait;
    QTimer *m_resend;
    struct Answer
    {
        FoundGateway gateway;
        bool broadcast;
    };
    QVector<Answer> m_answers;
    QVector<SiteGateway> m_list;
    QVector<int> m_rows;
    bool m_searching = false;
    SiteKeyCheck *m_keys;
    QSet<int> m_keyDeclined;

    GatewayVersionProbe *m_7f;
    RelayUnitProbe *m_modbus;
    int m_row = -1;
    SiteGateway m_g;
};

#endif // SITEINVENTORY_H
