#ifndef WRITEREGISTERMODEL_H
#define WRITEREGISTERMODEL_H

#include <QAbstractTableModel>
#include <QBitArray>
#include <QVector>

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

public slots:
    void setStartAddress(int address);
    void setNumberOfValues(const QString &number);

signals:
    void updateViewport();

private:
    int m_address = 0;
    int m_number = 0;
    QBitArray m_coils;
    QVector<quint16> m_holdingRegisters;
};

#endif // WRITEREGISTERMODEL_H
