#include "localinterfaces.h"

#include <QNetworkInterface>

bool LocalInterface::contains(const QHostAddress &ip) const
{
    return prefixLength >= 0 && ip.protocol() == QAbstractSocket::IPv4Protocol
           && ip.isInSubnet(address, prefixLength);
}

QString LocalInterface::label() const
{
    const QString who = displayName.isEmpty() ? name : displayName;
    return QStringLiteral("%1  %2/%3").arg(who, address.toString()).arg(prefixLength);
}

QList<LocalInterface> LocalInterfaces::list()
{
    QList<LocalInterface> out;
    const auto all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &nif : all) {
        const auto flags = nif.flags();
        if (!(flags & QNetworkInterface::IsUp) || (flags & QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &e : nif.addressEntries()) {
            const QHostAddress a = e.ip();
            if (a.protocol() != QAbstractSocket::IPv4Protocol || a.isNull() || a.isLoopback())
                continue;
            LocalInterface li;
            li.name = nif.name();
            li.displayName = nif.humanReadableName();
            li.address = a;
            li.netmask = e.netmask();
            li.prefixLength = e.prefixLength();
            li.broadcast = e.broadcast();
            out << li;
        }
    }
    return out;
}

int LocalInterfaces::indexForGateway(const QList<LocalInterface> &all, const QString &gatewayIp)
{
    const QHostAddress gw(gatewayIp);
    if (gw.protocol() != QAbstractSocket::IPv4Protocol)
        return -1;
    int best = -1;
    for (int i = 0; i < all.size(); ++i) {
        if (all[i].contains(gw) && (best < 0 || all[i].prefixLength > all[best].prefixLength))
            best = i;
    }
    return best;
}

int LocalInterfaces::defaultIndex(const QList<LocalInterface> &all, const QString &gatewayIp)
{
    const int i = indexForGateway(all, gatewayIp);
    if (i >= 0)
        return i;
    return all.isEmpty() ? -1 : 0;
}

LocalIpComboBox::LocalIpComboBox(QWidget *parent) : QComboBox(parent)
{
    setSizeAdjustPolicy(QComboBox::AdjustToContents);
    setToolTip(QStringLiteral("本机网卡: 网关探测从这里广播, tftp命令使用这个地址"));
    connect(this, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &LocalIpComboBox::announce);
    refresh();
}

QString LocalIpComboBox::currentIp() const
{
    return currentData().toString();
}

LocalInterface LocalIpComboBox::currentInterface() const
{
    const int i = currentIndex();
    return i >= 0 && i < m_all.size() ? m_all.at(i) : LocalInterface();
}

void LocalIpComboBox::fill(const QList<LocalInterface> &all, const QString &keepIp)
{
    const QSignalBlocker block(this);
    clear();
    m_all = all;
    int keep = -1;
    for (int i = 0; i < all.size(); ++i) {
        addItem(all[i].label(), all[i].address.toString());
        if (all[i].address.toString() == keepIp)
            keep = i;
    }
    setCurrentIndex(keep >= 0 ? keep : LocalInterfaces::defaultIndex(all, m_gatewayIp));
}

void LocalIpComboBox::refresh()
{
    fill(LocalInterfaces::list(), currentIp());
    announce();
}

void LocalIpComboBox::chooseForGateway(const QString &gatewayIp)
{
    m_gatewayIp = gatewayIp;
    const int i = LocalInterfaces::indexForGateway(m_all, gatewayIp);
    if (i >= 0)
        setCurrentIndex(i);
}

void LocalIpComboBox::showPopup()
{
    refresh();
    QComboBox::showPopup();
}

void LocalIpComboBox::announce()
{
    const QString ip = currentIp();
    if (ip == m_announced)
        return;
    m_announced = ip;
    emit localIpChanged(ip);
}

QString LocalInterfaces::firstAddress()
{
    const QList<QHostAddress> all = QNetworkInterface::allAddresses();
    for (const QHostAddress &a : all) {
        if (a.protocol() != QAbstractSocket::IPv4Protocol || a.isNull() || a.isLoopback())
            continue;
        const QString text = a.toString();
        if (!text.contains("127.0."))
            return text;
    }
    return QString();
}

QHostAddress LocalIpComboBox::broadcastAddress() const
{
    const QHostAddress subnet = currentInterface().broadcast;
    return subnet.isNull() ? QHostAddress(QHostAddress::Broadcast) : subnet;
}
