#ifndef MAPTABLEMODEL_H
#define MAPTABLEMODEL_H

// The address map being edited: one row per map.json node, the address as
// the engineer typed it, and whether the rows differ from what was last
// loaded, saved or installed.

#include <QAbstractTableModel>
#include <QMap>
#include <QStringList>
#include <QVector>

#include "mapcheck.h"
#include "mapjsonfile.h"

class MapTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Address = 0, DeviceKey, ProductCode, Model, ColumnCount };

    struct Row
    {
        QString address;  // as typed; not always a number
        QString deviceKey;
        QString productCode;
        QString model;
        QString name;  // the node's "name": not shown, written back
    };

    // A device of the gateway's list, as batch mapping takes it.
    struct Device
    {
        QString deviceKey;
        QString productCode;
        QString model;
    };

    explicit MapTableModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool removeRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;

    QString text(int row, int column) const;
    bool setText(int row, int column, const QString &text);
    const Row &row(int r) const { return m_rows.at(r); }

    void addRow(int address, const QString &deviceKey, const QString &productCode, const QString &model,
                const QString &name = QString());
    // The row that maps the device, or -1.
    int rowOf(const QString &deviceKey) const;
    // Unit id -> "key  model" of every row whose address is a number.
    QMap<int, QString> unitNames() const;
    // For each device key, the row that maps it or -1.
    QVector<int> compare(const QStringList &deviceKeys) const;
    // Replaces the rows with one per device: addresses by position, the gateway
    // unit 255. A known gateway (key not empty) is unit 255 as it is given,
    // listed or not: a gateway does not list itself.
    void mapAll(const QVector<Device> &devices, const Device &gateway = Device());
    static int batchAddress(int position, const QString &productCode);

    MapCheck::Result check() const;
    QVector<MapJsonFile::Node> nodes() const;
    bool write(const QString &path, QString *error = nullptr) const;
    // Replaces the rows with the file's nodes and counts as saved; 0, or the
    // parse error number (the rows stay as they were).
    int load(const QString &path);

    bool isModified() const { return m_modified; }
    void setSaved();

signals:
    void modifiedChanged(bool modified);

private:
    void edited();

    QVector<Row> m_rows;
    bool m_modified = false;
};

#endif // MAPTABLEMODEL_H
