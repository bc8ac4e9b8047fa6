#include "sitetab.h"

#include "dialogseam.h"
#include "elidedlabel.h"
#include "qtftpwidget.h"
#include "remoteactions.h"
#include "remoteflows.h"
#include "remotesession.h"
#include "sitebackupjob.h"
#include "sitebatch.h"
#include "siteinventory.h"
#include "sitestore.h"
#include "upgradepackage.h"
#include "upgradepanel.h"
#include "upgraderules.h"
#include "utf8text.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {
enum ResultColumn { ResGateway = 0, ResOperation, ResResult, ResWhy, ResCount };
const int kInProgress = -1;

QPushButton *button(const QString &text, const char *name, QWidget *parent)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(name);
    return b;
}

// Room for the header and rows rows.
void holdRows(QTableWidget *t, int rows)
{
    t->setMinimumHeight(t->horizontalHeader()->sizeHint().height() + rows * t->verticalHeader()->defaultSectionSize()
                        + 2 * t->frameWidth() + t->horizontalScrollBar()->sizeHint().height());
}
} // namespace

SiteTab::SiteTab(const Links &links, QWidget *parent)
    : QWidget(parent)
    , m_links(links)
    , m_store(new SiteStore)
{
    setObjectName("siteTab");
    QtftpWidget *tftp = links.tftp;
    m_env.tftp = tftp;
    m_env.dialogParent = links.dialogParent;
    m_env.localIp = links.localIp;
    m_env.tftpRoot = [tftp]() { return tftp->rootDir(); };
    m_inventory = new SiteInventory(m_env, links.broadcast, this);
    m_backup = new SiteBackupJob(m_env, this);
    m_restore = new SiteRestoreJob(m_env, this);
    m_batch = new SiteBatchUpgrade(m_env, this);
    m_keys = new SiteKeyCheck(tftp, links.dialogParent, this);
    buildUi();

    connect(m_inventory, &SiteInventory::stateText, this, &SiteTab::setState);
    connect(m_inventory, &SiteInventory::listChanged, this, [this](const QVector<SiteGateway> &list) {
        m_rows = list;
        showRows();
        saveList();
    });
    connect(m_inventory, &SiteInventory::rowRead, this, [this](int row, const SiteGateway &g) {
        if (row < m_rows.size()) {
            m_rows[row] = g;
            showRow(row);
        }
    });
    connect(m_inventory, &SiteJob::finished, this, [this](bool cancelled) {
        setState((cancelled ? u("刷新已取消(其余网关未读取): ") : u("刷新完毕: ")) + QString::number(m_rows.size())
                 + u("台网关"));
        saveList();
        updateActions();
        emit operationFinished();
    });
    connectJob(m_backup, u("备份"));
    connectJob(m_restore, u("恢复"));
    connectJob(m_batch, u("批量升级"));
    if (links.actions)
        links.actions->setBusyElsewhere([this]() { return busyText(); });

    // Shown, not written: the settings file changes only by the engineer's hand.
    const QString current = m_store->current();
    m_site = current.isEmpty() ? u("默认站点") : current;
    loadSite();
}

SiteTab::~SiteTab()
{
    if (m_links.actions)
        m_links.actions->setBusyElsewhere(nullptr);
    delete m_store;
}

void SiteTab::buildUi()
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *scroll = new QScrollArea(this);
    scroll->setObjectName("siteTabScroll");
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    outer->addWidget(scroll);
    auto *page = new QWidget(scroll);
    page->setObjectName("siteTabContents");
    scroll->setWidget(page);
    auto *v = new QVBoxLayout(page);

    m_siteCombo = new QComboBox(page);
    m_siteCombo->setObjectName("siteNameCombo");
    m_siteCombo->setMinimumContentsLength(14);
    m_siteCombo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_newSiteBtn = button(u("新建站点"), "siteNewBtn", page);
    m_folderEdit = new QLineEdit(page);
    m_folderEdit->setObjectName("siteFolderEdit");
    m_folderBtn = button("...", "siteFolderBtn", page);
    auto *row1 = new QHBoxLayout;
    row1->addWidget(new QLabel(u("站点:"), page));
    row1->addWidget(m_siteCombo);
    row1->addWidget(m_newSiteBtn);
    row1->addWidget(new QLabel(u("备份目录:"), page));
    row1->addWidget(m_folderEdit, 1);
    row1->addWidget(m_folderBtn);
    v->addLayout(row1);

    m_addressEdit = new QLineEdit(page);
    m_addressEdit->setObjectName("siteAddressEdit");
    m_addressEdit->setPlaceholderText(u("路由器后的网关地址"));
    m_addBtn = button(u("添加地址"), "siteAddBtn", page);
    m_removeBtn = button(u("移除所选"), "siteRemoveBtn", page);
    m_refreshAllBtn = button(u("探测并刷新全部"), "siteRefreshAllBtn", page);
    m_refreshBtn = button(u("刷新所选"), "siteRefreshBtn", page);
    m_csvBtn = button(u("导出CSV"), "siteExportCsvBtn", page);
    m_jsonBtn = button(u("导出JSON"), "siteExportJsonBtn", page);
    // Rows short enough for the window's first width (790): no sideways scrolling.
    auto *row2 = new QHBoxLayout;
    row2->addWidget(new QLabel(u("网关地址:"), page));
    row2->addWidget(m_addressEdit, 1);
    for (QPushButton *b : {m_addBtn, m_removeBtn, m_refreshAllBtn, m_refreshBtn})
        row2->addWidget(b);
    v->addLayout(row2);

    m_table = new QTableWidget(0, SiteGateway::ColumnCount, page);
    m_table->setObjectName("siteTable");
    m_table->setHorizontalHeaderLabels(SiteGateway::headers());
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    holdRows(m_table, 4);
    v->addWidget(m_table, 3);

    m_backupBtn = button(u("备份所选"), "siteBackupBtn", page);
    m_restoreBtn = button(u("恢复备份到所选网关..."), "siteRestoreBtn", page);
    m_upgradeBtn = button(u("批量升级modbus程序"), "siteUpgradeBtn", page);
    m_stopOnFailure = new QCheckBox(u("遇到失败时停止"), page);
    m_stopOnFailure->setObjectName("siteStopOnFailureBox");
    m_stopOnFailure->setChecked(true);
    m_retryBtn = button(u("重试失败的网关"), "siteRetryBtn", page);
    m_cancelBtn = button(u("取消(当前网关完成后停止)"), "siteCancelBtn", page);
    m_upgradeBtn->setToolTip(u("以TFTP根目录中的modbus.zip和mbver.txt, 逐台升级所选网关的modbus程序"));
    auto *row3 = new QHBoxLayout;
    for (QWidget *w : std::initializer_list<QWidget *>{m_backupBtn, m_restoreBtn, m_upgradeBtn, m_stopOnFailure})
        row3->addWidget(w);
    row3->addStretch(1);
    v->addLayout(row3);
    auto *row3b = new QHBoxLayout;
    row3b->addWidget(m_retryBtn);
    row3b->addWidget(m_cancelBtn);
    row3b->addStretch(1);
    row3b->addWidget(m_csvBtn);
    row3b->addWidget(m_jsonBtn);
    v->addLayout(row3b);

    m_state = new ElidedLabel(page);
    m_state->setObjectName("siteStateLabel");
    auto *row4 = new QHBoxLayout;
    row4->addWidget(new QLabel(u("状态:"), page));
    row4->addWidget(m_state, 1);
    v->addLayout(row4);

    m_results = new QTableWidget(0, ResCount, page);
    m_results->setObjectName("siteResultTable");
    m_results->setHorizontalHeaderLabels({u("网关"), u("操作"), u("结果"), u("原因")});
    m_results->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_results->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_results->horizontalHeader()->setStretchLastSection(true);
    holdRows(m_results, 3);
    v->addWidget(m_results, 2);

    connect(m_siteCombo, &QComboBox::textActivated, this, [this](const QString &t) { setSite(t); });
    connect(m_newSiteBtn, &QPushButton::clicked, this, [this]() {
        const QString name = QInputDialog::getText(this, u("新建站点"), u("站点名称(如楼宇名称):"));
        if (!name.trimmed().isEmpty())
            setSite(name);
    });
    connect(m_folderEdit, &QLineEdit::editingFinished, this, [this]() { setFolder(m_folderEdit->text()); });
    connect(m_folderBtn, &QPushButton::clicked, this, [this]() {
        const QString dir = QFileDialog::getExistingDirectory(this, u("选择站点备份目录"), folder());
        if (!dir.isEmpty())
            setFolder(dir);
    });
    connect(m_addBtn, &QPushButton::clicked, this, [this]() {
        if (addAddress(m_addressEdit->text()))
            m_addressEdit->clear();
    });
    connect(m_addressEdit, &QLineEdit::returnPressed, m_addBtn, &QPushButton::click);
    connect(m_removeBtn, &QPushButton::clicked, this, [this]() {
        QVector<int> rows = selectedRows();
        std::sort(rows.begin(), rows.end(), std::greater<int>());
        for (int r : rows)
            m_rows.removeAt(r);
        m_outcomes.clear();
        m_results->setRowCount(0);
        saveList();
        showRows();
    });
    connect(m_refreshAllBtn, &QPushButton::clicked, this, &SiteTab::refreshAll);
    connect(m_refreshBtn, &QPushButton::clicked, this, &SiteTab::refreshSelected);
    connect(m_csvBtn, &QPushButton::clicked, this, [this]() { exportAsk(false); });
    connect(m_jsonBtn, &QPushButton::clicked, this, [this]() { exportAsk(true); });
    connect(m_backupBtn, &QPushButton::clicked, this, &SiteTab::backupSelected);
    connect(m_restoreBtn, &QPushButton::clicked, this, [this]() {
        const QString dir = QFileDialog::getExistingDirectory(this, u("选择要恢复的备份(站点备份目录下的一个目录)"), folder());
        if (!dir.isEmpty())
            restoreSelected(dir);
    });
    connect(m_upgradeBtn, &QPushButton::clicked, this, &SiteTab::upgradeSelected);
    connect(m_retryBtn, &QPushButton::clicked, this, &SiteTab::retryFailed);
    connect(m_cancelBtn, &QPushButton::clicked, this, &SiteTab::cancelRun);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this, &SiteTab::updateActions);
    connect(m_keys, &SiteKeyCheck::finished, this, [this](const QVector<SiteKeyCheck::Offer> &offers) {
        m_checkingKeys = false;
        auto go = std::exchange(m_afterKeys, nullptr);
        if (!SiteKeyCheck::confirm(m_links.dialogParent, m_rows, offers)) {
            setState(u("未确认网关ssh主机密钥, 操作未开始"));
            updateActions();
            emit operationFinished();
            return;
        }
        if (go)
            go();
        updateActions();
    });
}

void SiteTab::connectJob(SiteJob *job, const QString &operation)
{
    connect(job, &SiteJob::stateText, this, &SiteTab::setState);
    connect(job, &SiteJob::gatewayStarted, this, [this](int row) { setOutcome(row, kInProgress, QString()); });
    connect(job, &SiteJob::gatewayDone, this, &SiteTab::setOutcome);
    connect(job, &SiteJob::finished, this, [this, operation](bool cancelled) {
        QMap<int, int> counts;
        for (const Outcome &o : qAsConst(m_outcomes))
            counts[o.result]++;
        QStringList parts;
        for (int r : {SiteJob::Ok, SiteJob::Failed, SiteJob::Skipped, SiteJob::NotRun, SiteJob::Cancelled})
            if (counts.value(r))
                parts << SiteJob::resultText(r) + " " + QString::number(counts.value(r));
        setState(operation + (cancelled ? u("已取消: ") : u("完毕: ")) + parts.join(u(", ")));
        updateActions();
        emit operationFinished();
    });
}

// ---------------------------------------------------------------- the site and its list

bool SiteTab::setSite(const QString &name)
{
    const QString trimmed = name.trimmed();
    const QString problem = SiteStore::nameProblem(trimmed);
    if (!problem.isEmpty()) {
        DialogSeam::warning(m_links.dialogParent, "warning", problem);
        return false;
    }
    if (!busyText().isEmpty() || m_inventory->isRunning())
        return false;
    m_site = trimmed;
    m_store->setCurrent(m_site);
    loadSite();
    return true;
}

void SiteTab::loadSite()
{
    const QSignalBlocker block(m_siteCombo);
    m_siteCombo->clear();
    QStringList names = m_store->names();
    if (!names.contains(m_site))
        names.prepend(m_site);
    m_siteCombo->addItems(names);
    m_siteCombo->setCurrentText(m_site);
    m_folderEdit->setText(QDir::toNativeSeparators(m_store->folder(m_site)));
    m_rows = m_store->gateways(m_site);
    m_outcomes.clear();
    m_results->setRowCount(0);
    showRows();
    setState(u("站点") + m_site + u(": ") + QString::number(m_rows.size()) + u("台网关"));
}

QString SiteTab::folder() const
{
    return QDir::fromNativeSeparators(m_folderEdit->text().trimmed());
}

void SiteTab::setFolder(const QString &path)
{
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(path.trimmed()));
    if (clean.isEmpty())
        return;
    m_store->setFolder(m_site, clean);
    m_folderEdit->setText(QDir::toNativeSeparators(clean));
}

void SiteTab::saveList()
{
    m_store->setGateways(m_site, m_rows);
}

bool SiteTab::addAddress(const QString &ip)
{
    const QHostAddress a(ip.trimmed());
    if (a.protocol() != QAbstractSocket::IPv4Protocol) {
        DialogSeam::warning(m_links.dialogParent, "warning", u("请输入网关的IPv4地址, 如192.168.2.10"));
        return false;
    }
    for (const SiteGateway &g : qAsConst(m_rows))
        if (g.ip == a.toString()) {
            DialogSeam::warning(m_links.dialogParent, "warning", a.toString() + u("已在列表中"));
            return false;
        }
    SiteGateway g;
    g.ip = a.toString();
    g.typed = true;
    m_rows.append(g);
    saveList();
    showRows();
    return true;
}

void SiteTab::showRows()
{
    m_table->setRowCount(m_rows.size());
    for (int r = 0; r < m_rows.size(); ++r)
        showRow(r);
    updateActions();
}

void SiteTab::showRow(int row)
{
    const SiteGateway &g = m_rows.at(row);
    for (int c = 0; c < SiteGateway::ColumnCount; ++c) {
        auto *item = m_table->item(row, c);
        if (!item) {
            item = new QTableWidgetItem;
            m_table->setItem(row, c, item);
        }
        item->setText(g.cell(c));
        item->setToolTip(c == SiteGateway::NoteCol ? g.cell(c) : QString());
    }
}

void SiteTab::setSelectedRows(const QVector<int> &rows)
{
    m_table->clearSelection();
    for (int r : rows)
        if (r >= 0 && r < m_table->rowCount())
            m_table->selectionModel()->select(m_table->model()->index(r, 0),
                                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

QVector<int> SiteTab::selectedRows() const
{
    QVector<int> rows;
    for (const QModelIndex &i : m_table->selectionModel()->selectedRows())
        rows << i.row();
    std::sort(rows.begin(), rows.end());
    return rows;
}

// ---------------------------------------------------------------- state

QString SiteTab::busyText() const
{
    if (m_backup->isRunning())
        return u("站点页正在备份网关配置");
    if (m_restore->isRunning())
        return u("站点页正在恢复网关配置");
    if (m_batch->isRunning())
        return u("站点页正在批量升级modbus程序");
    if (m_checkingKeys)
        return u("站点页正在确认网关ssh主机密钥");
    return QString();
}

QString SiteTab::stateText() const
{
    return m_state->fullText();
}

void SiteTab::setState(const QString &text)
{
    m_state->setFullText(text);
}

void SiteTab::updateActions()
{
    const bool cancellable = m_backup->isRunning() || m_restore->isRunning() || m_batch->isRunning()
                             || m_inventory->isRunning();
    const bool idle = busyText().isEmpty() && !m_inventory->isRunning();
    const int selected = selectedRows().size();
    for (QWidget *w : std::initializer_list<QWidget *>{m_siteCombo, m_newSiteBtn, m_folderEdit, m_folderBtn, m_addressEdit,
                                                      m_addBtn, m_refreshAllBtn, m_stopOnFailure})
        w->setEnabled(idle);
    for (QWidget *w : std::initializer_list<QWidget *>{m_removeBtn, m_refreshBtn, m_backupBtn, m_upgradeBtn})
        w->setEnabled(idle && selected > 0);
    m_restoreBtn->setEnabled(idle && selected == 1);
    bool retry = false;
    for (const Outcome &o : m_outcomes)
        retry = retry || o.result == SiteJob::Failed || o.result == SiteJob::NotRun;
    m_retryBtn->setEnabled(idle && m_operation == u("批量升级") && retry);
    bool cancelled = false;
    for (SiteJob *job : std::initializer_list<SiteJob *>{m_inventory, m_backup, m_restore, m_batch})
        cancelled = cancelled || job->cancelRequested();
    m_cancelBtn->setEnabled(cancellable && !cancelled);
}

void SiteTab::beginResults(const QString &operation, const QVector<int> &rows, bool keep)
{
    m_operation = operation;
    if (!keep)
        m_outcomes.clear();
    for (int r : rows)
        m_outcomes[r] = Outcome{SiteJob::NotRun, u("等待")};
    for (int r : rows)
        setOutcome(r, SiteJob::NotRun, u("等待"));
}

void SiteTab::setOutcome(int row, int result, const QString &why)
{
    m_outcomes[row] = Outcome{result, why};
    m_results->setRowCount(m_outcomes.size());
    int r = 0;
    for (auto it = m_outcomes.constBegin(); it != m_outcomes.constEnd(); ++it, ++r) {
        const QString name = it.key() < m_rows.size() ? m_rows.at(it.key()).label() : QString::number(it.key());
        const QString result = it.value().result == kInProgress ? u("进行中") : SiteJob::resultText(it.value().result);
        QString reason = it.value().why;
        const QStringList cells{name, m_operation, result, reason.replace('\n', u(" | "))};
        for (int c = 0; c < ResCount; ++c) {
            auto *item = m_results->item(r, c);
            if (!item) {
                item = new QTableWidgetItem;
                m_results->setItem(r, c, item);
            }
            item->setText(cells[c]);
            item->setToolTip(c == ResWhy ? it.value().why : QString());
            item->setForeground(it.value().result == SiteJob::Failed ? QBrush(QColor(0xcc, 0, 0)) : QBrush());
        }
    }
}

// ---------------------------------------------------------------- operations

void SiteTab::refreshAll()
{
    if (!busyText().isEmpty() || m_inventory->isRunning())
        return;
    QVector<int> rows;
    for (int r = 0; r < m_rows.size(); ++r)
        rows << r;
    m_inventory->refresh(m_rows, rows, true);
    updateActions();
}

void SiteTab::refreshSelected()
{
    const QVector<int> rows = selectedRows();
    if (rows.isEmpty() || !busyText().isEmpty() || m_inventory->isRunning())
        return;
    m_inventory->refresh(m_rows, rows, false);
    updateActions();
}

bool SiteTab::mayStart(const QVector<int> &rows, bool needsTftp)
{
    if (rows.isEmpty()) {
        setState(u("请先在列表中选择网关"));
        return false;
    }
    if (!busyText().isEmpty() || m_inventory->isRunning())
        return false;
    // Both would use the one TFTP server, and its reports name only the file.
    if (m_links.session && m_links.session->runner()->pendingCode() != RemoteFlows::None) {
        DialogSeam::warning(m_links.dialogParent, "warning",
                            u("单台网关的ssh操作正在进行, 请等其完成后再开始站点操作!"));
        return false;
    }
    return !needsTftp || !m_links.session || m_links.session->tftpReady();
}

void SiteTab::withKeys(const QVector<int> &rows, std::function<void()> go)
{
    m_afterKeys = [this, go]() {
        // The single-gateway tabs may have started a flow meanwhile.
        if (m_links.session && m_links.session->runner()->pendingCode() != RemoteFlows::None) {
            DialogSeam::warning(m_links.dialogParent, "warning",
                                u("单台网关的ssh操作正在进行, 请等其完成后再开始站点操作!"));
            emit operationFinished();
            return;
        }
        go();
    };
    m_checkingKeys = true;
    setState(u("确认网关ssh主机密钥..."));
    updateActions();
    m_keys->start(m_rows, rows);
}

void SiteTab::backupSelected()
{
    const QVector<int> rows = selectedRows();
    if (!mayStart(rows, true))
        return;
    if (!QDir().mkpath(folder())) {
        DialogSeam::warning(m_links.dialogParent, "warning", u("无法创建备份目录") + QDir::toNativeSeparators(folder()));
        return;
    }
    withKeys(rows, [this, rows]() {
        beginResults(u("备份"), rows, false);
        m_backup->start(m_rows, rows, folder());
        updateActions();
    });
}

void SiteTab::restoreSelected(const QString &backupFolder)
{
    const QVector<int> rows = selectedRows();
    if (rows.size() != 1) {
        DialogSeam::warning(m_links.dialogParent, "warning", u("请只选择一台要恢复的网关"));
        return;
    }
    SiteBackup::Manifest m;
    QString why;
    if (!SiteBackup::read(backupFolder, &m, &why) || !(why = SiteBackup::damage(m)).isEmpty()) {
        DialogSeam::warning(m_links.dialogParent, "warning", u("无法恢复: ") + why);
        return;
    }
    if (!mayStart(rows, true))
        return;
    const SiteGateway &target = m_rows.at(rows.first());
    QStringList files;
    for (const QString &f : SiteGateway::configFiles())
        if (m.file(f) && m.file(f)->present)
            files << f;
    const QString what = files.isEmpty() ? u("(备份中没有配置文件)") : files.join(u("、"));
    const QString into = u("网关 %1 (序列号 %2, 地址 %3)").arg(target.deviceKey, target.serial, target.ip);
    const QString source = u("网关 %1 (序列号 %2, 地址 %3) 于 %4 的备份\n%5")
                               .arg(m.deviceKey, m.serial, m.ip, m.stamp, QDir::toNativeSeparators(m.folder));
    const bool own = m.deviceKey == target.deviceKey && m.serial == target.serial;
    const bool yes =
        own ? DialogSeam::confirm(m_links.dialogParent, u("是否恢复网关备份"),
                                  u("该操作会把") + source + u("\n中的 ") + what + u(" 安装到") + into
                                      + u(", 覆盖网关中原有的配置, 并重启modbus服务。"),
                                  u("恢复"), u("否"))
            : DialogSeam::confirmCautious(m_links.dialogParent, u("是否将其他网关的备份恢复到该网关"),
                                          u("备份来自另一台网关:\n") + source + u("\n\n将把其中的 ") + what
                                              + u(" 安装到") + into
                                              + u(",\n覆盖该网关原有的配置, 并重启modbus服务。\n"
                                                  "两台网关的设备不同时, 地址映射可能不适用。"),
                                          u("恢复到") + target.deviceKey, u("否"));
    if (!yes)
        return;
    withKeys(rows, [this, rows, m]() {
        beginResults(u("恢复"), rows, false);
        QString why;
        if (!m_restore->start(m_rows, rows.first(), m, &why)) {
            setOutcome(rows.first(), SiteJob::Failed, why);
            emit operationFinished();
        }
        updateActions();
    });
}

void SiteTab::upgradeSelected()
{
    startUpgrade(selectedRows(), false);
}

void SiteTab::retryFailed()
{
    if (m_operation != u("批量升级"))
        return;
    QVector<int> rows;
    for (auto it = m_outcomes.constBegin(); it != m_outcomes.constEnd(); ++it)
        if (it.value().result == SiteJob::Failed || it.value().result == SiteJob::NotRun)
            rows << it.key();
    startUpgrade(rows, true);
}

void SiteTab::startUpgrade(const QVector<int> &rows, bool retry)
{
    if (!mayStart(rows, true))
        return;
    const QString root = m_env.tftpRoot();
    const UpgradePanel::Reading pkg = UpgradePanel::readPackage(UpgradeRules::Relay, root);
    if (!pkg.refusal.isEmpty()) {
        DialogSeam::warning(m_links.dialogParent, "warning", pkg.refusal);
        return;
    }
    const QString md5 = UpgradePackage::fileMd5(QDir(root).filePath("modbus.zip"));
    QStringList names;
    for (int r : rows)
        names << "  " + m_rows.at(r).label();
    const bool stop = m_stopOnFailure->isChecked();
    if (!DialogSeam::confirm(m_links.dialogParent, u("是否批量更新modbus程序"),
                             u("该操作将依次把以下%1台网关中的modbus程序替换为 %2:\n").arg(rows.size()).arg(pkg.version)
                                 + names.join("\n")
                                 + u("\n\n一次升级一台, 每台网关升级期间其modbus通信中断; 已是该版本的网关跳过。\n")
                                 + (stop ? u("遇到失败时停止, 其余网关不升级。") : u("遇到失败时继续升级其余网关。")),
                             u("确定"), u("否")))
        return;
    withKeys(rows, [this, rows, retry, pkg, md5, stop]() {
        beginResults(u("批量升级"), rows, retry);
        m_batch->start(m_rows, rows, pkg.version, md5, stop);
        updateActions();
    });
}

void SiteTab::cancelRun()
{
    for (SiteJob *job : std::initializer_list<SiteJob *>{m_inventory, m_backup, m_restore, m_batch})
        if (job->isRunning())
            job->cancel();
    setState(u("将在当前网关完成后停止..."));
    updateActions();
}

// ---------------------------------------------------------------- export

bool SiteTab::writeFile(const QString &path, const QByteArray &bytes, QString *why) const
{
    QSaveFile f(path);
    if (f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.commit())
        return true;
    if (why)
        *why = f.errorString();
    return false;
}

bool SiteTab::exportCsv(const QString &path, QString *why) const
{
    return writeFile(path, SiteExport::csv(m_rows, m_site), why);
}

bool SiteTab::exportJson(const QString &path, QString *why) const
{
    return writeFile(path, SiteExport::json(m_rows, m_site), why);
}

void SiteTab::exportAsk(bool json)
{
    const QString suggested = QDir(folder()).filePath(
        QString("site-%1-%2.%3").arg(m_site, QDateTime::currentDateTime().toString("yyyyMMddhhmmss"), json ? "json" : "csv"));
    const QString path = QFileDialog::getSaveFileName(this, u("导出站点清单"), suggested,
                                                      json ? u("JSON文件 (*.json)") : u("CSV文件 (*.csv)"));
    QString why;
    if (path.isEmpty())
        return;
    if (json ? exportJson(path, &why) : exportCsv(path, &why))
        setState(u("已导出") + QDir::toNativeSeparators(path));
    else
        DialogSeam::warning(m_links.dialogParent, "warning", u("导出失败: ") + why);
}
