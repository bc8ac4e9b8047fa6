#ifndef DEVICETYPETABLE_H
#define DEVICETYPETABLE_H

#include <QString>

// Our product list: product code (the first 11 characters of a serial
// number), model name and category. The first row is the gateway itself.
class DeviceTypeTable
{
public:
    struct Row {
        const char *productCode;
        const char *model;
        const char *category;
    };

    static const char *const kGatewayProductCode;

    static int rowCount();
    static const Row &row(int i);

    // Both compare the code byte for byte with each row, first match wins.
    static QString modelName(const QString &productCode);
    static QString category(const QString &productCode);
};

#endif // DEVICETYPETABLE_H
