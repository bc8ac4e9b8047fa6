#ifndef SEARCHTARGET_H
#define SEARCHTARGET_H

// Where the gateway search goes: the chosen network's own broadcast address
// keeps the search on that adapter (a limited broadcast leaves by one adapter
// the system picks). The connect tab's search and the site inventory's.

#include <QHostAddress>

#include "localinterfaces.h"

inline QHostAddress searchTarget(const LocalIpComboBox *chosen)
{
    const QHostAddress subnet = chosen ? chosen->currentInterface().broadcast : QHostAddress();
    return subnet.isNull() ? QHostAddress(QHostAddress::Broadcast) : subnet;
}

#endif // SEARCHTARGET_H
