#ifndef ADDRESSMAPEDITOR_H
#define ADDRESSMAPEDITOR_H

// The address map editor around MapTableModel: its table view and menu, and
// the engineer's questions and boxes for adding, removing, mapping all,
// comparing with the gateway's device list, opening, saving, replacing and
// installing the map.

#include <QObject>
#include <QString>

#include "mapcheck.h"
#include "maptablemodel.h"

class DeviceListTable;
class MapTableModel;
class QMenu;
class QTableView;
class QWidget;

class AddressMapEditor : public QObject
{
    Q_OBJECT
public:
    // Boxes open over dialogParent.
    AddressMapEditor(QTableView *view, QWidget *dialogParent, QObject *parent = nullptr);

    MapTableModel *model() const { return m_model; }

    // The selected gateway (empty key: none), which the batch map gives unit 255.
    void setGateway(const QString &deviceKey, const QString &serial);

    // Makes the device's row current; false when the map lacks it.
    bool containsDevice(const QString &deviceKey);
    // Makes the map row current; false for no row (-1).
    bool selectRow(int row, const QString &deviceKey);
    // The device list's selected device, with a box when it is mapped already.
    void addCurrentDevice(const DeviceListTable &devices);
    void removeCurrentRow();
    void mapAll(const DeviceListTable &devices);
    // Marks the devices the map lacks and says what the comparison and the checks found.
    void compareWith(DeviceListTable &devices);

    // Replaces the map with the file's nodes; on a parse error shows its box
    // and leaves the map as it was.
    bool read(const QString &path);
    bool open(const QString &path);
    bool save(const QString &path);
    // The file dialogs start in dir.
    void askOpen(const QString &dir);
    void askSave(const QString &dir);
    // Unsaved edits: ask before the table is replaced, or the window closes.
    bool mayReplace();
    bool mayClose();
    // Shows the map's problems; false when it must not go to the gateway.
    bool fitForInstall();
    void popupMenu();

signals:
    void statusText(QString text);

private:
    // After every load: a wider cell must not show as "2…".
    void fitColumns();

    QTableView *m_view;
    QWidget *m_dialogParent;
    MapTableModel *m_model;
    QMenu *m_menu;
    MapTableModel::Device m_gateway;
};

#endif // ADDRESSMAPEDITOR_H
