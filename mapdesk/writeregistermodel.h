#ifndef WRITEREGISTERMODEL_H
#define WRITEREGISTERMODEL_H

#include <QAbstractTableModel>
#include <QBitArray>
#include <QVector>

#include "registervalueformat.h"

// The values the test panel writes: one row per address 0..122, a coil bit
// and a holding-register value each. Only the rows of the current write range
// [start, start + count) are enabled.
class WriteRegisterModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { NumColumn = 0, CoilsColumn = 1, HoldingColumn = 2, ColumnCount = 3 };
    static const int RowCount = 123;

    explicit WriteRegisterModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    int startAddress() const { return m_address; }
    int numberOfValues() const { return m_number; }
    // Whether [start, start + count) lies within the model's rows.
    bool rangeFits(int start, int count) const { return start >= 0 && count >= 0 && start + count <= RowCount; }

    bool coil(int row) const { return m_coils.testBit(row); }
    quint16 holdingRegister(int row) const { return m_holdingRegisters.at(row); }
    // For copying read values in; rows outside the model are ignored.
    void setCoil(int row, bool on);
    void setHoldingRegister(int row, quint16 value);

    // How the register column shows and takes values. With a 32-bit format
    // the rows pair up from the start address: the first row of a pair holds
    // the value, the second is its other half and is not edited on its own.
    void setValueFormat(RegisterValueFormat::Format format, RegisterValueFormat::WordOrder order,
                        double scale);
    RegisterValueFormat::Format valueFormat() const { return m_format; }

public slots:
    void setStartAddress(int address);
    void setNumberOfValues(const QString &number);

signals:
    void updateViewport();

private:
    // Whether the row is the second register of a 32-bit pair.
    bool isSecondHalf(int row) const;
    void emitAllChanged();
    int m_address = 0;
    int m_number = 0;
    QBitArray m_coils;
    QVector<quint16> m_holdingRegisters;
    RegisterValueFormat::Format m_format = RegisterValueFormat::Hex16;
    RegisterValueFormat::WordOrder m_order = RegisterValueFormat::HighWordFirst;
    double m_scale = 1.0;
};

#endif // WRITEREGISTERMODEL_H
