#ifndef POINTLISTVIEW_H
#define POINTLISTVIEW_H

// The point list (pointlist.h) shown in a table with a unit filter and
// sorting by address, saved as CSV for the integrator's BMS.

#include <QDialog>
#include <QWidget>

#include "pointlist.h"

class QComboBox;
class QLabel;
class QPushButton;
class QStandardItemModel;
class QTableView;
class PointFilterModel;

class PointListView : public QWidget
{
    Q_OBJECT

public:
    explicit PointListView(QWidget *parent = nullptr);

    // Replaces the shown list. False (and the old list kept) for bad data.
    bool loadData(const QByteArray &data, QString *error = nullptr);
    bool loadFile(const QString &path, QString *error = nullptr);

    // Units in the list ("" for rows about a whole file), ascending.
    QStringList units() const;
    // Shows one unit's rows; an empty text shows all.
    void setUnitFilter(const QString &unit);
    // Orders the shown rows by unit, table and address (the order a client
    // walks them).
    void sortByAddress(Qt::SortOrder order = Qt::AscendingOrder);

    // The rows as shown (filtered and sorted), with the header.
    PointTable shownTable() const;
    int shownCount() const;
    int errorCount() const;
    // Writes the rows as shown. False with a reason when the file cannot be written.
    bool saveCsv(const QString &path, QString *error = nullptr) const;

signals:
    void saved(const QString &path);

private slots:
    void onUnitChanged(int index);
    void onSaveClicked();

private:
    void rebuild();
    void updateSummary();

    PointTable m_table;
    QComboBox *m_unitBox;
    QLabel *m_summary;
    QPushButton *m_saveBtn;
    QTableView *m_view;
    QStandardItemModel *m_model;
    PointFilterModel *m_proxy;
};

// The point list of one gateway in a window of its own, kept for the next export.
class PointListDialog : public QDialog
{
    Q_OBJECT
public:
    explicit PointListDialog(QWidget *parent = nullptr);
    PointListView *view() const { return m_view; }
    // Shows the file's list sorted by address, or a box saying why not.
    bool showFile(const QString &path, const QString &gatewayKey);

private:
    PointListView *m_view;
};

#endif // POINTLISTVIEW_H
