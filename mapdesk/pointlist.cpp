#include "pointlist.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace {

const char kBom[] = "\xEF\xBB\xBF";

// The service's column order, used when a JSON list (whose objects carry no
// order) is shown; unknown keys follow in name order.
const QStringList &knownColumns()
{
    static const QStringList columns = {
        "unit", "device_key", "product_code", "product_key", "device_name", "table",
        "address", "number", "direct_address", "direct_number", "slot", "indoor_addr",
        "outdoor_addr", "identifier", "path", "data_type", "register_type", "register_count",
        "scaling", "min", "max", "values", "access", "read_fc", "write_fc",
        "cleared_after_read", "error", "note"};
    return columns;
}

// RFC 4180 records; a line break inside quotes belongs to the field.
bool parseCsv(const QString &text, QVector<QStringList> *records, QString *error)
{
    QStringList record;
    QString field;
    bool quoted = false;
    bool fieldStarted = false;
    const int n = text.size();
    for (int i = 0; i < n; ++i) {
        const QChar ch = text.at(i);
        if (quoted) {
            if (ch == '"') {
                if (i + 1 < n && text.at(i + 1) == '"') {
                    field += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field += ch;
            }
            continue;
        }
        if (ch == '"' && field.isEmpty() && !fieldStarted) {
            quoted = true;
            fieldStarted = true;
        } else if (ch == ',') {
            record << field;
            field.clear();
            fieldStarted = false;
        } else if (ch == '\r' || ch == '\n') {
            if (ch == '\r' && i + 1 < n && text.at(i + 1) == '\n')
                ++i;
            record << field;
            records->append(record);
            record.clear();
            field.clear();
            fieldStarted = false;
        } else {
            field += ch;
            fieldStarted = true;
        }
    }
    if (quoted) {
        *error = QStringLiteral("CSV: 引号未闭合");
        return false;
    }
    if (fieldStarted || !record.isEmpty()) {
        record << field;
        records->append(record);
    }
    return true;
}

QString jsonText(const QJsonValue &v)
{
    if (v.isNull() || v.isUndefined())
        return QString();
    if (v.isString())
        return v.toString();
    if (v.isBool())
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (v.isDouble()) {
        const double d = v.toDouble();
        if (d == static_cast<double>(static_cast<qint64>(d)))
            return QString::number(static_cast<qint64>(d));
        return QString::number(d, 'g', 12);
    }
    return QString::fromUtf8(QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact));
}

bool parseJson(const QByteArray &data, PointTable *table, QString *error)
{
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &pe);
    if (pe.error != QJsonParseError::NoError || !doc.isArray()) {
        *error = QStringLiteral("JSON: 不是点表数组 (%1)").arg(pe.errorString());
        return false;
    }
    QStringList extra;
    const QJsonArray list = doc.array();
    for (const QJsonValue &v : list) {
        if (!v.isObject()) {
            *error = QStringLiteral("JSON: 数组元素不是对象");
            return false;
        }
        for (const QString &key : v.toObject().keys())
            if (!knownColumns().contains(key) && !extra.contains(key))
                extra << key;
    }
    extra.sort();
    table->columns.clear();
    for (const QString &c : knownColumns()) {
        bool used = list.isEmpty();
        for (const QJsonValue &v : list)
            if (v.toObject().contains(c)) {
                used = true;
                break;
            }
        if (used)
            table->columns << c;
    }
    table->columns << extra;
    table->rows.clear();
    for (const QJsonValue &v : list) {
        const QJsonObject o = v.toObject();
        QStringList row;
        for (const QString &c : table->columns)
            row << jsonText(o.value(c));
        table->rows << row;
    }
    return true;
}

QString csvField(const QString &text)
{
    const bool needs = text.contains(',') || text.contains('"') || text.contains('\n') ||
                       text.contains('\r') ||
                       (!text.isEmpty() && (text.front() == ' ' || text.back() == ' '));
    if (!needs)
        return text;
    QString out = text;
    out.replace('"', QStringLiteral("\"\""));
    return '"' + out + '"';
}

} // namespace

bool parsePointList(const QByteArray &data, PointTable *table, QString *error)
{
    QString dummy;
    if (!error)
        error = &dummy;
    QByteArray body = data;
    if (body.startsWith(kBom))
        body = body.mid(3);
    const QByteArray trimmed = body.trimmed();
    if (trimmed.startsWith('['))
        return parseJson(trimmed, table, error);

    QVector<QStringList> records;
    if (!parseCsv(QString::fromUtf8(body), &records, error))
        return false;
    if (records.isEmpty() || !records.first().contains(QStringLiteral("unit"))) {
        *error = QStringLiteral("没有点表表头 (unit, ...)");
        return false;
    }
    PointTable t;
    t.columns = records.first();
    for (int i = 1; i < records.size(); ++i) {
        const QStringList &r = records.at(i);
        if (r.size() == 1 && r.first().isEmpty())
            continue; // a blank line
        if (r.size() != t.columns.size()) {
            *error = QStringLiteral("第 %1 行有 %2 列, 表头有 %3 列")
                         .arg(i + 1).arg(r.size()).arg(t.columns.size());
            return false;
        }
        t.rows << r;
    }
    *table = t;
    return true;
}

QByteArray pointListToCsv(const PointTable &table)
{
    QString text;
    QStringList header;
    for (const QString &c : table.columns)
        header << csvField(c);
    text += header.join(',') + "\r\n";
    for (const QStringList &row : table.rows) {
        QStringList fields;
        for (const QString &f : row)
            fields << csvField(f);
        text += fields.join(',') + "\r\n";
    }
    return QByteArray(kBom) + text.toUtf8();
}
