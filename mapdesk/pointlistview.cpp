#include "pointlistview.h"

#include <algorithm>

#include <QColor>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

namespace {

const char kBom[] = "\xEF\xBB\xBF";
const int kSortRole = Qt::UserRole + 1;
const int kUnitRole = Qt::UserRole + 2;

// The service's column order, used when a JSON list (whose objects carry no
// order) is shown; unknown keys follow in name order.
const QStringList &knownColumns()
{
    static const QStringList columns = {
        "unit", "device_key", "product_code", "product_key", "device_name", "table",
        "address", "number", "direct_address", "direct_number", "slot", "indoor_addr",
        "outdoor_addr", "identifier", "path", "data_type", "register_type", "register_count",
        "scaling", "min", "max", "values", "access", "read_fc", "write_fc",
        "cleared_after_read", "error", "note"};
    return columns;
}

// RFC 4180 records; a line break inside quotes belongs to the field.
bool parseCsv(const QString &text, QVector<QStringList> *records, QString *error)
{
    QStringList record;
    QString field;
    bool quoted = false;
    bool fieldStarted = false;
    const int n = text.size();
    for (int i = 0; i < n; ++i) {
        const QChar ch = text.at(i);
        if (quoted) {
            if (ch == '"') {
                if (i + 1 < n && text.at(i + 1) == '"') {
                    field += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field += ch;
            }
            continue;
        }
        if (ch == '"' && field.isEmpty() && !fieldStarted) {
            quoted = true;
            fieldStarted = true;
        } else if (ch == ',') {
            record << field;
            field.clear();
            fieldStarted = false;
        } else if (ch == '\r' || ch == '\n') {
            if (ch == '\r' && i + 1 < n && text.at(i + 1) == '\n')
                ++i;
            record << field;
            records->append(record);
            record.clear();
            field.clear();
            fieldStarted = false;
        } else {
            field += ch;
            fieldStarted = true;
        }
    }
    if (quoted) {
        *error = QStringLiteral("CSV: 引号未闭合");
        return false;
    }
    if (fieldStarted || !record.isEmpty()) {
        record << field;
        records->append(record);
    }
    return true;
}

QString jsonText(const QJsonValue &v)
{
    if (v.isNull() || v.isUndefined())
        return QString();
    if (v.isString())
        return v.toString();
    if (v.isBool())
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (v.isDouble()) {
        const double d = v.toDouble();
        if (d == static_cast<double>(static_cast<qint64>(d)))
            return QString::number(static_cast<qint64>(d));
        return QString::number(d, 'g', 12);
    }
    return QString::fromUtf8(QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact));
}

bool parseJson(const QByteArray &data, PointTable *table, QString *error)
{
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &pe);
    if (pe.error != QJsonParseError::NoError || !doc.isArray()) {
        *error = QStringLiteral("JSON: 不是点表数组 (%1)").arg(pe.errorString());
        return false;
    }
    QStringList extra;
    const QJsonArray list = doc.array();
    for (const QJsonValue &v : list) {
        if (!v.isObject()) {
            *error = QStringLiteral("JSON: 数组元素不是对象");
            return false;
        }
        for (const QString &key : v.toObject().keys())
            if (!knownColumns().contains(key) && !extra.contains(key))
                extra << key;
    }
    extra.sort();
    table->columns.clear();
    for (const QString &c : knownColumns()) {
        bool used = list.isEmpty();
        for (const QJsonValue &v : list)
            if (v.toObject().contains(c)) {
                used = true;
                break;
            }
        if (used)
            table->columns << c;
    }
    table->columns << extra;
    table->rows.clear();
    for (const QJsonValue &v : list) {
        const QJsonObject o = v.toObject();
        QStringList row;
        for (const QString &c : table->columns)
            row << jsonText(o.value(c));
        table->rows << row;
    }
    return true;
}

QString csvField(const QString &text)
{
    const bool needs = text.contains(',') || text.contains('"') || text.contains('\n') ||
                       text.contains('\r') ||
                       (!text.isEmpty() && (text.front() == ' ' || text.back() == ' '));
    if (!needs)
        return text;
    QString out = text;
    out.replace('"', QStringLiteral("\"\""));
    return '"' + out + '"';
}

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

bool parsePointList(const QByteArray &data, PointTable *table, QString *error)
{
    QString dummy;
    if (!error)
        error = &dummy;
    QByteArray body = data;
    if (body.startsWith(kBom))
        body = body.mid(3);
    const QByteArray trimmed = body.trimmed();
    if (trimmed.startsWith('['))
        return parseJson(trimmed, table, error);

    QVector<QStringList> records;
    if (!parseCsv(QString::fromUtf8(body), &records, error))
        return false;
    if (records.isEmpty() || !records.first().contains(QStringLiteral("unit"))) {
        *error = QStringLiteral("没有点表表头 (unit, ...)");
        return false;
    }
    PointTable t;
    t.columns = records.first();
    for (int i = 1; i < records.size(); ++i) {
        const QStringList &r = records.at(i);
        if (r.size() == 1 && r.first().isEmpty())
            continue; // a blank line
        if (r.size() != t.columns.size()) {
            *error = QStringLiteral("第 %1 行有 %2 列, 表头有 %3 列")
                         .arg(i + 1).arg(r.size()).arg(t.columns.size());
            return false;
        }
        t.rows << r;
    }
    *table = t;
    return true;
}

QByteArray pointListToCsv(const PointTable &table)
{
    QString text;
    QStringList header;
    for (const QString &c : table.columns)
        header << csvField(c);
    text += header.join(',') + "\r\n";
    for (const QStringList &row : table.rows) {
        QStringList fields;
        for (const QString &f : row)
            fields << csvField(f);
        text += fields.join(',') + "\r\n";
    }
    return QByteArray(kBom) + text.toUtf8();
}

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
