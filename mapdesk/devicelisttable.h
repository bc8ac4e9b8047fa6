#ifndef DEVICELISTTABLE_H
#define DEVICELISTTABLE_H

// The gateway's device list as its 7F answer gave it, in the window's table:
// one row per device, with model and category looked up from the serial's
// product code, and the right-click menu (add to the map, delete).

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include "gateway7fclient.h"
#include "maptablemodel.h"

class QMenu;
class QStandardItemModel;
class QTableView;

class DeviceListTable : public QObject
{
    Q_OBJECT
public:
    enum Column { Aid = 0, Key, Sn, Model, Category, Name, ColumnCount };

    explicit DeviceListTable(QTableView *view, QObject *parent = nullptr);

    QStandardItemModel *model() const { return m_model; }
    int rowCount() const;
    QString text(int row, int column) const;
    // The selected row; -1 for none.
    int currentRow() const;
    // The selected row's device key; null for none.
    QString currentKey() const;
    QStringList keys() const;
    QVector<MapTableModel::Device> devices() const;

    void addRow(int aid, const QString &deviceKey, const QString &serial);
    // The gateway's list replaces the one shown.
    void replace(const QVector<Gateway7FDevice> &devices);
    void clear();
    // The row of that device, wherever the selection has moved meanwhile.
    void removeDevice(const QString &deviceKey);
    // A device the map lacks stands out (bold, right-aligned).
    void markMapped(int row, bool mapped);
    // The table can shrink to that many rows and no further.
    void holdToRows(int rows);
    // The menu, over a selected row.
    void popupMenu();

signals:
    void addToMapRequested();
    void deleteRequested();

private:
    QTableView *m_view;
    QStandardItemModel *m_model;
    QMenu *m_menu;
};

#endif // DEVICELISTTABLE_H
