#ifndef NOEDITITEMDELEGATE_H
#define NOEDITITEMDELEGATE_H

#include <QStyledItemDelegate>

// Columns that show gateway data (device key, product code, model) must not
// be typed over; only the Modbus address column of the map stays editable.
class NoEditItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit NoEditItemDelegate(QObject *parent = nullptr);

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
};

#endif // NOEDITITEMDELEGATE_H
