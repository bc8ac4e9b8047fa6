#ifndef GATEWAYERRORTEXT_H
#define GATEWAYERRORTEXT_H

#include <QString>

// The gateway's "errorCode" values as the engineer reads them.
class GatewayErrorText
{
public:
    static QString text(int errorCode);
};

#endif // GATEWAYERRORTEXT_H
