#include "addressmapeditor.h"

#include "devicelisttable.h"
#include "devicetypetable.h"
#include "dialogseam.h"
#include "maptablemodel.h"
#include "noedititemdelegate.h"
#include "utf8text.h"

#include <QAction>
#include <QCursor>
#include <QDebug>
#include <QFileDialog>
#include <QHeaderView>
#include <QMenu>
#include <QTableView>

AddressMapEditor::AddressMapEditor(QTableView *view, QWidget *dialogParent, QObject *parent)
    : QObject(parent)
    , m_view(view)
    , m_dialogParent(dialogParent)
    , m_model(new MapTableModel(this))
    , m_menu(new QMenu(view))
{
    view->setModel(m_model);
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    auto *noEdit = new NoEditItemDelegate(view);
    for (int c = MapTableModel::DeviceKey; c < MapTableModel::ColumnCount; ++c)
        view->setItemDelegateForColumn(c, noEdit);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    QAction *rmAct = m_menu->addAction(u("删除"));
    connect(rmAct, &QAction::triggered, this, &AddressMapEditor::removeCurrentRow);
    // Double-click on the address edits it; on the other columns it removes the mapping.
    connect(view, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &index) {
        if (index.isValid() && index.column() != MapTableModel::Address)
            removeCurrentRow();
    });
}

void AddressMapEditor::setGateway(const QString &deviceKey, const QString &serial)
{
    // The service serves unit 255 with the gateway description, whatever the
    // serial's product code; the model is looked up like every device's.
    m_gateway = deviceKey.isEmpty()
                    ? MapTableModel::Device()
                    : MapTableModel::Device{deviceKey, QLatin1String(DeviceTypeTable::kGatewayProductCode),
                                            DeviceTypeTable::modelName(serial.left(11))};
}

bool AddressMapEditor::containsDevice(const QString &deviceKey)
{
    return selectRow(m_model->rowOf(deviceKey), deviceKey);
}

bool AddressMapEditor::selectRow(int row, const QString &deviceKey)
{
    if (row < 0)
        return false;
    qDebug().noquote() << "mapjson allready has " + deviceKey;
    m_view->setCurrentIndex(m_model->index(row, 0));
    return true;
}

void AddressMapEditor::popupMenu()
{
    if (m_view->currentIndex().isValid())
        m_menu->popup(QCursor::pos());
}

void AddressMapEditor::addCurrentDevice(const DeviceListTable &devices)
{
    const int r = devices.currentRow();
    if (r < 0)
        return;
    const QString key = devices.text(r, DeviceListTable::Key);
    if (containsDevice(key)) {
        DialogSeam::warning(m_dialogParent, "warning",
                            u("modbus地址映射表中已经有该设备!!!!\n") + devices.text(r, DeviceListTable::Aid));
        return;
    }
    m_model->addRow(-1, key, devices.text(r, DeviceListTable::Sn), devices.text(r, DeviceListTable::Model));
}

void AddressMapEditor::removeCurrentRow()
{
    const QModelIndex cur = m_view->currentIndex();
    if (!cur.isValid())
        return;
    const int r = cur.row();
    if (!DialogSeam::confirm(m_dialogParent, u("是否确定删除该modbus映射"),
                             u("只会从<modbus地址映射表>中删除，并不从网关中删除载波设备,\r\n"
                               "除非点击<4.下发modubs地址映射>,否则不会影响网关中的modbus地址映射表"),
                             u("删除"), u("否")))
        return;
    m_model->removeRow(r);
}

void AddressMapEditor::mapAll(const DeviceListTable &devices)
{
    if (devices.rowCount() == 0) {
        DialogSeam::warning(m_dialogParent, "warning", u("无设备!!请先获取网关中设备列表\n"));
        return;
    }
    if (!DialogSeam::confirm(
            m_dialogParent, u("是否确定重建modbus映射"),
            u("该操作会将左侧<modbus地址映射表>清空，并为上方<网关中PLC设备映射表>中所有设备建立"
              "modbus对外地址\r\n除非你最后点击<4.下发modbus地址映射>，否则该<批量映射>"
              "操作不会影响网关中的modbus地址配置"),
            u("确定"), u("否")))
        return;
    if (!mayReplace())
        return;
    m_model->mapAll(devices.devices(), m_gateway);
    fitColumns();
}

void AddressMapEditor::compareWith(DeviceListTable &devices)
{
    if (devices.rowCount() == 0) {
        DialogSeam::warning(m_dialogParent, "warning", u("无设备!!请先获取网关中设备列表+获取modbus地址配置\n"));
        return;
    }
    const QStringList keys = devices.keys();
    const QVector<int> mapRows = m_model->compare(keys);
    bool anyMissing = false;
    for (int i = 0; i < keys.size(); ++i) {
        const bool mapped = selectRow(mapRows[i], keys[i]);
        if (!mapped) {
            qDebug().noquote() << "mapjson not  has " + keys[i];
            anyMissing = true;
        }
        devices.markMapped(i, mapped);
    }
    if (anyMissing) {
        DialogSeam::warning(m_dialogParent, "Warn",
                            u("上方<网关中PLC设备列表>中加黑Dkey设备未导出modbus地址映射!\r\n"
                              "请选择某一设备后右键(或双击)添加到<modbus地址映射>表中，并手动分配modbus地址"));
    } else {
        DialogSeam::information(m_dialogParent, "Info",
                                u("所有设备已导出modbus映射关系,请仅在<modbus地址映射>表中的修改"
                                  "modbus地址或右键(或双击)删除某设备的映射"));
    }
    const MapCheck::Result r = m_model->check();
    if (!r.errors.isEmpty() || !r.risks.isEmpty())
        DialogSeam::warning(m_dialogParent, "Warn",
                            u("modbus地址映射表有错误:\n") + (r.errors + r.risks + r.warnings).join("\n"));
    else if (!r.warnings.isEmpty())
        DialogSeam::warning(m_dialogParent, "Warn", u("modbus地址映射表提示:\n") + r.warnings.join("\n"));
}

bool AddressMapEditor::read(const QString &path)
{
    const int err = m_model->load(path);
    if (err != 0) {
        // The table stays as it was.
        DialogSeam::warning(m_dialogParent, "warning", u("获取到的设备modbus地址配置文件 解析错误%1!").arg(err));
        return false;
    }
    fitColumns();
    return true;
}

void AddressMapEditor::fitColumns()
{
    // Inserted rows do not widen the header's sections: fit after every load.
    m_view->resizeColumnsToContents();
}

bool AddressMapEditor::open(const QString &path)
{
    if (!mayReplace())
        return false;
    if (!read(path))
        return false;
    emit statusText(u("已打开") + path);
    return true;
}

bool AddressMapEditor::save(const QString &path)
{
    QString error;
    if (!m_model->write(path, &error)) {
        DialogSeam::warning(m_dialogParent, "warning", u("保存modbus地址映射表失败 ") + path + "\n" + error);
        return false;
    }
    m_model->setSaved();
    emit statusText(u("已保存") + path);
    return true;
}

void AddressMapEditor::askOpen(const QString &dir)
{
    if (!mayReplace())
        return;
    const QString path = QFileDialog::getOpenFileName(m_dialogParent, u("打开map.json"), dir,
                                                      u("modbus地址映射 (*.json);;所有文件 (*)"));
    if (path.isEmpty())
        return;
    // Already asked about unsaved edits.
    m_model->setSaved();
    open(path);
}

void AddressMapEditor::askSave(const QString &dir)
{
    const QString path = QFileDialog::getSaveFileName(m_dialogParent, u("保存map.json"), dir + "/map.json",
                                                      u("modbus地址映射 (*.json)"));
    if (!path.isEmpty())
        save(path);
}

bool AddressMapEditor::mayReplace()
{
    if (!m_model->isModified())
        return true;
    return DialogSeam::confirm(m_dialogParent, u("modbus地址映射表未保存"),
                               u("<modbus地址映射表>有未保存的修改, 替换后这些修改将丢失.\n是否继续?"),
                               u("继续"), u("否"));
}

bool AddressMapEditor::mayClose()
{
    return !m_model->isModified()
           || DialogSeam::confirm(m_dialogParent, u("modbus地址映射表未保存"),
                                  u("<modbus地址映射表>有未保存的修改, 退出后这些修改将丢失.\n是否退出?"),
                                  u("退出"), u("否"));
}

bool AddressMapEditor::fitForInstall()
{
    const MapCheck::Result r = m_model->check();
    if (!r.errors.isEmpty()) {
        DialogSeam::warning(m_dialogParent, "warning",
                            u("modbus地址映射表有错误, 不能下发:\n") + (r.errors + r.risks + r.warnings).join("\n"));
        return false;
    }
    if (!r.risks.isEmpty())
        return DialogSeam::confirmCautious(m_dialogParent, u("modbus地址映射表有错误"),
                                           (r.risks + r.warnings).join("\n") + u("\n是否仍然下发?"), u("仍然下发"),
                                           u("否"));
    if (!r.warnings.isEmpty())
        return DialogSeam::confirm(m_dialogParent, u("modbus地址映射表提示"),
                                   r.warnings.join("\n") + u("\n是否仍然下发?"), u("确定"), u("否"));
    return true;
}
