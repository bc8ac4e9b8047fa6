#include "writeregistermodel.h"

WriteRegisterModel::WriteRegisterModel(QObject *parent)
    : QAbstractTableModel(parent)
    , m_coils(RowCount, false)
    , m_holdingRegisters(RowCount, 0u)
{
}

int WriteRegisterModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : RowCount;
}

int WriteRegisterModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant WriteRegisterModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= RowCount || index.column() >= ColumnCount)
        return QVariant();
    const int row = index.row();
    switch (index.column()) {
    case NumColumn:
        if (role == Qt::DisplayRole)
            return QString::number(row);
        break;
    case CoilsColumn:
        if (role == Qt::CheckStateRole)
            return m_coils.testBit(row) ? Qt::Checked : Qt::Unchecked;
        break;
    case HoldingColumn:
        if (role == Qt::DisplayRole)
            return QStringLiteral("0x%1").arg(QString::number(m_holdingRegisters.at(row), 16));
        if (role == Qt::EditRole)
            return QString::number(m_holdingRegisters.at(row), 16);
        break;
    default:
        break;
    }
    return QVariant();
}

QVariant WriteRegisterModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return QVariant();
    if (orientation == Qt::Vertical)
        return QVariant();
    switch (section) {
    case NumColumn:
        return QStringLiteral("#");
    case CoilsColumn:
        return QStringLiteral("Coils  ");
    case HoldingColumn:
        return QStringLiteral("Holding Registers");
    default:
        return QVariant();
    }
}

bool WriteRegisterModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || index.row() >= RowCount || index.column() >= ColumnCount)
        return false;
    const int row = index.row();

    if (index.column() == CoilsColumn && role == Qt::CheckStateRole) {
        m_coils.setBit(row, value.toInt() == Qt::Checked);
        emit dataChanged(index, index, {role});
        return true;
    }
    if (index.column() == HoldingColumn && role == Qt::EditRole) {
        QString text = value.toString().trimmed();
        if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            text = text.mid(2);
        bool ok = false;
        const uint v = text.toUInt(&ok, 16);
        if (!ok || v > 0xffff)
            return false;  // keeps the old value; the editor shows it again
        m_holdingRegisters[row] = quint16(v);
        emit dataChanged(index, index, {Qt::DisplayRole, Qt::EditRole});
        return true;
    }
    return false;
}

Qt::ItemFlags WriteRegisterModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (!index.isValid())
        return f;
    if (index.row() < m_address || index.row() >= m_address + m_number)
        f &= ~Qt::ItemIsEnabled;
    if (index.column() == CoilsColumn)
        f |= Qt::ItemIsUserCheckable;
    else if (index.column() == HoldingColumn)
        f |= Qt::ItemIsEditable;
    return f;
}

void WriteRegisterModel::setStartAddress(int address)
{
    m_address = address;
    emit updateViewport();
}

void WriteRegisterModel::setNumberOfValues(const QString &number)
{
    m_number = number.toInt();
    emit updateViewport();
}
