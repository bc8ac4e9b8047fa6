#include "pointlistview.h"

#include "dialogseam.h"

#include <algorithm>

#include <QColor>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

namespace {

const int kSortRole = Qt::UserRole + 1;
const int kUnitRole = Qt::UserRole + 2;

int tableOrder(const QString &table)
{
    static const QStringList order = {"coil", "discrete input", "input register",
                                      "holding register"};
    const int i = order.indexOf(table);
    return i < 0 ? order.size() : i;
}

} // namespace

// Filters on the unit and sorts by the numbers behind the texts.
class PointFilterModel : public QSortFilterProxyModel
{
public:
    explicit PointFilterModel(QObject *parent) : QSortFilterProxyModel(parent) {}

    // all: every row; otherwise the rows of `unit` ("" = rows about a file).
    void setUnit(bool all, const QString &unit)
    {
        m_all = all;
        m_unit = unit;
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex &parent) const override
    {
        if (m_all)
            return true;
        const QModelIndex idx = sourceModel()->index(row, 0, parent);
        return sourceModel()->data(idx, kUnitRole).toString() == m_unit;
    }

    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override
    {
        const QVariant l = left.data(kSortRole);
        const QVariant r = right.data(kSortRole);
        if (l.isValid() && r.isValid())
            return l.toLongLong() < r.toLongLong();
        if (l.isValid() != r.isValid())
            return l.isValid(); // numbers before blanks
        return QString::localeAwareCompare(left.data().toString(), right.data().toString()) < 0;
    }

private:
    QString m_unit;
    bool m_all = true;
};

PointListView::PointListView(QWidget *parent)
    : QWidget(parent),
      m_unitBox(new QComboBox(this)),
      m_summary(new QLabel(this)),
      m_saveBtn(new QPushButton(QStringLiteral("保存为CSV"), this)),
      m_view(new QTableView(this)),
      m_model(new QStandardItemModel(this)),
      m_proxy(new PointFilterModel(this))
{
    m_unitBox->setObjectName("pointUnitFilter");
    m_summary->setObjectName("pointSummary");
    m_saveBtn->setObjectName("pointSaveBtn");
    m_view->setObjectName("pointTable");

    m_proxy->setSourceModel(m_model);
    m_view->setModel(m_proxy);
    m_view->setSortingEnabled(true);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_view->verticalHeader()->setVisible(false);

    auto *top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("单元:"), this));
    top->addWidget(m_unitBox);
    top->addWidget(m_summary, 1);
    top->addWidget(m_saveBtn);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_view, 1);

    m_saveBtn->setEnabled(false);
    connect(m_unitBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &PointListView::onUnitChanged);
    connect(m_saveBtn, &QPushButton::clicked, this, &PointListView::onSaveClicked);
    updateSummary();
}

bool PointListView::loadData(const QByteArray &data, QString *error)
{
    PointTable t;
    if (!parsePointList(data, &t, error))
        return false;
    m_table = t;
    rebuild();
    return true;
}

bool PointListView::loadFile(const QString &path, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    return loadData(f.readAll(), error);
}

void PointListView::rebuild()
{
    m_model->clear();
    m_model->setHorizontalHeaderLabels(m_table.columns);
    const int unitCol = m_table.column("unit");
    const int tableCol = m_table.column("table");
    const int addrCol = m_table.column("address");
    const int directCol = m_table.column("direct_address");
    const int errorCol = m_table.column("error");
    static const QStringList numeric = {"unit", "direct_address", "slot", "indoor_addr",
                                        "outdoor_addr", "register_count", "scaling", "min", "max"};

    for (const QStringList &row : m_table.rows) {
        QList<QStandardItem *> items;
        const QString unit = unitCol >= 0 ? row.at(unitCol) : QString();
        const bool isError = errorCol >= 0 && !row.at(errorCol).isEmpty();
        for (int c = 0; c < row.size(); ++c) {
            auto *item = new QStandardItem(row.at(c));
            const QString &name = m_table.columns.at(c);
            bool ok = false;
            if (c == addrCol) {
                // Unit, table, then the address a client uses (the direct one
                // when the point has no cached address).
                qint64 a = row.at(c).toLongLong(&ok);
                if (!ok && directCol >= 0)
                    a = row.at(directCol).toLongLong(&ok) - 1000;
                const qint64 u = unit.toLongLong() + 1;
                const qint64 t = tableCol >= 0 ? tableOrder(row.at(tableCol)) : 0;
                item->setData((u << 24) | (t << 20) | (ok ? (a & 0xFFFFF) : 0xFFFFF), kSortRole);
            } else if (numeric.contains(name)) {
                const double v = row.at(c).toDouble(&ok);
                if (ok)
                    item->setData(static_cast<qint64>(v), kSortRole);
            }
            if (isError)
                item->setBackground(QColor(255, 220, 220));
            items << item;
        }
        if (!items.isEmpty())
            items.first()->setData(unit, kUnitRole);
        m_model->appendRow(items);
    }

    const QSignalBlocker block(m_unitBox);
    m_unitBox->clear();
    m_unitBox->addItem(QStringLiteral("全部"), QString());
    for (const QString &u : units())
        m_unitBox->addItem(u.isEmpty() ? QStringLiteral("(文件)") : u, u);
    m_proxy->setUnit(true, QString());
    sortByAddress();
    m_view->resizeColumnsToContents();
    updateSummary();
}

QStringList PointListView::units() const
{
    const int unitCol = m_table.column("unit");
    QList<int> numbers;
    bool blank = false;
    for (const QStringList &row : m_table.rows) {
        if (unitCol < 0)
            break;
        bool ok = false;
        const int u = row.at(unitCol).toInt(&ok);
        if (!ok)
            blank = true;
        else if (!numbers.contains(u))
            numbers << u;
    }
    std::sort(numbers.begin(), numbers.end());
    QStringList out;
    if (blank)
        out << QString();
    for (int u : numbers)
        out << QString::number(u);
    return out;
}

void PointListView::setUnitFilter(const QString &unit)
{
    const int i = unit.isEmpty() ? 0 : m_unitBox->findData(unit);
    if (i >= 0)
        m_unitBox->setCurrentIndex(i);
    m_proxy->setUnit(unit.isEmpty(), unit);
    updateSummary();
}

void PointListView::sortByAddress(Qt::SortOrder order)
{
    const int addrCol = m_table.column("address");
    if (addrCol >= 0)
        m_view->sortByColumn(addrCol, order);
}

PointTable PointListView::shownTable() const
{
    PointTable t;
    t.columns = m_table.columns;
    for (int r = 0; r < m_proxy->rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < m_proxy->columnCount(); ++c)
            row << m_proxy->index(r, c).data().toString();
        t.rows << row;
    }
    return t;
}

int PointListView::shownCount() const
{
    return m_proxy->rowCount();
}

int PointListView::errorCount() const
{
    const int errorCol = m_table.column("error");
    int n = 0;
    for (const QStringList &row : m_table.rows)
        if (errorCol >= 0 && !row.at(errorCol).isEmpty())
            ++n;
    return n;
}

bool PointListView::saveCsv(const QString &path, QString *error) const
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    const QByteArray data = pointListToCsv(shownTable());
    if (f.write(data) != data.size() || !f.commit()) {
        if (error)
            *error = f.errorString();
        return false;
    }
    return true;
}

void PointListView::onUnitChanged(int index)
{
    if (index < 0)
        return;
    const QString unit = m_unitBox->itemData(index).toString();
    m_proxy->setUnit(index == 0, unit);
    updateSummary();
}

void PointListView::onSaveClicked()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("保存点表"),
                                                      QStringLiteral("points.csv"),
                                                      QStringLiteral("CSV (*.csv)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!saveCsv(path, &error)) {
        QMessageBox::warning(this, "warning", QStringLiteral("保存失败: %1").arg(error));
        return;
    }
    emit saved(path);
}

void PointListView::updateSummary()
{
    const int errors = errorCount();
    QString text = QStringLiteral("显示 %1 / 共 %2 行").arg(shownCount()).arg(m_table.rows.size());
    if (errors > 0)
        text += QStringLiteral(", %1 行错误").arg(errors);
    m_summary->setText(text);
    m_saveBtn->setEnabled(!m_table.rows.isEmpty());
}

PointListDialog::PointListDialog(QWidget *parent)
    : QDialog(parent)
    , m_view(new PointListView(this))
{
    setObjectName("pointListDialog");
    resize(900, 600);
    m_view->setObjectName("pointListView");
    auto *lay = new QVBoxLayout(this);
    lay->addWidget(m_view);
}

bool PointListDialog::showFile(const QString &path, const QString &gatewayKey)
{
    QString error;
    if (!m_view->loadFile(path, &error)) {
        DialogSeam::warning(parentWidget(), "warning", QString::fromUtf8("导出点表失败!\n") + error);
        return false;
    }
    m_view->sortByAddress();
    setWindowTitle(QString::fromUtf8("点表 ") + gatewayKey + "  " + QDir::toNativeSeparators(path));
    show();
    raise();
    return true;
}
