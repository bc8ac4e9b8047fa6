#ifndef MAPJSONFILE_H
#define MAPJSONFILE_H

#include <QByteArray>
#include <QString>
#include <QVector>

class QStandardItemModel;

// map.json as the service reads it: {"nodes":[{mb_id, mqtt_dk, sntype,
// devtype}...], "profile":{name, version}}.
class MapJsonFile
{
public:
    struct Node {
        int mbId = -1;
        QString mqttDk;
        QString sntype;
        QString devtype;
        QString name;
    };

    // Item data role of the DKEY cell that keeps the node's "name".
    static const int kNameRole = 0x0100 + 1;  // Qt::UserRole + 1

    // Columns of the map model: 0 address, 1 DKEY, 2 product code, 3 model.
    static QByteArray toJson(const QStandardItemModel *mapModel);
    // Replaces the file only once the whole text is written.
    static bool write(const QStandardItemModel *mapModel, const QString &path, QString *error);

    // 0 on success, else the parse error number 1..4 the user is shown.
    static int parse(const QByteArray &text, QVector<Node> *nodes);
};

#endif // MAPJSONFILE_H
