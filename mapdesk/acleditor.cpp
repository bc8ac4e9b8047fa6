#include "acleditor.h"

#include "aclfile.h"
#include "dialogseam.h"
#include "utf8text.h"

#include <QBrush>
#include <QCheckBox>
#include <QColor>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QStyle>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QVector>

#include <algorithm>
#include <functional>

namespace {

const QColor kBad(0xcc, 0, 0);
enum Column { EntryCol, ReadOnlyCol, RangeCol };

// Whether the entries together cover every IPv4 address.
bool coverAll(QVector<AclFile::Entry> entries)
{
    std::sort(entries.begin(), entries.end(),
              [](const AclFile::Entry &a, const AclFile::Entry &b) { return a.network < b.network; });
    quint64 next = 0;  // the first address not yet covered
    for (const AclFile::Entry &e : entries) {
        if (e.network > next)
            return false;
        next = qMax(next, quint64(e.network | ~e.mask) + 1);
    }
    return next > 0xFFFFFFFFull;
}

// A kept key named like one of the two lists: a misspelling the service ignores.
bool looksLikeAList(const QByteArray &name)
{
    QByteArray n = name.toLower();
    n.replace('_', "").replace('-', "").replace(' ', "");
    return n.contains("allow") || n.contains("readonly");
}

QString red(const QString &text)
{
    return QStringLiteral("<span style=\"color:#cc0000\">%1</span>").arg(text.toHtmlEscaped());
}

} // namespace

AclEditor::AclEditor(QWidget *parent)
    : QWidget(parent)
{
    m_edit = new QLineEdit(this);
    m_edit->setObjectName("aclEntryEdit");
    m_edit->setPlaceholderText(u("如 192.168.1.10 或 192.168.1.0/24"));
    m_edit->setMinimumWidth(m_edit->fontMetrics().horizontalAdvance(QStringLiteral("255.255.255.255/32")) + 16);
    m_addReadOnly = new QCheckBox(u("只读"), this);
    m_addReadOnly->setObjectName("aclAddReadOnlyCheck");
    m_addReadOnly->setToolTip(u("勾选后添加的地址只能读: 网关以异常码1拒绝其写入"));
    m_addBtn = new QPushButton(u("添加"), this);
    m_addBtn->setObjectName("aclAddBtn");
    m_removeBtn = new QPushButton(u("删除"), this);
    m_removeBtn->setObjectName("aclRemoveBtn");

    m_list = new QTableWidget(0, 3, this);
    m_list->setObjectName("aclList");
    m_list->setHorizontalHeaderLabels({u("允许的地址或地址段"), u("只读"), u("包含的地址")});
    m_list->horizontalHeaderItem(ReadOnlyCol)
        ->setToolTip(u("勾选: 该项中的客户端只能读, 写入被网关拒绝(异常码1); 同时在可读写项中的地址也只能读"));
    m_list->verticalHeader()->hide();
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    m_list->setWordWrap(false);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QHeaderView *header = m_list->horizontalHeader();
    const int entryWidth = m_list->fontMetrics().horizontalAdvance(QStringLiteral("255.255.255.255/32")) + 24;
    header->setSectionResizeMode(EntryCol, QHeaderView::Interactive);
    header->resizeSection(EntryCol, qMax(entryWidth, header->sectionSizeHint(EntryCol)));
    header->setSectionResizeMode(ReadOnlyCol, QHeaderView::Fixed);
    header->resizeSection(ReadOnlyCol, qMax(header->sectionSizeHint(ReadOnlyCol),
                                            m_list->style()->pixelMetric(QStyle::PM_IndicatorWidth) + 16));
    header->setStretchLastSection(true);
    // Three rows below the header at the smallest size.
    const int rows = 3 * m_list->verticalHeader()->defaultSectionSize();
    m_list->setMinimumHeight(rows + header->sizeHint().height() + 2 * m_list->frameWidth() + 2);
    // Room for the range of a /24 in a private network without eliding it.
    const int rangeWidth =
        m_list->fontMetrics().horizontalAdvance(u("192.168.255.0 - 192.168.255.255 (256个地址)")) + 24;
    m_list->setMinimumWidth(header->sectionSize(EntryCol) + header->sectionSize(ReadOnlyCol) + rangeWidth
                            + 2 * m_list->frameWidth()
                            + m_list->style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    m_list->installEventFilter(this);

    m_state = new QLabel(this);
    m_state->setObjectName("aclStateLabel");
    m_state->setTextFormat(Qt::RichText);
    m_state->setWordWrap(true);
    m_state->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_getBtn = new QPushButton(u("获取客户端允许列表"), this);
    m_getBtn->setObjectName("sshGetAclBtn");
    m_putBtn = new QPushButton(u("下发客户端允许列表"), this);
    m_putBtn->setObjectName("sshPutAclBtn");

    auto *addRow = new QHBoxLayout;
    addRow->addWidget(m_edit, 1);
    addRow->addWidget(m_addReadOnly);
    addRow->addWidget(m_addBtn);
    addRow->addWidget(m_removeBtn);
    auto *gatewayRow = new QHBoxLayout;
    gatewayRow->addWidget(m_getBtn);
    gatewayRow->addWidget(m_putBtn);
    gatewayRow->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(addRow);
    layout->addWidget(m_list, 1);
    layout->addWidget(m_state);
    layout->addLayout(gatewayRow);

    connect(m_addBtn, &QPushButton::clicked, this, &AclEditor::onAddClicked);
    connect(m_edit, &QLineEdit::returnPressed, this, &AclEditor::onAddClicked);
    connect(m_removeBtn, &QPushButton::clicked, this, [this]() {
        if (removeSelected() == 0)
            setNote(u("请先选中要删除的行"), false);
    });
    connect(m_list, &QTableWidget::itemChanged, this, &AclEditor::onItemChanged);
    connect(m_getBtn, &QPushButton::clicked, this, &AclEditor::onFetchClicked);
    connect(m_putBtn, &QPushButton::clicked, this, &AclEditor::onInstallClicked);
    updateState();
}

void AclEditor::setLocalAddress(const QString &ipv4)
{
    m_localAddress = ipv4.trimmed();
    updateState();
}

bool AclEditor::loadFileText(const QByteArray &text, QString *error)
{
    AclFile::List loaded;
    QString why;
    if (!AclFile::parse(text, &loaded, &why)) {
        if (error)
            *error = why;
        setNote(u("网关上的客户端允许列表不可用 (%1): 网关因此接受任何客户端").arg(why), true);
        return false;
    }
    m_filling = true;
    m_list->setRowCount(0);
    for (const QString &entry : loaded.allow)
        appendRow(entry, false);
    for (const QString &entry : loaded.readOnly)
        appendRow(entry, true);
    m_otherKeys = loaded.otherKeys;
    m_filling = false;
    m_fromGateway = true;
    m_note.clear();
    setModified(false);
    updateState();
    return true;
}

QStringList AclEditor::entries() const
{
    QStringList list;
    for (int r = 0; r < m_list->rowCount(); ++r)
        list << (m_list->item(r, EntryCol) ? m_list->item(r, EntryCol)->text() : QString());
    return list;
}

QStringList AclEditor::readOnlyEntries() const
{
    return list().readOnly;
}

AclFile::List AclEditor::list() const
{
    AclFile::List l;
    const QStringList texts = entries();
    for (int r = 0; r < texts.size(); ++r)
        (rowReadOnly(r) ? l.readOnly : l.allow) << texts[r];
    l.otherKeys = m_otherKeys;
    return l;
}

bool AclEditor::rowReadOnly(int row) const
{
    const QTableWidgetItem *item = m_list->item(row, ReadOnlyCol);
    return item && item->checkState() == Qt::Checked;
}

QByteArray AclEditor::fileText() const
{
    return AclFile::serialize(list());
}

bool AclEditor::isModified() const
{
    return m_modified;
}

void AclEditor::setModified(bool modified)
{
    if (!modified)
        m_fromGateway = true;
    if (modified == m_modified) {
        updateState();
        return;
    }
    m_modified = modified;
    updateState();
    emit modifiedChanged(modified);
}

void AclEditor::gatewayChanged()
{
    m_fromGateway = false;
    // Kept for the engineer (it may be meant for this gateway too), but not
    // taken for what this gateway has.
    if (!entries().isEmpty() && !m_modified) {
        m_modified = true;
        emit modifiedChanged(true);
    }
    updateState();
}

QStringList AclEditor::errors() const
{
    QStringList list;
    const QStringList texts = entries();
    for (int i = 0; i < texts.size(); ++i) {
        AclFile::Entry e;
        QString why;
        if (!AclFile::parseEntry(texts[i], &e, &why))
            list << u("第%1项 \"%2\": %3").arg(i + 1).arg(texts[i], why);
    }
    const AclFile::List lists = this->list();
    if (lists.allow.size() > AclFile::kMaxEntries)
        list << u("可读写的项共%1项, 网关最多接受%2项").arg(lists.allow.size()).arg(AclFile::kMaxEntries);
    if (lists.readOnly.size() > AclFile::kMaxEntries)
        list << u("只读的项共%1项, 网关最多接受%2项").arg(lists.readOnly.size()).arg(AclFile::kMaxEntries);
    return list;
}

QStringList AclEditor::warnings() const
{
    QStringList list;
    const QStringList texts = entries();
    const AclFile::List lists = this->list();
    QVector<AclFile::Entry> parsed(texts.size());
    QVector<bool> valid(texts.size());
    QVector<bool> readOnly(texts.size());
    for (int i = 0; i < texts.size(); ++i) {
        valid[i] = AclFile::parseEntry(texts[i], &parsed[i]);
        readOnly[i] = rowReadOnly(i);
    }
    auto covers = [&parsed](int outer, int inner) {
        const AclFile::Entry &o = parsed[outer];
        return o.prefix <= parsed[inner].prefix && (parsed[inner].network & o.mask) == o.network;
    };
    const bool usable = errors().isEmpty();

    if (usable && !m_localAddress.isEmpty()) {
        const AclFile::Right right = AclFile::rightOf(lists, m_localAddress);
        if (right == AclFile::Refused) {
            list << u("本机地址 %1 不在列表中: 本工具的modbus测试将被网关拒绝").arg(m_localAddress);
        } else if (right == AclFile::ReadOnly) {
            AclFile::Entry local;
            AclFile::parseEntry(m_localAddress, &local);
            QString by;
            for (int j = 0; j < texts.size() && by.isEmpty(); ++j)
                if (readOnly[j] && (local.network & parsed[j].mask) == parsed[j].network)
                    by = texts[j];
            list << u("本机地址 %1 在只读项 \"%2\" 中: 本工具modbus测试中的写入将被网关拒绝(异常码1)")
                        .arg(m_localAddress, by);
        }
    }

    for (int i = 0; i < texts.size(); ++i) {
        if (!valid[i])
            continue;
        const AclFile::Entry &e = parsed[i];
        if (e.prefix == 0) {
            if (readOnly[i])
                list << u("\"%1\" 使任何客户端都只能读: 没有客户端能写入").arg(texts[i]);
            else
                list << u("\"%1\" 允许任何客户端连接").arg(texts[i])
                            + (lists.readOnly.isEmpty() ? u(": 列表等于不设限制") : QString());
            continue;
        }
        if (AclFile::hostBitsSet(texts[i]))
            list << u("\"%1\" 的主机位不为零: 网关按 %2 处理").arg(texts[i], AclFile::entryText(e));
        for (int j = 0; j < texts.size(); ++j) {
            if (j == i || !valid[j] || readOnly[j] != readOnly[i] || !covers(j, i))
                continue;
            if (parsed[j].prefix == e.prefix) {
                if (j > i)
                    continue;  // the later one of the two is the repeat
                list << u("\"%1\" 与第%2项 \"%3\" 重复").arg(texts[i]).arg(j + 1).arg(texts[j]);
            } else {
                list << u("\"%1\" 已包含在 \"%2\" 中").arg(texts[i], texts[j]);
            }
            break;
        }
        // The narrower right wins: such a read-write entry only reads.
        for (int j = 0; j < texts.size() && !readOnly[i]; ++j) {
            if (valid[j] && readOnly[j] && covers(j, i)) {
                list << u("\"%1\" 也在只读项 \"%2\" 中: 网关按只读处理").arg(texts[i], texts[j]);
                break;
            }
        }
    }

    if (usable && lists.allow.isEmpty() && !lists.readOnly.isEmpty()) {
        QVector<AclFile::Entry> ro;
        for (int i = 0; i < texts.size(); ++i)
            if (readOnly[i])
                ro << parsed[i];
        if (!coverAll(ro))
            list << u("没有可读写的项: 只读项以外的任何客户端都能连接并写入");
    }
    for (const AclFile::OtherKey &key : m_otherKeys) {
        if (looksLikeAList(key.name))
            list << u("文件中的 \"%1\" 网关不读取(只读取 \"allow\" 和 \"readOnly\", 区分大小写): 其中的地址不起作用")
                        .arg(QString::fromUtf8(key.name));
    }
    return list;
}

void AclEditor::setGatewayActionsEnabled(bool enabled)
{
    m_getBtn->setEnabled(enabled);
    m_putBtn->setEnabled(enabled);
}

bool AclEditor::addEntry(const QString &typed, bool readOnly)
{
    const QString text = typed.trimmed();
    AclFile::Entry e;
    QString why;
    if (!AclFile::parseEntry(text, &e, &why)) {
        setNote(u("未添加 \"%1\": %2").arg(text, why), true);
        return false;
    }
    const QString entry = AclFile::entryText(e);
    const QStringList texts = entries();
    for (int r = 0; r < texts.size(); ++r) {
        AclFile::Entry o;
        if (AclFile::parseEntry(texts[r], &o) && AclFile::entryText(o) == entry) {
            setNote(u("未添加 \"%1\": 列表中已有 \"%2\"%3")
                        .arg(text, texts[r], rowReadOnly(r) ? u("(只读)") : u("(可读写)")),
                    true);
            return false;
        }
    }
    const AclFile::List lists = list();
    if ((readOnly ? lists.readOnly : lists.allow).size() >= AclFile::kMaxEntries) {
        setNote(u("未添加 \"%1\": 网关最多接受%2项%3").arg(text).arg(AclFile::kMaxEntries)
                    .arg(readOnly ? u("只读项") : u("可读写的项")),
                true);
        return false;
    }
    m_filling = true;
    appendRow(entry, readOnly);
    m_filling = false;
    m_list->scrollToBottom();
    m_edit->clear();
    const QString added = readOnly ? u("已添加只读项 %1").arg(entry) : u("已添加 %1").arg(entry);
    if (entry != text)
        setNote(added + u(" (按网关的处理方式由 \"%1\" 改写)").arg(text), false);
    else
        setNote(added, false);
    setModified(true);
    return true;
}

void AclEditor::setReadOnly(int row, bool readOnly)
{
    if (QTableWidgetItem *item = m_list->item(row, ReadOnlyCol))
        item->setCheckState(readOnly ? Qt::Checked : Qt::Unchecked);
}

int AclEditor::removeSelected()
{
    QSet<int> rows;
    for (const QTableWidgetItem *item : m_list->selectedItems())
        rows.insert(item->row());
    QList<int> ordered = rows.values();
    std::sort(ordered.begin(), ordered.end(), std::greater<int>());
    for (int r : ordered)
        m_list->removeRow(r);
    if (!ordered.isEmpty()) {
        setNote(u("已删除%1项").arg(ordered.size()), false);
        setModified(true);
    }
    return ordered.size();
}

bool AclEditor::eventFilter(QObject *watched, QEvent *event)
{
    // While a row is edited its editor gets the keys, not the list.
    if (watched == m_list && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Delete || key == Qt::Key_Backspace) {
            removeSelected();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void AclEditor::onAddClicked()
{
    addEntry(m_edit->text(), m_addReadOnly->isChecked());
}

void AclEditor::onItemChanged(QTableWidgetItem *item)
{
    if (m_filling || item->column() == RangeCol)
        return;
    if (item->column() == ReadOnlyCol) {
        const QString entry = m_list->item(item->row(), EntryCol)->text();
        setNote(rowReadOnly(item->row()) ? u("%1 改为只读").arg(entry) : u("%1 改为可读写").arg(entry), false);
        setModified(true);
        return;
    }
    m_filling = true;
    showRange(item->row());
    m_filling = false;
    setNote(QString(), false);
    setModified(true);
}

void AclEditor::onFetchClicked()
{
    if (m_modified
        && !DialogSeam::confirm(this, "warning", u("客户端允许列表有未下发的修改, 获取后将被网关上的列表替换。"),
                                u("获取"), u("取消")))
        return;
    emit fetchRequested();
}

void AclEditor::onInstallClicked()
{
    const QStringList bad = errors();
    if (!bad.isEmpty()) {
        DialogSeam::warning(this, "warning", u("客户端允许列表有错误, 修正后才能下发:\n") + bad.join('\n'));
        return;
    }
    const QStringList doubts = warnings();
    if (!doubts.isEmpty()
        && !DialogSeam::confirm(this, "warning", u("请确认:\n") + doubts.join('\n') + u("\n\n仍然下发?"),
                                u("下发"), u("取消")))
        return;
    emit installRequested();
}

void AclEditor::appendRow(const QString &text, bool readOnly)
{
    const int row = m_list->rowCount();
    m_list->insertRow(row);
    m_list->setItem(row, EntryCol, new QTableWidgetItem(text));
    auto *mark = new QTableWidgetItem;
    mark->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    mark->setCheckState(readOnly ? Qt::Checked : Qt::Unchecked);
    mark->setToolTip(u("勾选: 只能读, 写入被网关拒绝(异常码1)"));
    m_list->setItem(row, ReadOnlyCol, mark);
    auto *range = new QTableWidgetItem;
    range->setFlags(range->flags() & ~Qt::ItemIsEditable);
    m_list->setItem(row, RangeCol, range);
    showRange(row);
}

void AclEditor::showRange(int row)
{
    QTableWidgetItem *entry = m_list->item(row, EntryCol);
    QTableWidgetItem *range = m_list->item(row, RangeCol);
    if (!entry || !range)
        return;
    AclFile::Entry e;
    QString why;
    const bool ok = AclFile::parseEntry(entry->text(), &e, &why);
    range->setText(ok ? AclFile::rangeText(e) : u("错误: %1").arg(why));
    range->setToolTip(range->text());
    const QBrush brush = ok ? m_list->palette().text() : QBrush(kBad);
    entry->setForeground(brush);
    range->setForeground(brush);
}

void AclEditor::setNote(const QString &text, bool bad)
{
    m_note = text;
    m_noteBad = bad;
    updateState();
}

void AclEditor::updateState()
{
    const AclFile::List lists = list();
    const int rw = lists.allow.size(), ro = lists.readOnly.size();
    QString line;
    if (lists.isEmpty()) {
        line = u("列表为空: modbus端口接受任何客户端");
    } else if (ro == 0) {
        line = u("仅允许%1项中的客户端连接modbus端口").arg(rw);
    } else if (rw == 0) {
        QVector<AclFile::Entry> entries;
        for (const QString &text : lists.readOnly) {
            AclFile::Entry e;
            if (AclFile::parseEntry(text, &e))
                entries << e;
        }
        line = coverAll(entries) ? u("modbus端口接受任何客户端, 但都只能读(写入被拒绝)")
                                 : u("modbus端口接受任何客户端, 其中%1项只读(写入被拒绝)").arg(ro);
    } else {
        line = u("仅允许%1项中的客户端连接modbus端口, 其中%2项只读(写入被拒绝)").arg(rw + ro).arg(ro);
    }
    if (m_modified)
        line += u("(未下发的修改)");
    else if (m_fromGateway)
        line += u("(与网关一致)");
    else
        line += u("(尚未从网关获取)");
    QStringList lines{line.toHtmlEscaped()};
    const QStringList bad = errors();
    if (!bad.isEmpty()) {
        lines << red(u("有%1处错误, 修正后才能下发; 网关会拒绝整个文件并接受任何客户端").arg(bad.size()));
    } else if (!m_localAddress.isEmpty()) {
        const AclFile::Right right = AclFile::rightOf(lists, m_localAddress);
        if (right == AclFile::Refused)
            lines << red(u("本机地址 %1 不在列表中: 本工具的modbus测试将被拒绝").arg(m_localAddress));
        else if (right == AclFile::ReadOnly)
            lines << red(u("本机地址 %1 只能读: 本工具modbus测试中的写入将被拒绝").arg(m_localAddress));
    }
    if (!m_otherKeys.isEmpty())
        lines << u("网关不读取的 %1 原样保留在文件中").arg(AclFile::otherKeysText(lists)).toHtmlEscaped();
    if (!m_note.isEmpty())
        lines << (m_noteBad ? red(m_note) : m_note.toHtmlEscaped());
    m_state->setText(lines.join(QStringLiteral("<br>")));
    m_removeBtn->setEnabled(m_list->rowCount() > 0);
}
