#ifndef LOCALINTERFACES_H
#define LOCALINTERFACES_H

#include <QComboBox>
#include <QHostAddress>
#include <QList>
#include <QString>

// One IPv4 address of the PC: the address the TFTP commands carry and the
// network discovery broadcasts on.
struct LocalInterface {
    QString name;         // system name ("eth0", a Windows adapter's GUID name)
    QString displayName;  // what the user knows it by ("Ethernet 2")
    QHostAddress address;
    QHostAddress netmask;
    int prefixLength = -1;
    QHostAddress broadcast;  // the subnet's broadcast address (null on point-to-point links)

    bool contains(const QHostAddress &ip) const;
    // "eth0  192.168.1.5/24"
    QString label() const;
};

class LocalInterfaces
{
public:
    // Every IPv4 address of every interface that is up, without loopback,
    // in the system's order.
    static QList<LocalInterface> list();
    // Index of the entry whose subnet holds the gateway (the narrowest one
    // when several do); -1 when none does or the gateway is not an IPv4 address.
    static int indexForGateway(const QList<LocalInterface> &all, const QString &gatewayIp);
    // indexForGateway, else the first entry (the PC's first address, as the
    // tool took it before there was a choice); -1 for an empty list.
    static int defaultIndex(const QList<LocalInterface> &all, const QString &gatewayIp);
    // The PC's first IPv4 address that is not a loopback one (of any
    // interface, up or not); empty when there is none.
    static QString firstAddress();
};

// Combo of the PC's IPv4 addresses. It lists them again each time it is
// opened (adapters come and go on a laptop) and keeps the current address
// when it is still there.
class LocalIpComboBox : public QComboBox
{
    Q_OBJECT
public:
    explicit LocalIpComboBox(QWidget *parent = nullptr);

    QString currentIp() const;
    LocalInterface currentInterface() const;
    // Where a search goes: the chosen network's own broadcast address keeps
    // it on that adapter (a limited broadcast leaves by one the system picks).
    QHostAddress broadcastAddress() const;
    QList<LocalInterface> interfaces() const { return m_all; }

public slots:
    // Re-reads the interfaces; keeps the current address if it still exists,
    // else takes the default for the last gateway.
    void refresh();
    // Selects the address on the gateway's subnet, if there is one.
    void chooseForGateway(const QString &gatewayIp);

signals:
    void localIpChanged(const QString &ip);

protected:
    void showPopup() override;

private:
    void fill(const QList<LocalInterface> &all, const QString &keepIp);
    void announce();

    QList<LocalInterface> m_all;
    QString m_gatewayIp;
    QString m_announced;
};

#endif // LOCALINTERFACES_H
