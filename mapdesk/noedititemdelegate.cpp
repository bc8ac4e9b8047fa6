#include "noedititemdelegate.h"

NoEditItemDelegate::NoEditItemDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

QWidget *NoEditItemDelegate::createEditor(QWidget *, const QStyleOptionViewItem &,
                                          const QModelIndex &) const
{
    return nullptr;
}
