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
    case HoldingColumn: {
        if (role != Qt::DisplayRole && role != Qt::EditRole)
            break;
        if (isSecondHalf(row))
            return role == Qt::DisplayRole ? QStringLiteral("↑") : QVariant();
        if (row + RegisterValueFormat::registersPerValue(m_format) > RowCount)
            return QStringLiteral("-");
        const QString text = RegisterValueFormat::formatOne(m_holdingRegisters.constData() + row, m_format,
                                                            m_order, m_scale);
        // Hex is edited without its prefix, as typed.
        if (role == Qt::EditRole && m_format == RegisterValueFormat::Hex16)
            return text.mid(2);
        return text;
    }
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
        const int per = RegisterValueFormat::registersPerValue(m_format);
        if (isSecondHalf(row) || row + per > RowCount)
            return false;
        quint16 regs[2] = {0, 0};
        if (!RegisterValueFormat::parse(value.toString(), m_format, m_order, m_scale, regs))
            return false;  // keeps the old value; the editor shows it again
        for (int i = 0; i < per; ++i)
            m_holdingRegisters[row + i] = regs[i];
        emit dataChanged(index, this->index(row + per - 1, HoldingColumn), {Qt::DisplayRole, Qt::EditRole});
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
    else if (index.column() == HoldingColumn && !isSecondHalf(index.row()))
        f |= Qt::ItemIsEditable;
    return f;
}

void WriteRegisterModel::setStartAddress(int address)
{
    m_address = address;
    if (RegisterValueFormat::registersPerValue(m_format) == 2)
        emitAllChanged();  // the pairs move with the start
    emit updateViewport();
}

void WriteRegisterModel::setNumberOfValues(const QString &number)
{
    m_number = number.toInt();
    emit updateViewport();
}

bool WriteRegisterModel::isSecondHalf(int row) const
{
    return RegisterValueFormat::registersPerValue(m_format) == 2 && row > m_address && (row - m_address) % 2 == 1;
}

void WriteRegisterModel::emitAllChanged()
{
    emit dataChanged(index(0, 0), index(RowCount - 1, ColumnCount - 1));
    emit updateViewport();
}

void WriteRegisterModel::setCoil(int row, bool on)
{
    if (row < 0 || row >= RowCount)
        return;
    m_coils.setBit(row, on);
    emit dataChanged(index(row, CoilsColumn), index(row, CoilsColumn));
}

void WriteRegisterModel::setHoldingRegister(int row, quint16 value)
{
    if (row < 0 || row >= RowCount)
        return;
    m_holdingRegisters[row] = value;
    // The row may be either half of a pair: repaint its neighbours too.
    emit dataChanged(index(qMax(0, row - 1), HoldingColumn), index(qMin(RowCount - 1, row + 1), HoldingColumn));
}

void WriteRegisterModel::setValueFormat(RegisterValueFormat::Format format, RegisterValueFormat::WordOrder order,
                                        double scale)
{
    m_format = format;
    m_order = order;
    m_scale = RegisterValueFormat::usableScale(scale);
    emitAllChanged();
}
