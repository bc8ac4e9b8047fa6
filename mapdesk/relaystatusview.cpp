#include "relaystatusview.h"

#include "dialogseam.h"
#include "elidedlabel.h"
#include "utf8text.h"

#include <QCheckBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QModbusDataUnit>
#include <QModbusReply>
#include <QModbusTcpClient>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QVariant>

using namespace RelayHealth;

namespace {
enum Column { UnitCol = 0, NameCol, OnlineCol, AgeCol, AlarmCol, ColumnCount };

qint64 nowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

// What each part of a reading asks for (function, first address, count).
struct PartRequest
{
    QModbusDataUnit::RegisterType type;
    int start;
    int count;
};

const PartRequest kParts[] = {
    {QModbusDataUnit::InputRegisters, kCounterBase, kCounterRegisters},
    {QModbusDataUnit::InputRegisters, 1, 24},
    {QModbusDataUnit::DiscreteInputs, 1, kUnits},  // the alarm bits only when asked for
    {QModbusDataUnit::InputRegisters, kAgeBase + 1, 124},
    {QModbusDataUnit::InputRegisters, kAgeBase + 125, kUnits - 124},
};

const QColor kOffline(0xf4, 0xb4, 0xb4);
const QColor kStale(0xfc, 0xe4, 0x9c);
} // namespace

RelayStatusView::RelayStatusView(QWidget *parent)
    : QWidget(parent)
    , m_table(new QTableWidget(0, ColumnCount, this))
    , m_state(new ElidedLabel(this))
    , m_summary(new QLabel(this))
    , m_staleSeconds(new QSpinBox(this))
    , m_readAlarms(new QCheckBox(u("读取告警位"), this))
    , m_save(new QPushButton(u("保存快照(CSV)"), this))
    , m_poll(new QTimer(this))
    , m_retry(new QTimer(this))
{
    setObjectName("relayStatusView");
    m_table->setObjectName("relayUnitTable");
    m_state->setObjectName("relayStateLabel");
    m_summary->setObjectName("relaySummaryLabel");
    m_staleSeconds->setObjectName("staleSecondsSpin");
    m_save->setObjectName("saveSnapshotBtn");
    m_table->setHorizontalHeaderLabels({u("单元"), u("映射表中的设备"), u("在线"), u("数据时效"), u("告警")});
    // The names are the tool's map; the gateway serves the map it was last given.
    m_table->horizontalHeaderItem(NameCol)->setToolTip(
        u("取自本工具中正在编辑的modbus地址映射表; 未下发的修改与网关实际使用的映射可能不同"));
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_staleSeconds->setRange(10, 86400);
    m_staleSeconds->setValue(900);
    m_staleSeconds->setSuffix(u(" 秒"));
    m_staleSeconds->setToolTip(u("数据超过这么久没有更新(应答或上报)的单元标为黄色"));
    m_save->setEnabled(false);
    // An alarm bit is cleared by the read that sees it: read by this view, it
    // is gone for the building's own system.
    m_readAlarms->setObjectName("readAlarmsCheck");
    m_readAlarms->setToolTip(u("告警位被读取一次后即清除: 勾选后本页每秒读取告警位, 楼宇系统将收不到这些告警。"
                               "只在没有楼宇系统读取告警时勾选"));

    auto *head = new QHBoxLayout;
    head->addWidget(new QLabel(u("连接状态:"), this));
    head->addWidget(m_state, 1);
    head->addWidget(new QLabel(u("数据过期阈值:"), this));
    head->addWidget(m_staleSeconds);
    head->addWidget(m_readAlarms);
    head->addWidget(m_save);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(head);
    layout->addWidget(m_summary);
    layout->addWidget(m_table, 1);

    m_poll->setInterval(kPollMs);
    connect(m_poll, &QTimer::timeout, this, &RelayStatusView::poll);
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, &RelayStatusView::open);
    connect(m_staleSeconds, QOverload<int>::of(&QSpinBox::valueChanged), this, &RelayStatusView::render);
    connect(m_save, &QPushButton::clicked, this, [this]() {
        const QString path = QFileDialog::getSaveFileName(
            this, u("保存网关状态快照"),
            QString("relay-status-%1.csv").arg(QDateTime::currentDateTime().toString("yyyyMMddhhmmss")),
            u("CSV文件 (*.csv)"));
        QString error;
        if (!path.isEmpty() && !saveCsv(path, &error))
            DialogSeam::warning(this, "warning", u("保存快照失败: ") + error);
    });
    setState(u("未连接 (选择网关后, 显示本页时读取)"), false);
}

RelayStatusView::~RelayStatusView()
{
    close();
}

void RelayStatusView::setGatewayHost(const QString &ip, quint16 port)
{
    if (ip == m_host && port == m_port)
        return;
    close();
    m_host = ip;
    m_port = port;
    m_last = m_previous = Snapshot();
    m_rates = Rates();
    m_noCounters = false;
    render();
    if (isVisible())
        open();
}

bool RelayStatusView::isConnected() const
{
    return m_client && m_client->state() == QModbusDevice::ConnectedState;
}

QString RelayStatusView::stateText() const
{
    return m_state->fullText();
}

void RelayStatusView::setState(const QString &text, bool bad)
{
    m_state->setFullText(text);
    m_state->setStyleSheet(bad ? QStringLiteral("color:#cc0000;") : QString());
}

void RelayStatusView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    open();
}

void RelayStatusView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    // One of busrelay's two client places: never held by a view nobody looks at.
    close();
    if (!m_host.isEmpty())
        setState(u("未连接 (本页隐藏时不占用modbus连接)"), false);
}

void RelayStatusView::open()
{
    m_retry->stop();
    if (m_host.isEmpty()) {
        setState(u("未连接: 请先在\"连接网关\"页探测并选择网关"), false);
        return;
    }
    if (m_client || !isVisible())
        return;
    m_client = new QModbusTcpClient(this);
    m_client->setConnectionParameter(QModbusDevice::NetworkAddressParameter, m_host);
    m_client->setConnectionParameter(QModbusDevice::NetworkPortParameter, m_port);
    m_client->setTimeout(kPollMs);
    m_client->setNumberOfRetries(0);
    connect(m_client, &QModbusDevice::stateChanged, this, &RelayStatusView::connectionChanged);
    m_answered = false;
    m_readingBusy = false;
    setState(u("正在连接 ") + m_host + ":" + QString::number(m_port) + " ...", false);
    if (!m_client->connectDevice()) {
        setState(u("连接失败: ") + m_client->errorString(), true);
        close();
        m_retry->start(kRetryMs);
    }
}

void RelayStatusView::close()
{
    m_poll->stop();
    m_retry->stop();
    m_readingBusy = false;
    if (!m_client)
        return;
    QModbusTcpClient *client = m_client;
    m_client = nullptr;
    client->disconnect(this);
    client->disconnectDevice();
    client->deleteLater();
}

void RelayStatusView::connectionChanged()
{
    if (!m_client)
        return;
    const QModbusDevice::State state = m_client->state();
    if (state == QModbusDevice::ConnectedState) {
        m_connectedAtMs = nowMs();
        setState(u("已连接 ") + m_host + ":" + QString::number(m_port), false);
        m_poll->start();
        poll();
        return;
    }
    if (state != QModbusDevice::UnconnectedState)
        return;
    const bool refused = m_connectedAtMs >= 0 && !m_answered && nowMs() - m_connectedAtMs < kRefusedWithinMs;
    const QString why = m_client->errorString();
    m_connectedAtMs = -1;
    close();
    if (refused)
        setState(u("网关的modbus服务接受连接后立即关闭了它: 两个客户端名额都已被占用(如楼宇系统和测试面板), "
                   "或本电脑不在允许列表(mbacl.json)中。稍后自动重试"),
                 true);
    else
        setState(u("未连接: ") + (why.isEmpty() ? u("连接已断开") : why) + u("。稍后自动重试"), true);
    if (isVisible())
        m_retry->start(kRetryMs);
}

void RelayStatusView::poll()
{
    // A reading still on its way is not overtaken; its parts come in order.
    if (!isConnected() || m_readingBusy)
        return;
    m_readingBusy = true;
    m_reading = Snapshot();
    sendPart(m_noCounters ? int(Version) : int(Counters));
}

void RelayStatusView::sendPart(int part)
{
    while (m_noCounters && (part == Counters || part == AgesLow || part == AgesHigh))
        ++part;
    if (part >= PartCount) {
        m_readingBusy = false;
        m_reading.takenMs = nowMs();
        m_previous = m_last;
        m_last = m_reading;
        m_rates = rates(m_previous, m_last);
        render();
        emit updated();
        return;
    }
    const PartRequest &p = kParts[part];
    const int count = part == Bits && m_readAlarms->isChecked() ? 2 * kUnits : p.count;
    QModbusReply *reply = m_client ? m_client->sendReadRequest(QModbusDataUnit(p.type, p.start, quint16(count)), 255)
                                   : nullptr;
    if (!reply) {
        m_readingBusy = false;
        return;
    }
    if (reply->isFinished()) {
        partAnswered(reply, part);
        return;
    }
    connect(reply, &QModbusReply::finished, this, [this, reply, part]() { partAnswered(reply, part); });
}

void RelayStatusView::partAnswered(QModbusReply *reply, int part)
{
    reply->deleteLater();
    if (!m_readingBusy)
        return;  // the connection was closed meanwhile
    if (reply->error() == QModbusDevice::NoError) {
        m_answered = true;
        const QVector<quint16> values = reply->result().values();
        switch (part) {
        case Counters: takeCounters(values, &m_reading); break;
        case Version: m_reading.version = versionText(values); break;
        case Bits: takeBits(kParts[Bits].start, values, &m_reading); break;
        default: takeAges(kParts[part].start, values, &m_reading); break;
        }
    } else if (reply->error() == QModbusDevice::ProtocolError) {
        m_answered = true;
        if (part == Counters && reply->rawResult().exceptionCode() == QModbusPdu::IllegalDataAddress) {
            // A busrelay from before the counters: the bits and the version still tell something.
            m_noCounters = true;
        }
    } else {
        m_readingBusy = false;  // a timeout or a dropped link: the next tick starts again
        return;
    }
    sendPart(part + 1);
}

QVector<int> RelayStatusView::shownUnits() const
{
    const QMap<int, QString> names = m_names ? m_names() : QMap<int, QString>();
    QVector<int> units;
    for (int unit = 1; unit <= kUnits; ++unit) {
        const bool known = m_last.valid()
                           && (m_last.online.testBit(unit) || m_last.alarm.testBit(unit) || m_last.ages[unit] != kAgeNever);
        if (names.contains(unit) || known)
            units.append(unit);
    }
    return units;
}

void RelayStatusView::render()
{
    m_save->setEnabled(m_last.valid());
    const quint32 *c = m_last.counters;
    QString summary;
    if (!m_last.valid()) {
        summary = u("尚无读数");
    } else if (m_noCounters) {
        summary = u("modbus服务版本 ") + m_last.version
                  + u(": 该版本不提供运行状态寄存器, 只显示在线和告警位 (更新modbus程序后可看到计数和数据时效)");
    } else {
        const QString rate = m_rates.valid ? QString::asprintf("%.1f / %.1f / %.1f", m_rates.requests,
                                                               m_rates.exceptions, m_rates.expiries)
                                           : u("(下一次读数后)");
        summary = u("网关连接: ") + (c[LinkUp] ? u("已连接") : u("<b style='color:#cc0000'>断开</b>"))
                  + u(" (连接次数 ") + QString::number(c[LinkConnects]) + u(")　运行时间: ")
                  + uptimeText(c[Uptime]) + u("　版本: ") + m_last.version.toHtmlEscaped()
                  + u("<br>每秒 请求 / 异常 / 网关超时: ") + rate + u("　当前客户端: ")
                  + QString::number(c[ClientsNow]) + u("　已接受连接: ") + QString::number(c[ConnectionsAccepted])
                  + u("　被拒绝连接: ") + QString::number(c[ConnectionsRefused]) + u("<br>已应答 ")
                  + QString::number(c[RequestsAnswered]) + u(", 异常 ") + QString::number(m_last.exceptions())
                  + u(", 网关未应答 ") + QString::number(c[Expired]) + u(", 忙拒绝 ")
                  + QString::number(c[BusyRefusals]) + u(", 收到上报 ") + QString::number(c[ReportsReceived]);
    }
    m_summary->setText(summary);

    const QMap<int, QString> names = m_names ? m_names() : QMap<int, QString>();
    const QVector<int> units = shownUnits();
    m_table->setRowCount(units.size());
    for (int r = 0; r < units.size(); ++r) {
        const int unit = units[r];
        const bool online = m_last.valid() && m_last.online.testBit(unit);
        const bool alarm = m_last.valid() && m_last.alarm.testBit(unit);
        const QString alarmText = !m_readAlarms->isChecked() ? u("(未读取)") : alarm ? u("告警") : QString();
        const quint16 age = m_last.valid() ? m_last.ages[unit] : kAgeNever;
        const bool stale = !m_noCounters && m_last.valid() && (age == kAgeNever || age > m_staleSeconds->value());
        const QStringList cells{QString::number(unit), names.value(unit), online ? u("在线") : u("离线"),
                                m_noCounters ? QString("-") : ageText(age), alarmText};
        for (int col = 0; col < ColumnCount; ++col) {
            auto *item = m_table->item(r, col);
            if (!item) {
                item = new QTableWidgetItem;
                m_table->setItem(r, col, item);
            }
            item->setText(m_last.valid() || col < OnlineCol ? cells[col] : QString());
            item->setData(Qt::UserRole, unit);
            const QColor back = !m_last.valid() ? QColor() : !online ? kOffline : stale ? kStale : QColor();
            item->setBackground(back.isValid() ? QBrush(back) : QBrush());
            item->setForeground(alarm && col == AlarmCol ? QBrush(QColor(0xcc, 0, 0)) : QBrush());
        }
    }
}

bool RelayStatusView::saveCsv(const QString &path, QString *error) const
{
    if (!m_last.valid()) {
        if (error)
            *error = u("尚无读数");
        return false;
    }
    const auto field = [](QString s) {
        if (s.contains(',') || s.contains('"') || s.contains('\n'))
            s = '"' + s.replace('"', "\"\"") + '"';
        return s;
    };
    QStringList lines;
    lines << u("网关,") + field(m_host + ":" + QString::number(m_port))
          << u("时间,") + QDateTime::currentDateTime().toString(Qt::ISODate) << u("版本,") + field(m_last.version);
    if (!m_noCounters)
        for (int k = 0; k < CounterCount; ++k)
            lines << field(counterName(k)) + "," + QString::number(m_last.counters[k]);
    lines << QString() << u("单元,设备,在线,数据时效(秒),告警");
    const QMap<int, QString> names = m_names ? m_names() : QMap<int, QString>();
    for (int unit : shownUnits()) {
        const quint16 age = m_last.ages[unit];
        lines << QString::number(unit) + "," + field(names.value(unit)) + ","
                     + (m_last.online.testBit(unit) ? "1" : "0") + ","
                     + (m_noCounters || age == kAgeNever ? QString() : QString::number(age)) + ","
                     + (!m_readAlarms->isChecked() ? "" : m_last.alarm.testBit(unit) ? "1" : "0");
    }
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    // Excel on a Chinese Windows reads UTF-8 only behind a byte-order mark.
    f.write("\xEF\xBB\xBF");
    f.write(lines.join("\r\n").toUtf8() + "\r\n");
    if (!f.commit()) {
        if (error)
            *error = f.errorString();
        return false;
    }
    return true;
}
