#include "devicelisttable.h"

#include "devicetypetable.h"

#include <QAction>
#include <QCursor>
#include <QHeaderView>
#include <QMenu>
#include <QStandardItemModel>
#include <QTableView>

DeviceListTable::DeviceListTable(QTableView *view, QObject *parent)
    : QObject(parent)
    , m_view(view)
    , m_model(new QStandardItemModel(0, ColumnCount, this))
    , m_menu(new QMenu(view))
{
    m_model->setHorizontalHeaderLabels({QString::fromUtf8("AID"), QString::fromUtf8("DKEY"),
                                        QString::fromUtf8("识别码"), QString::fromUtf8("型号"),
                                        QString::fromUtf8("类别"), QString::fromUtf8("名称")});
    view->setModel(m_model);
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    QAction *addAct = m_menu->addAction(QString::fromUtf8("添加到moubud映射表"));
    QAction *delAct = m_menu->addAction(QString::fromUtf8("删除"));
    connect(addAct, &QAction::triggered, this, &DeviceListTable::addToMapRequested);
    connect(delAct, &QAction::triggered, this, &DeviceListTable::deleteRequested);
    // The check-mapping texts promise double-click as the other way to add.
    connect(view, &QAbstractItemView::doubleClicked, this, &DeviceListTable::addToMapRequested);
}

int DeviceListTable::rowCount() const
{
    return m_model->rowCount();
}

QString DeviceListTable::text(int row, int column) const
{
    const QStandardItem *it = m_model->item(row, column);
    return it ? it->text() : QString();
}

int DeviceListTable::currentRow() const
{
    const QModelIndex cur = m_view->currentIndex();
    return cur.isValid() ? cur.row() : -1;
}

QString DeviceListTable::currentKey() const
{
    const QModelIndex cur = m_view->currentIndex();
    if (!cur.isValid())
        return QString();
    const QStandardItem *it = m_model->item(cur.row(), Key);
    return it ? it->text() : QString();
}

QStringList DeviceListTable::keys() const
{
    QStringList keys;
    for (int i = 0; i < m_model->rowCount(); ++i)
        keys.append(m_model->item(i, Key)->text());
    return keys;
}

QVector<MapTableModel::Device> DeviceListTable::devices() const
{
    QVector<MapTableModel::Device> devices;
    for (int i = 0; i < m_model->rowCount(); ++i)
        devices.append({m_model->item(i, Key)->text(), m_model->item(i, Sn)->text(), m_model->item(i, Model)->text()});
    return devices;
}

void DeviceListTable::addRow(int aid, const QString &deviceKey, const QString &serial)
{
    const QString sn = serial.left(11);  // the product code part of the serial number
    QList<QStandardItem *> row;
    row << new QStandardItem(QString::number(aid)) << new QStandardItem(deviceKey)
        << new QStandardItem(sn) << new QStandardItem(DeviceTypeTable::modelName(sn))
        << new QStandardItem(DeviceTypeTable::category(sn)) << new QStandardItem(QString());
    m_model->appendRow(row);
}

void DeviceListTable::replace(const QVector<Gateway7FDevice> &devices)
{
    // A second fetch must not list every device twice.
    clear();
    for (const Gateway7FDevice &d : devices)
        addRow(d.aid, d.deviceKey, d.sn);
    // Appended rows do not widen the header's sections by themselves.
    m_view->resizeColumnsToContents();
}

void DeviceListTable::clear()
{
    m_model->removeRows(0, m_model->rowCount());
}

void DeviceListTable::removeDevice(const QString &deviceKey)
{
    for (int r = 0; r < m_model->rowCount(); ++r) {
        if (m_model->item(r, Key)->text() == deviceKey) {
            m_model->removeRow(r);
            break;
        }
    }
}

void DeviceListTable::markMapped(int row, bool mapped)
{
    QStandardItem *cell = m_model->item(row, Key);
    QFont f = cell->font();
    cell->setTextAlignment((mapped ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter);
    f.setWeight(mapped ? QFont::Normal : QFont::Bold);
    cell->setFont(f);
}

void DeviceListTable::popupMenu()
{
    if (m_view->currentIndex().isValid())
        m_menu->popup(QCursor::pos());
}

void DeviceListTable::holdToRows(int rows)
{
    m_view->ensurePolished();  // its style sheet and model set the sizes
    m_view->setMinimumHeight(m_view->horizontalHeader()->sizeHint().height()
                             + rows * m_view->verticalHeader()->defaultSectionSize() + 2 * m_view->frameWidth() + 2);
}
