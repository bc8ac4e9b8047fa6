#ifndef MAPJSONFILE_H
#define MAPJSONFILE_H

#include <QByteArray>
#include <QString>
#include <QVector>

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

    static QByteArray toJson(const QVector<Node> &nodes);
    // Replaces the file only once the whole text is written.
    static bool write(const QVector<Node> &nodes, const QString &path, QString *error);

    // 0 on success, else the parse error number 1..4 the user is shown.
    static int parse(const QByteArray &text, QVector<Node> *nodes);
};

#endif // MAPJSONFILE_H
