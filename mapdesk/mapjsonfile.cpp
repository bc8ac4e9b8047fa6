#include "mapjsonfile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>
#include <limits>

QByteArray MapJsonFile::toJson(const QVector<Node> &list)
{
    QJsonArray nodes;
    for (const Node &n : list) {
        QJsonObject node;
        node.insert("mb_id", n.mbId);
        node.insert("mqtt_dk", n.mqttDk);
        node.insert("sntype", n.sntype);
        node.insert("devtype", n.devtype);
        // A name the fetched file had goes back with it.
        if (!n.name.isEmpty())
            node.insert("name", n.name);
        nodes.append(node);
    }
    QJsonObject profile;
    profile.insert("name", QString::fromUtf8("modbus服务使用的设备地址配置"));
    profile.insert("version", QStringLiteral("1.0"));
    QJsonObject root;
    root.insert("nodes", nodes);
    root.insert("profile", profile);
    return QJsonDocument(root).toJson();
}

bool MapJsonFile::write(const QVector<Node> &nodes, const QString &path, QString *error)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    const QByteArray text = toJson(nodes);
    if (f.write(text) != text.size() || !f.commit()) {
        if (error)
            *error = f.errorString();
        f.cancelWriting();
        return false;
    }
    return true;
}

static QString stringMember(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? v.toString() : QString();
}

int MapJsonFile::parse(const QByteArray &text, QVector<Node> *nodes)
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &err);
    if (err.error != QJsonParseError::NoError || doc.isNull() || doc.isEmpty())
        return 1;
    if (!doc.isObject())
        return 2;
    const QJsonObject root = doc.object();
    if (!root.contains("nodes"))
        return 3;
    const QJsonValue nv = root.value("nodes");
    if (!nv.isArray())
        return 4;
    for (const QJsonValue &ev : nv.toArray()) {
        if (!ev.isObject())
            continue;
        const QJsonObject o = ev.toObject();
        Node n;
        const QJsonValue id = o.value("mb_id");
        if (id.isDouble()) {
            const double d = id.toDouble();
            // Out-of-range numbers would be undefined as int; keep them visibly wrong.
            if (std::isfinite(d) && d >= double(std::numeric_limits<int>::min())
                && d <= double(std::numeric_limits<int>::max()))
                n.mbId = int(d);
        }
        n.mqttDk = stringMember(o, "mqtt_dk");
        n.sntype = stringMember(o, "sntype");
        n.devtype = stringMember(o, "devtype");
        n.name = stringMember(o, "name");
        nodes->append(n);
    }
    return 0;
}
