#include "acleditor.h"

#include "aclfile.h"
#include "dialogseam.h"
#include "utf8text.h"

#include <QBrush>
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
    m_addBtn = new QPushButton(u("添加"), this);
    m_addBtn->setObjectName("aclAddBtn");
    m_removeBtn = new QPushButton(u("删除"), this);
    m_removeBtn->setObjectName("aclRemoveBtn");

    m_list = new QTableWidget(0, 2, this);
    m_list->setObjectName("aclList");
    m_list->setHorizontalHeaderLabels({u("允许的地址或地址段"), u("包含的地址")});
    m_list->verticalHeader()->hide();
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    m_list->setWordWrap(false);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QHeaderView *header = m_list->horizontalHeader();
    const int entryWidth = m_list->fontMetrics().horizontalAdvance(QStringLiteral("255.255.255.255/32")) + 24;
    header->setSectionResizeMode(0, QHeaderView::Interactive);
    header->resizeSection(0, qMax(entryWidth, header->sectionSizeHint(0)));
    header->setStretchLastSection(true);
    // Three rows below the header at the smallest size.
    const int rows = 3 * m_list->verticalHeader()->defaultSectionSize();
    m_list->setMinimumHeight(rows + header->sizeHint().height() + 2 * m_list->frameWidth() + 2);
    // Room for the range of a /24 in a private network without eliding it.
    const int rangeWidth =
        m_list->fontMetrics().horizontalAdvance(u("192.168.255.0 - 192.168.255.255 (256个地址)")) + 24;
    m_list->setMinimumWidth(header->sectionSize(0) + rangeWidth + 2 * m_list->frameWidth()
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
    QStringList loaded;
    QString why;
    if (!AclFile::parse(text, &loaded, &why)) {
        if (error)
            *error = why;
        setNote(u("网关上的客户端允许列表不可用 (%1): 网关因此接受任何客户端").arg(why), true);
        return false;
    }
    m_filling = true;
    m_list->setRowCount(0);
    for (const QString &entry : loaded)
        appendRow(entry);
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
        list << (m_list->item(r, 0) ? m_list->item(r, 0)->text() : QString());
    return list;
}

QByteArray AclEditor::fileText() const
{
    return AclFile::serialize(entries());
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
    if (texts.size() > AclFile::kMaxEntries)
        list << u("共%1项, 网关最多接受%2项").arg(texts.size()).arg(AclFile::kMaxEntries);
    return list;
}

QStringList AclEditor::warnings() const
{
    QStringList list;
    const QStringList texts = entries();
    if (!texts.isEmpty() && errors().isEmpty() && !m_localAddress.isEmpty()
        && !AclFile::allows(texts, m_localAddress))
        list << u("本机地址 %1 不在列表中: 本工具的modbus测试将被网关拒绝").arg(m_localAddress);

    QVector<AclFile::Entry> parsed(texts.size());
    QVector<bool> valid(texts.size());
    for (int i = 0; i < texts.size(); ++i)
        valid[i] = AclFile::parseEntry(texts[i], &parsed[i]);
    for (int i = 0; i < texts.size(); ++i) {
        if (!valid[i])
            continue;
        const AclFile::Entry &e = parsed[i];
        if (e.prefix == 0) {
            list << u("\"%1\" 允许任何客户端: 列表等于不设限制").arg(texts[i]);
            continue;
        }
        if (AclFile::hostBitsSet(texts[i]))
            list << u("\"%1\" 的主机位不为零: 网关按 %2 处理").arg(texts[i], AclFile::entryText(e));
        for (int j = 0; j < texts.size(); ++j) {
            if (j == i || !valid[j])
                continue;
            const AclFile::Entry &o = parsed[j];
            if (o.prefix > e.prefix || (e.network & o.mask) != o.network)
                continue;
            if (o.prefix == e.prefix) {
                if (j > i)
                    continue;  // the later one of the two is the repeat
                list << u("\"%1\" 与第%2项 \"%3\" 重复").arg(texts[i]).arg(j + 1).arg(texts[j]);
            } else {
                list << u("\"%1\" 已包含在 \"%2\" 中").arg(texts[i], texts[j]);
            }
            break;
        }
    }
    return list;
}

void AclEditor::setGatewayActionsEnabled(bool enabled)
{
    m_getBtn->setEnabled(enabled);
    m_putBtn->setEnabled(enabled);
}

bool AclEditor::addEntry(const QString &typed)
{
    const QString text = typed.trimmed();
    AclFile::Entry e;
    QString why;
    if (!AclFile::parseEntry(text, &e, &why)) {
        setNote(u("未添加 \"%1\": %2").arg(text, why), true);
        return false;
    }
    const QString entry = AclFile::entryText(e);
    for (const QString &existing : entries()) {
        AclFile::Entry o;
        if (AclFile::parseEntry(existing, &o) && AclFile::entryText(o) == entry) {
            setNote(u("未添加 \"%1\": 列表中已有 \"%2\"").arg(text, existing), true);
            return false;
        }
    }
    if (m_list->rowCount() >= AclFile::kMaxEntries) {
        setNote(u("未添加 \"%1\": 网关最多接受%2项").arg(text).arg(AclFile::kMaxEntries), true);
        return false;
    }
    m_filling = true;
    appendRow(entry);
    m_filling = false;
    m_list->scrollToBottom();
    m_edit->clear();
    if (entry != text)
        setNote(u("已添加 %1 (按网关的处理方式由 \"%2\" 改写)").arg(entry, text), false);
    else
        setNote(u("已添加 %1").arg(entry), false);
    setModified(true);
    return true;
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
    addEntry(m_edit->text());
}

void AclEditor::onItemChanged(QTableWidgetItem *item)
{
    if (m_filling || item->column() != 0)
        return;
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

void AclEditor::appendRow(const QString &text)
{
    const int row = m_list->rowCount();
    m_list->insertRow(row);
    m_list->setItem(row, 0, new QTableWidgetItem(text));
    auto *range = new QTableWidgetItem;
    range->setFlags(range->flags() & ~Qt::ItemIsEditable);
    m_list->setItem(row, 1, range);
    showRange(row);
}

void AclEditor::showRange(int row)
{
    QTableWidgetItem *entry = m_list->item(row, 0);
    QTableWidgetItem *range = m_list->item(row, 1);
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
    const QStringList texts = entries();
    QString line = texts.isEmpty() ? u("列表为空: modbus端口接受任何客户端")
                                   : u("仅允许%1项中的客户端连接modbus端口").arg(texts.size());
    if (m_modified)
        line += u("(未下发的修改)");
    else if (m_fromGateway)
        line += u("(与网关一致)");
    else
        line += u("(尚未从网关获取)");
    QStringList lines{line.toHtmlEscaped()};
    const QStringList bad = errors();
    if (!bad.isEmpty())
        lines << red(u("有%1处错误, 修正后才能下发; 网关会拒绝整个文件并接受任何客户端").arg(bad.size()));
    else if (!texts.isEmpty() && !m_localAddress.isEmpty() && !AclFile::allows(texts, m_localAddress))
        lines << red(u("本机地址 %1 不在列表中: 本工具的modbus测试将被拒绝").arg(m_localAddress));
    if (!m_note.isEmpty())
        lines << (m_noteBad ? red(m_note) : m_note.toHtmlEscaped());
    m_state->setText(lines.join(QStringLiteral("<br>")));
    m_removeBtn->setEnabled(m_list->rowCount() > 0);
}
