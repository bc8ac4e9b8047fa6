#include "maptablemodel.h"

#include "devicetypetable.h"

#include <QFile>

MapTableModel::MapTableModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

int MapTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows.size();
}

int MapTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString MapTableModel::text(int row, int column) const
{
    if (row < 0 || row >= m_rows.size())
        return QString();
    const Row &r = m_rows.at(row);
    switch (column) {
    case Address: return r.address;
    case DeviceKey: return r.deviceKey;
    case ProductCode: return r.productCode;
    case Model: return r.model;
    default: return QString();
    }
}

QVariant MapTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
        return QVariant();
    return text(index.row(), index.column());
}

bool MapTableModel::setText(int row, int column, const QString &text)
{
    if (row < 0 || row >= m_rows.size())
        return false;
    Row &r = m_rows[row];
    QString *cell = nullptr;
    switch (column) {
    case Address: cell = &r.address; break;
    case DeviceKey: cell = &r.deviceKey; break;
    case ProductCode: cell = &r.productCode; break;
    case Model: cell = &r.model; break;
    default: return false;
    }
    // The same text again is no edit.
    if (*cell == text)
        return true;
    *cell = text;
    const QModelIndex at = index(row, column);
    emit dataChanged(at, at, {Qt::DisplayRole, Qt::EditRole});
    edited();
    return true;
}

bool MapTableModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || (role != Qt::EditRole && role != Qt::DisplayRole))
        return false;
    return setText(index.row(), index.column(), value.toString());
}

QVariant MapTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Address: return QString::fromUtf8("地址");
    case DeviceKey: return QStringLiteral("DKEY");
    case ProductCode: return QString::fromUtf8("识别码");
    case Model: return QString::fromUtf8("型号");
    default: return QVariant();
    }
}

Qt::ItemFlags MapTableModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    // The view's delegates keep the key columns from being edited.
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable;
}

bool MapTableModel::removeRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid() || row < 0 || count <= 0 || row + count > m_rows.size())
        return false;
    beginRemoveRows(QModelIndex(), row, row + count - 1);
    m_rows.remove(row, count);
    endRemoveRows();
    edited();
    return true;
}

void MapTableModel::addRow(int address, const QString &deviceKey, const QString &productCode,
                           const QString &model, const QString &name)
{
    beginInsertRows(QModelIndex(), m_rows.size(), m_rows.size());
    m_rows.append({QString::number(address), deviceKey, productCode, model, name});
    endInsertRows();
    edited();
}

int MapTableModel::rowOf(const QString &deviceKey) const
{
    for (int r = 0; r < m_rows.size(); ++r) {
        if (m_rows.at(r).deviceKey == deviceKey)
            return r;
    }
    return -1;
}

QVector<int> MapTableModel::compare(const QStringList &deviceKeys) const
{
    QVector<int> rows;
    rows.reserve(deviceKeys.size());
    for (const QString &dk : deviceKeys)
        rows.append(rowOf(dk));
    return rows;
}

int MapTableModel::batchAddress(int position, const QString &productCode)
{
    // The service serves the gateway itself as unit 255.
    return productCode == QLatin1String(DeviceTypeTable::kGatewayProductCode) ? 255 : position;
}

void MapTableModel::mapAll(const QVector<Device> &devices, const Device &gateway)
{
    removeRows(0, rowCount());
    const bool known = !gateway.deviceKey.isEmpty();
    bool listed = false;
    for (int i = 0; i < devices.size(); ++i) {
        const Device &d = devices.at(i);
        if (known && d.deviceKey == gateway.deviceKey) {
            listed = true;
            addRow(255, gateway.deviceKey, gateway.productCode, gateway.model);
        } else {
            addRow(batchAddress(i, d.productCode), d.deviceKey, d.productCode, d.model);
        }
    }
    // Without it the service answers unit 255 (version, online and alarm bits) with exception 2.
    if (known && !listed)
        addRow(255, gateway.deviceKey, gateway.productCode, gateway.model);
}

MapCheck::Result MapTableModel::check() const
{
    QVector<MapCheck::Row> rows;
    for (const Row &r : m_rows)
        rows.append({r.address, r.deviceKey, r.productCode});
    return MapCheck::check(rows);
}

QVector<MapJsonFile::Node> MapTableModel::nodes() const
{
    QVector<MapJsonFile::Node> out;
    for (const Row &r : m_rows) {
        MapJsonFile::Node n;
        // Text that is not a number becomes 0, as the engineer typed it.
        n.mbId = r.address.trimmed().toInt();
        n.mqttDk = r.deviceKey;
        n.sntype = r.productCode;
        n.devtype = r.model;
        n.name = r.name;
        out.append(n);
    }
    return out;
}

bool MapTableModel::write(const QString &path, QString *error) const
{
    return MapJsonFile::write(nodes(), path, error);
}

int MapTableModel::load(const QString &path)
{
    QFile f(path);
    QByteArray text;
    if (f.open(QIODevice::ReadOnly))
        text = f.readAll();
    QVector<MapJsonFile::Node> nodes;
    const int err = MapJsonFile::parse(text, &nodes);
    if (err != 0)
        return err;
    beginResetModel();
    m_rows.clear();
    for (const MapJsonFile::Node &n : nodes)
        m_rows.append({QString::number(n.mbId), n.mqttDk, n.sntype, n.devtype, n.name});
    endResetModel();
    setSaved();
    return 0;
}

void MapTableModel::setSaved()
{
    if (!m_modified)
        return;
    m_modified = false;
    emit modifiedChanged(false);
}

void MapTableModel::edited()
{
    if (m_modified)
        return;
    m_modified = true;
    emit modifiedChanged(true);
}

QMap<int, QString> MapTableModel::unitNames() const
{
    QMap<int, QString> names;
    for (const Row &row : m_rows) {
        bool ok = false;
        const int unit = row.address.toInt(&ok);
        if (ok)
            names.insert(unit, row.deviceKey + "  " + row.model);
    }
    return names;
}
