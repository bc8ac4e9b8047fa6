#include "modbusasswidget.h"
#include "ui_modbusasswidget.h"

#include "dialogseam.h"
#include "registervalueformat.h"
#include "settingsdialog.h"
#include "writeregistermodel.h"

#include <QAbstractSocket>
#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QHeaderView>
#include <QModbusRtuSerialMaster>
#include <QModbusTcpClient>
#include <QStandardItemModel>
#include <QGridLayout>
#include <QResizeEvent>
#include <QTimer>
#include <QUrl>

namespace {
const char kDefaultTcpPort[] = "127.0.0.1:502";
const int kModbusTcpPort = 502;

QString warnTitle()
{
    return QStringLiteral("warning");
}

QString hexBytes(const QByteArray &raw)
{
    QString text;
    for (const char c : raw)
        text += QString::asprintf("%02x ", quint8(c));
    return text;
}

// Function code (with its exception bit) and data, "%02x " per byte.
QString pduText(const QModbusPdu &pdu)
{
    if (pdu.functionCode() == QModbusPdu::Invalid)
        return QString();
    QByteArray raw;
    raw.append(char(quint8(pdu.functionCode()) | (pdu.isException() ? 0x80 : 0)));
    raw.append(pdu.data());
    return hexBytes(raw);
}

int readFunctionCode(QModbusDataUnit::RegisterType type)
{
    switch (type) {
    case QModbusDataUnit::Coils: return 1;
    case QModbusDataUnit::DiscreteInputs: return 2;
    case QModbusDataUnit::HoldingRegisters: return 3;
    case QModbusDataUnit::InputRegisters: return 4;
    default: return 0;
    }
}

QByteArray be16(int v)
{
    QByteArray b;
    b.append(char((v >> 8) & 0xff));
    b.append(char(v & 0xff));
    return b;
}

bool isBits(QModbusDataUnit::RegisterType type)
{
    return type == QModbusDataUnit::Coils || type == QModbusDataUnit::DiscreteInputs;
}

QString failedLook()
{
    return QStringLiteral("QLabel{color:#cc0000;}");
}

// What a socket error means for the engineer.
QString socketMeaning(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("对方拒绝连接 (该地址和端口上没有modbus服务在运行)");
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("对方关闭了连接 (modbus服务可能已重启或退出)");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("找不到主机 (请检查地址)");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("连接超时 (对方没有响应: 请检查地址、网线和网关电源)");
    case QAbstractSocket::NetworkError:
        return QStringLiteral("网络错误 (网络不通或网线断开)");
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("没有访问网络的权限");
    case QAbstractSocket::SocketResourceError:
        return QStringLiteral("本机网络资源不足");
    default:
        return QStringLiteral("网络错误");
    }
}

QString deviceMeaning(QModbusDevice::Error error)
{
    switch (error) {
    case QModbusDevice::ReadError: return QStringLiteral("读取错误");
    case QModbusDevice::WriteError: return QStringLiteral("写入错误");
    case QModbusDevice::ConnectionError: return QStringLiteral("连接错误");
    case QModbusDevice::ConfigurationError: return QStringLiteral("连接参数错误");
    case QModbusDevice::TimeoutError: return QStringLiteral("应答超时");
    case QModbusDevice::ProtocolError: return QStringLiteral("协议错误");
    case QModbusDevice::ReplyAbortedError: return QStringLiteral("连接已断开,请求被中止");
    default: return QStringLiteral("未知错误");
    }
}

QString notConnected()
{
    return QStringLiteral("设备未连接");
}
} // namespace

ModbusAssWidget::ModbusAssWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::ModbusAssWidget)
    , m_settingsDialog(new SettingsDialog(this))
    , m_writeModel(new WriteRegisterModel(this))
    , m_pollTimer(new QTimer(this))
{
    ui->setupUi(this);
    ui->logColumnLayout->setStretchFactor(ui->mbLog, 1);
    ui->logColumn->setMinimumWidth(kLogColumnMinWidth);
    arrangeColumns();

    ui->optionsButton->setDefaultAction(ui->actionOptions);
    connect(ui->actionOptions, &QAction::triggered, m_settingsDialog, &QDialog::show);

    // Register types as QModbusDataUnit knows them.
    ui->writeTable->setItemData(0, QModbusDataUnit::Coils);
    ui->writeTable->setItemData(1, QModbusDataUnit::DiscreteInputs);
    ui->writeTable->setItemData(2, QModbusDataUnit::InputRegisters);
    ui->writeTable->setItemData(3, QModbusDataUnit::HoldingRegisters);

    ui->valueFormat->addItems(RegisterValueFormat::formatNames());
    ui->wordOrder->addItems(RegisterValueFormat::wordOrderNames());
    connect(ui->valueFormat, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &ModbusAssWidget::applyValueFormat);
    connect(ui->wordOrder, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &ModbusAssWidget::applyValueFormat);
    connect(ui->scaleEdit, &QLineEdit::textChanged, this, &ModbusAssWidget::applyValueFormat);

    for (int i = 1; i <= WriteRegisterModel::RowCount; ++i)
        ui->writeSize->addItem(QString::number(i));

    ui->writeValueTable->setModel(m_writeModel);
    ui->writeValueTable->hideColumn(WriteRegisterModel::HoldingColumn);
    ui->writeValueTable->verticalHeader()->hide();
    // The register column takes the rest of the width, never less than its title.
    ui->writeValueTable->horizontalHeader()->setStretchLastSection(true);
    ui->writeValueTable->horizontalHeader()->setMinimumSectionSize(
        ui->writeValueTable->horizontalHeader()->fontMetrics().horizontalAdvance(
            m_writeModel->headerData(WriteRegisterModel::HoldingColumn, Qt::Horizontal, Qt::DisplayRole)
                .toString())
        + 24);
    connect(m_writeModel, &WriteRegisterModel::updateViewport, ui->writeValueTable->viewport(),
            QOverload<>::of(&QWidget::update));

    connect(ui->writeAddress, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &ModbusAssWidget::limitWriteSize);
    connect(ui->writeAddress, QOverload<int>::of(&QSpinBox::valueChanged), m_writeModel,
            &WriteRegisterModel::setStartAddress);
    connect(ui->writeSize, &QComboBox::currentTextChanged, m_writeModel,
            &WriteRegisterModel::setNumberOfValues);
    ui->writeSize->setCurrentIndex(0);
    m_writeModel->setStartAddress(ui->writeAddress->value());
    m_writeModel->setNumberOfValues(ui->writeSize->currentText());
    limitWriteSize(ui->writeAddress->value());

    ui->mbLog->setMaximumBlockCount(kLogLines);
    m_pollTimer->setSingleShot(true);
    connect(m_pollTimer, &QTimer::timeout, this, &ModbusAssWidget::nextPoll);
    connect(ui->pollCheck, &QCheckBox::toggled, this, [this](bool on) {
        if (!on)
            stopPoll();
    });

    ui->writeTable->setCurrentIndex(0);
    on_writeTable_currentIndexChanged(0);

    ui->connectType->setCurrentIndex(0);
    on_connectType_currentIndexChanged(0);
}

void ModbusAssWidget::updateControls()
{
    const QModbusDevice::State state = m_client ? m_client->state() : QModbusDevice::UnconnectedState;
    const bool connected = state == QModbusDevice::ConnectedState;
    const int type = ui->writeTable->currentIndex();
    const bool writable = type == 0 || type == 3;
    ui->readButton->setEnabled(connected);
    ui->readDirectBtn->setEnabled(connected);
    ui->pollCheck->setEnabled(connected);
    ui->writeButton->setEnabled(connected && writable);
    ui->writeDirectBtn->setEnabled(false);
    // While connecting the button aborts the attempt.
    ui->connectButton->setText(state == QModbusDevice::UnconnectedState ? QStringLiteral("连接")
                                                                        : QStringLiteral("断开"));
    ui->connectButton->setEnabled(m_client && state != QModbusDevice::ClosingState);
}

void ModbusAssWidget::showConnectionState()
{
    const QModbusDevice::State state = m_client ? m_client->state() : QModbusDevice::UnconnectedState;
    QString text;
    QString look;
    switch (state) {
    case QModbusDevice::ConnectingState:
        text = QStringLiteral("正在连接 %1 ...").arg(m_peer);
        break;
    case QModbusDevice::ConnectedState:
        text = QStringLiteral("已连接 %1").arg(m_peer);
        look = QStringLiteral("QLabel{color:#008000;}");
        break;
    case QModbusDevice::ClosingState:
        text = QStringLiteral("正在断开 %1 ...").arg(m_peer);
        break;
    default:
        if (!m_attempted) {
            text = QStringLiteral("未连接");
        } else if (m_closingByUser) {
            text = QStringLiteral("已断开");
        } else {
            text = (m_reachedConnected ? QStringLiteral("连接已丢失: ") : QStringLiteral("连接失败: "))
                   + (m_problem.isEmpty() ? QStringLiteral("原因不明") : m_problem);
            if (!m_problemHint.isEmpty())
                text += QStringLiteral("\n") + m_problemHint;
            look = failedLook();
        }
        break;
    }
    ui->connectionStateLabel->setFullText(text);
    ui->connectionStateLabel->setStyleSheet(look);
}

QString ModbusAssWidget::clientErrorMeaning() const
{
    if (!m_client)
        return QString();
    const QModbusDevice::Error error = m_client->error();
    if (error == QModbusDevice::ConnectionError) {
        // The TCP client passes its socket's error on as text only; the socket still holds the code.
        const auto *socket = m_client->findChild<QAbstractSocket *>();
        if (socket && socket->error() != QAbstractSocket::UnknownSocketError
            && m_client->errorString().contains(socket->errorString()))
            return socketMeaning(socket->error());
        if (ui->connectType->currentIndex() == 0)
            return QStringLiteral("串口错误 (串口不存在、被其他程序占用或已拔出)");
    }
    return deviceMeaning(error);
}

bool ModbusAssWidget::panelInUse() const
{
    // A tab that is not current is hidden; a box over another tab would take
    // the clicks meant for it. One box at a time.
    return isVisible() && isActiveWindow() && !QApplication::activeModalWidget();
}

void ModbusAssWidget::tellEngineer(const QString &text)
{
    appendLog(text);
    if (panelInUse())
        DialogSeam::warning(this, warnTitle(), text);
}

ModbusAssWidget::~ModbusAssWidget()
{
    if (m_client) {
        m_client->disconnect(this);
        m_client->disconnectDevice();
    }
    delete ui;
}

QModbusDataUnit::RegisterType ModbusAssWidget::currentType() const
{
    return static_cast<QModbusDataUnit::RegisterType>(ui->writeTable->currentData().toInt());
}

void ModbusAssWidget::appendLog(const QString &line)
{
    ui->mbLog->appendPlainText(QDateTime::currentDateTime().toString(QStringLiteral("[hh:mm:ss.zzz] ")) + line);
}

void ModbusAssWidget::on_clearLogBtn_clicked()
{
    ui->mbLog->clear();
}

void ModbusAssWidget::setGatewayHost(const QString &ip)
{
    if (ip.isEmpty())
        return;
    if (m_client && m_client->state() != QModbusDevice::UnconnectedState)
        return;
    if (ui->connectType->currentIndex() != 1)
        ui->connectType->setCurrentIndex(1);
    ui->portEdit->setText(QStringLiteral("%1:%2").arg(ip).arg(kModbusTcpPort));
}

// ---------------------------------------------------------------- connection

void ModbusAssWidget::on_connectType_currentIndexChanged(int index)
{
    stopPoll();
    if (m_client) {
        m_client->disconnect(this);
        m_client->disconnectDevice();
        delete m_client;
        m_client = nullptr;
    }
    // Replies of the old client never come: nothing may wait for them.
    m_readInFlight = false;
    m_writeQueue.clear();
    m_attempted = false;
    m_problem.clear();
    m_problemHint.clear();

    if (index == 0) {
        m_client = new QModbusRtuSerialMaster(this);
    } else if (index == 1) {
        m_client = new QModbusTcpClient(this);
        if (ui->portEdit->text().isEmpty())
            ui->portEdit->setText(QLatin1String(kDefaultTcpPort));
    }
    if (!m_client) {
        updateControls();
        showConnectionState();
        tellEngineer(index == 1 ? QStringLiteral("Could not create Modbus client.")
                                : QStringLiteral("Could not create Modbus master."));
        return;
    }
    connect(m_client, &QModbusClient::errorOccurred, this, &ModbusAssWidget::onClientError);
    connect(m_client, &QModbusClient::stateChanged, this,
            [this](QModbusDevice::State state) { onStateChanged(int(state)); });
    updateControls();
    showConnectionState();
}

void ModbusAssWidget::onClientError()
{
    if (!m_client || m_client->error() == QModbusDevice::NoError)
        return;
    if (m_quiet) {
        m_quietError = m_client->errorString();
        return;
    }
    // Nobody asked for these: they go to the state line and the log, Qt's text kept for diagnosis.
    const QString qtText = m_client->errorString();
    qDebug() << "modbus client error:" << qtText;
    const QModbusDevice::Error error = m_client->error();
    const bool aboutTheConnection = error != QModbusDevice::TimeoutError && error != QModbusDevice::ProtocolError
                                    && error != QModbusDevice::ReplyAbortedError;
    const QString meaning = clientErrorMeaning();
    QString text = QStringLiteral("错误: %1 [%2]").arg(meaning, qtText);
    if (aboutTheConnection) {
        m_problem = meaning;
        if (error == QModbusDevice::ConnectionError && m_problemHint.isEmpty())
            m_problemHint = closedRightAwayHint();
        if (!m_problemHint.isEmpty())
            text += "\n" + m_problemHint;
    }
    appendLog(text);
    showConnectionState();
}

QString ModbusAssWidget::closedRightAwayHint() const
{
    if (ui->connectType->currentIndex() == 0 || m_closingByUser || m_answeredOnConnection
        || !m_connectedFor.isValid() || m_connectedFor.elapsed() > kClosedRightAwayMs)
        return QString();
    return QString::fromUtf8("网关接受连接后立即将其关闭: 网关的modbus客户端允许列表(mbacl.json)可能不含本机地址, "
                             "或已有两个modbus客户端连接着网关(网关日志/tmp/mb.log中有说明)");
}

void ModbusAssWidget::on_connectButton_clicked()
{
    if (!m_client)
        return;
    if (m_client->state() != QModbusDevice::UnconnectedState) {
        stopPoll();
        m_closingByUser = true;
        m_client->disconnectDevice();
        return;
    }
    m_closingByUser = false;
    m_connectedFor.invalidate();
    m_attempted = true;
    m_reachedConnected = false;
    m_answeredOnConnection = false;
    m_problem.clear();
    m_problemHint.clear();

    const SettingsDialog::Settings s = m_settingsDialog->settings();
    const bool serial = ui->connectType->currentIndex() == 0;
    if (serial) {
        m_peer = ui->portEdit->text();
        m_client->setConnectionParameter(QModbusDevice::SerialPortNameParameter, ui->portEdit->text());
        m_client->setConnectionParameter(QModbusDevice::SerialParityParameter, s.parity);
        m_client->setConnectionParameter(QModbusDevice::SerialBaudRateParameter, s.baud);
        m_client->setConnectionParameter(QModbusDevice::SerialDataBitsParameter, s.dataBits);
        m_client->setConnectionParameter(QModbusDevice::SerialStopBitsParameter, s.stopBits);
    } else {
        const QUrl url = QUrl::fromUserInput(ui->portEdit->text());
        m_peer = QStringLiteral("%1:%2").arg(url.host()).arg(url.port(kModbusTcpPort));
        m_client->setConnectionParameter(QModbusDevice::NetworkPortParameter, url.port(kModbusTcpPort));
        m_client->setConnectionParameter(QModbusDevice::NetworkAddressParameter, url.host());
    }
    m_client->setTimeout(s.responseTime);
    m_client->setNumberOfRetries(s.numberOfRetries);

    // Errors raised inside connectDevice() are reported once, as the connect failure.
    m_quiet = true;
    m_quietError.clear();
    const bool ok = m_client->connectDevice();
    m_quiet = false;
    if (!ok || !m_quietError.isEmpty()) {
        const QString why = m_quietError.isEmpty() ? m_client->errorString() : m_quietError;
        qDebug() << "modbus connect failed:" << why;
        m_problem = serial && m_client->error() == QModbusDevice::ConnectionError
                        ? QStringLiteral("无法打开串口 %1 (串口名不对、不存在或被其他程序占用)").arg(m_peer)
                        : clientErrorMeaning();
        appendLog(QStringLiteral("Connect failed: ") + why);
    }
    updateControls();
    showConnectionState();
}

void ModbusAssWidget::onStateChanged(int state)
{
    if (state == QModbusDevice::UnconnectedState) {
        stopPoll();
        // The client aborts what is in flight; a write waiting for its answer has failed.
        m_readInFlight = false;
        if (!m_writeQueue.isEmpty()) {
            m_writeQueue.clear();
            ui->writeResultLabel->setStyleSheet(failedLook());
            ui->writeResultLabel->setText(QStringLiteral("写入失败: 连接已断开"));
            appendLog(QStringLiteral("写入中止: 连接已断开"));
        }
        if (m_problemHint.isEmpty())
            m_problemHint = closedRightAwayHint();
        QString text = m_closingByUser || !m_attempted ? QStringLiteral("连接已断开")
                       : m_reachedConnected            ? QStringLiteral("连接已丢失")
                                                       : QStringLiteral("连接失败");
        if (!m_problem.isEmpty() && !m_closingByUser)
            text += QStringLiteral(": ") + m_problem;
        if (!m_problemHint.isEmpty())
            text += QStringLiteral(": ") + m_problemHint;
        appendLog(text);
    } else if (state == QModbusDevice::ConnectingState) {
        appendLog(QStringLiteral("正在连接 ") + m_peer);
    } else if (state == QModbusDevice::ConnectedState) {
        m_connectedFor.start();
        m_reachedConnected = true;
        appendLog(QStringLiteral("已连接 ") + m_peer);
    }
    updateControls();
    showConnectionState();
}

// ---------------------------------------------------------------- register type and format

void ModbusAssWidget::on_writeTable_currentIndexChanged(int index)
{
    const bool coils = index == 0;
    const bool holding = index == 3;
    const bool writable = coils || holding;
    if (writable) {
        ui->writeValueTable->setColumnHidden(WriteRegisterModel::CoilsColumn, !coils);
        ui->writeValueTable->setColumnHidden(WriteRegisterModel::HoldingColumn, !holding);
        ui->writeValueTable->resizeColumnToContents(WriteRegisterModel::NumColumn);
    }
    ui->writeGroupBox->setEnabled(writable);
    updateControls();
}

void ModbusAssWidget::applyValueFormat()
{
    const auto format = static_cast<RegisterValueFormat::Format>(ui->valueFormat->currentIndex());
    const auto order = static_cast<RegisterValueFormat::WordOrder>(ui->wordOrder->currentIndex());
    bool ok = false;
    const double scale = ui->scaleEdit->text().trimmed().toDouble(&ok);
    const bool scaleOk = ok && RegisterValueFormat::usableScale(scale) == scale;
    ui->scaleEdit->setStyleSheet(scaleOk ? QString() : QStringLiteral("QLineEdit{background-color:#ffc0c0;}"));
    ui->wordOrder->setEnabled(RegisterValueFormat::registersPerValue(format) == 2);
    ui->scaleEdit->setEnabled(RegisterValueFormat::isScaled(format));
    m_writeModel->setValueFormat(format, order, scaleOk ? scale : 1.0);
    showReadValues();
}

void ModbusAssWidget::showReadValues()
{
    ui->readValue->clear();
    const QModbusDataUnit &unit = m_lastRead;
    if (!unit.isValid())
        return;
    const QString line = QStringLiteral("Address: %1, Value: %2");
    if (isBits(unit.registerType())) {
        for (uint i = 0; i < unit.valueCount(); ++i)
            ui->readValue->addItem(line.arg(unit.startAddress() + int(i)).arg(unit.value(int(i))));
        return;
    }
    const auto format = static_cast<RegisterValueFormat::Format>(ui->valueFormat->currentIndex());
    const auto order = static_cast<RegisterValueFormat::WordOrder>(ui->wordOrder->currentIndex());
    const double scale = ui->scaleEdit->text().trimmed().toDouble();
    const QStringList texts = RegisterValueFormat::formatAll(unit.values(), format, order, scale);
    const int per = RegisterValueFormat::registersPerValue(format);
    for (int i = 0; i < texts.size(); ++i)
        ui->readValue->addItem(line.arg(unit.startAddress() + i * per).arg(texts.at(i)));
}

// ---------------------------------------------------------------- reading

void ModbusAssWidget::on_readButton_clicked()
{
    sendRead(0, false);
}

void ModbusAssWidget::on_readDirectBtn_clicked()
{
    sendRead(kDirectOffset, false);
}

void ModbusAssWidget::updateCounts()
{
    ui->pollCountLabel->setText(QStringLiteral("请求:%1 应答:%2 异常:%3 超时:%4 其他错误:%5")
                                    .arg(m_counts.requests)
                                    .arg(m_counts.answers)
                                    .arg(m_counts.exceptions)
                                    .arg(m_counts.timeouts)
                                    .arg(m_counts.otherErrors));
}

void ModbusAssWidget::stopPoll()
{
    if (!m_polling)
        return;
    m_polling = false;
    m_pollTimer->stop();
    appendLog(QStringLiteral("轮询停止 (请求%1 应答%2 异常%3 超时%4)")
                  .arg(m_counts.requests)
                  .arg(m_counts.answers)
                  .arg(m_counts.exceptions)
                  .arg(m_counts.timeouts));
}

void ModbusAssWidget::nextPoll()
{
    if (m_polling && !m_readInFlight)
        sendRead(m_pollOffset, true);
}

void ModbusAssWidget::sendRead(int offset, bool fromPoll)
{
    if (!m_client)
        return;
    if (!fromPoll) {
        // A button press starts a poll (or restarts it with the new request).
        m_pollTimer->stop();
        m_polling = false;
        if (ui->pollCheck->isChecked()) {
            m_counts = Counts();
            ++m_countRun;
            updateCounts();
            m_polling = true;
            m_pollOffset = offset;
            appendLog(QStringLiteral("轮询开始,间隔%1 ms").arg(ui->pollInterval->value()));
        }
        if (m_polling && m_readInFlight)
            return;  // the answer of the read in flight starts the next one
        ui->readValue->clear();
        ui->mbRcvTxt->clear();
        m_lastRead = QModbusDataUnit();
    }

    const int start = ui->readAddress->value();
    // Stay below the direct-address range; a start of 1000 still reads its one value
    // (a request for no values could only be refused).
    const int count = qMax(1, qMin(ui->readSize->value(), kAddressLimit - start));
    const QModbusDataUnit unit(currentType(), start + offset, quint16(count));
    const int server = ui->serverEdit->value();

    m_quiet = true;
    QModbusReply *reply = m_client->sendReadRequest(unit, server);
    m_quiet = false;
    if (!reply) {
        stopPoll();
        const QString qtText = m_client->errorString();
        appendLog(QStringLiteral("发送失败: %1 [%2]")
                      .arg(m_client->state() != QModbusDevice::ConnectedState ? notConnected()
                                                                              : clientErrorMeaning(),
                           qtText));
        if (!fromPoll)
            tellEngineer(QStringLiteral("Read error: ") + qtText);
        return;
    }
    ++m_counts.requests;
    updateCounts();
    const int fc = readFunctionCode(unit.registerType());
    appendLog(QStringLiteral("发送 单元%1 FC%2 地址%3 数量%4: %5")
                  .arg(server)
                  .arg(fc, 2, 10, QLatin1Char('0'))
                  .arg(unit.startAddress())
                  .arg(count)
                  .arg(hexBytes(QByteArray(1, char(fc)) + be16(unit.startAddress()) + be16(count)).trimmed()));
    if (reply->isFinished()) {
        delete reply;  // broadcasts finish at once
        appendLog(QStringLiteral("广播请求,无应答"));
        return;
    }
    m_readInFlight = true;
    m_pollSent.start();
    m_lastReadOffset = offset;
    reply->setProperty("countRun", m_countRun);
    reply->setProperty("fromPoll", fromPoll);
    connect(reply, &QModbusReply::finished, this, &ModbusAssWidget::readReady);
}

void ModbusAssWidget::readReady()
{
    auto *reply = qobject_cast<QModbusReply *>(sender());
    if (!reply)
        return;
    m_readInFlight = false;
    ui->mbRcvTxt->setPlainText(pduText(reply->rawResult()));
    // An answer to a request from before a poll (re)start is shown but not counted.
    Counts ignored;
    Counts &counts = reply->property("countRun").toInt() == m_countRun ? m_counts : ignored;

    if (reply->error() == QModbusDevice::NoError || reply->error() == QModbusDevice::ProtocolError)
        m_answeredOnConnection = true;
    if (reply->error() == QModbusDevice::NoError) {
        ++counts.answers;
        appendLog(QStringLiteral("接收: ") + pduText(reply->rawResult()).trimmed());
        m_lastRead = reply->result();
        showReadValues();
    } else {
        const QModbusResponse pdu = reply->rawResult();
        if (reply->error() == QModbusDevice::ProtocolError && pdu.isException()) {
            ++counts.exceptions;
            appendLog(QStringLiteral("接收异常: %1 (%2)")
                          .arg(ModbusException::describe(int(pdu.exceptionCode())), pduText(pdu).trimmed()));
        } else if (reply->error() == QModbusDevice::TimeoutError) {
            ++counts.timeouts;
            appendLog(QStringLiteral("超时,无应答"));
        } else if (reply->error() == QModbusDevice::ReplyAbortedError) {
            ++counts.otherErrors;
            appendLog(QStringLiteral("请求中止: 连接已断开 [%1]").arg(reply->errorString()));
        } else {
            ++counts.otherErrors;
            appendLog(QStringLiteral("错误: ") + reply->errorString());
        }
        // Only the answer to the engineer's own click is told; poll errors are counted,
        // and an aborted request is explained by the state line.
        if (!m_polling && !reply->property("fromPoll").toBool()
            && reply->error() != QModbusDevice::ReplyAbortedError)
            tellEngineer(replyErrorText(reply, QStringLiteral("Read")));
    }
    updateCounts();
    reply->deleteLater();

    if (m_polling) {
        const qint64 wait = ui->pollInterval->value() - m_pollSent.elapsed();
        m_pollTimer->start(int(qMax<qint64>(0, wait)));
    }
}

QString ModbusAssWidget::replyErrorText(QModbusReply *reply, const QString &what) const
{
    if (reply->error() == QModbusDevice::ProtocolError) {
        const QModbusResponse pdu = reply->rawResult();
        const int code = pdu.isException() ? int(pdu.exceptionCode()) : 0xff;
        return QStringLiteral("%1 response error: %2 (Mobus exception: 0x%3 %4)")
            .arg(what, reply->errorString())
            .arg(code, 0, 16)
            .arg(ModbusException::name(code));
    }
    return QStringLiteral("%1 response error: %2 (code: 0x%3)")
        .arg(what, reply->errorString())
        .arg(int(reply->error()), 0, 16);
}

// ---------------------------------------------------------------- writing

void ModbusAssWidget::limitWriteSize(int startAddress)
{
    // Entry i writes i + 1 values; start + count must stay within the model's rows.
    auto *model = qobject_cast<QStandardItemModel *>(ui->writeSize->model());
    if (!model)
        return;
    const int enabledCount = WriteRegisterModel::RowCount - startAddress;
    for (int i = 0; i < model->rowCount(); ++i)
        model->item(i)->setEnabled(i < enabledCount);
    if (enabledCount > 0 && ui->writeSize->currentIndex() >= enabledCount)
        ui->writeSize->setCurrentIndex(enabledCount - 1);
}

void ModbusAssWidget::on_copyToWriteBtn_clicked()
{
    const QModbusDataUnit &unit = m_lastRead;
    if (!unit.isValid() || unit.valueCount() == 0) {
        ui->writeResultLabel->setText(QStringLiteral("没有可复制的读取结果"));
        return;
    }
    // The write table is addressed without the direct offset.
    const int start = unit.startAddress() - m_lastReadOffset;
    const bool bits = isBits(unit.registerType());
    int copied = 0;
    for (uint i = 0; i < unit.valueCount(); ++i) {
        const int row = start + int(i);
        if (row < 0 || row >= WriteRegisterModel::RowCount)
            continue;
        if (bits)
            m_writeModel->setCoil(row, unit.value(int(i)) != 0);
        else
            m_writeModel->setHoldingRegister(row, unit.value(int(i)));
        ++copied;
    }
    if (copied > 0 && start >= 1 && start < WriteRegisterModel::RowCount) {
        ui->writeAddress->setValue(start);
        const int fit = qMin(copied, WriteRegisterModel::RowCount - start);
        ui->writeSize->setCurrentIndex(fit - 1);
    }
    ui->writeResultLabel->setStyleSheet(QString());
    if (copied == int(unit.valueCount()))
        ui->writeResultLabel->setText(QStringLiteral("已复制%1个值到写入表").arg(copied));
    else
        ui->writeResultLabel->setText(QStringLiteral("已复制%1个值到写入表 (写入表只有地址0~%2, 其余%3个未复制)")
                                          .arg(copied)
                                          .arg(WriteRegisterModel::RowCount - 1)
                                          .arg(int(unit.valueCount()) - copied));
}

void ModbusAssWidget::on_writeButton_clicked()
{
    sendWrite(0);
}

void ModbusAssWidget::on_writeDirectBtn_clicked()
{
    sendWrite(kDirectOffset);
}

void ModbusAssWidget::sendWrite(int offset)
{
    if (!m_client)
        return;
    const QModbusDataUnit::RegisterType type = currentType();
    if (type != QModbusDataUnit::Coils && type != QModbusDataUnit::HoldingRegisters)
        return;
    if (!m_writeQueue.isEmpty()) {
        tellEngineer(QStringLiteral("等待其他操作完成!"));
        return;
    }

    const int start = ui->writeAddress->value();
    const int count = qMin(ui->writeSize->currentText().toInt(), kAddressLimit - start);
    // The values come from the write table's rows start .. start + count - 1.
    if (count < 1 || !m_writeModel->rangeFits(start, count)) {
        tellEngineer(QStringLiteral("Write error: start address %1 with %2 value(s) is beyond "
                                    "the write table (addresses 0 to %3); choose a start "
                                    "address below %4.")
                         .arg(start)
                         .arg(count)
                         .arg(WriteRegisterModel::RowCount - 1)
                         .arg(WriteRegisterModel::RowCount));
        return;
    }
    const bool coils = type == QModbusDataUnit::Coils;
    if (!coils && RegisterValueFormat::registersPerValue(m_writeModel->valueFormat()) == 2 && count % 2) {
        tellEngineer(QStringLiteral("Write error: 32位数值占两个寄存器,数量须为偶数 (当前%1)").arg(count));
        return;
    }

    const int choice = ui->writeFunction->currentIndex();
    const bool single = choice == WriteSingle || (choice == WriteAuto && count == 1);
    const int address = start + offset;
    m_writeQueue.clear();
    if (single) {
        m_writeFc = coils ? 5 : 6;
        for (int i = 0; i < count; ++i) {
            const int v = coils ? (m_writeModel->coil(start + i) ? 0xff00 : 0) : m_writeModel->holdingRegister(start + i);
            m_writeQueue << QModbusRequest(QModbusPdu::FunctionCode(m_writeFc), be16(address + i) + be16(v));
        }
    } else if (coils) {
        m_writeFc = 15;
        QByteArray bytes((count + 7) / 8, 0);
        for (int i = 0; i < count; ++i)
            if (m_writeModel->coil(start + i))
                bytes[i / 8] = char(quint8(bytes[i / 8]) | (1 << (i % 8)));
        m_writeQueue << QModbusRequest(QModbusPdu::WriteMultipleCoils,
                                       be16(address) + be16(count) + QByteArray(1, char(bytes.size())) + bytes);
    } else {
        m_writeFc = 16;
        QByteArray data = be16(address) + be16(count) + QByteArray(1, char(count * 2));
        for (int i = 0; i < count; ++i)
            data += be16(m_writeModel->holdingRegister(start + i));
        m_writeQueue << QModbusRequest(QModbusPdu::WriteMultipleRegisters, data);
    }
    m_writeUnit = ui->serverEdit->value();
    m_writeStart = address;
    m_writeCount = count;
    ui->mbRcvTxt->clear();
    ui->writeResultLabel->setStyleSheet(QString());
    ui->writeResultLabel->setText(QStringLiteral("写入中..."));
    sendNextWrite();
}

void ModbusAssWidget::sendNextWrite()
{
    if (m_writeQueue.isEmpty())
        return;
    const QModbusRequest request = m_writeQueue.first();
    m_quiet = true;
    QModbusReply *reply = m_client->sendRawRequest(request, m_writeUnit);
    m_quiet = false;
    if (!reply) {
        m_writeQueue.clear();
        const QString qtText = m_client->errorString();
        const bool connected = m_client->state() == QModbusDevice::ConnectedState;
        ui->writeResultLabel->setStyleSheet(failedLook());
        ui->writeResultLabel->setText(connected ? QStringLiteral("写入失败") : QStringLiteral("写入失败: 设备未连接"));
        appendLog(QStringLiteral("发送失败: %1 [%2]")
                      .arg(connected ? clientErrorMeaning() : notConnected(), qtText));
        tellEngineer(QStringLiteral("Write error: ") + qtText);
        return;
    }
    appendLog(QStringLiteral("发送 单元%1 FC%2: %3")
                  .arg(m_writeUnit)
                  .arg(int(request.functionCode()), 2, 10, QLatin1Char('0'))
                  .arg(pduText(request).trimmed()));
    if (reply->isFinished()) {
        delete reply;
        m_writeQueue.clear();
        ui->writeResultLabel->setText(QStringLiteral("广播写入已发出(无应答)"));
        return;
    }
    connect(reply, &QModbusReply::finished, this, &ModbusAssWidget::writeFinished);
}

void ModbusAssWidget::writeFinished()
{
    auto *reply = qobject_cast<QModbusReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    const QModbusResponse pdu = reply->rawResult();
    ui->mbRcvTxt->setPlainText(pduText(pdu));
    if (m_writeQueue.isEmpty())
        return;  // the panel was reset meanwhile
    m_writeQueue.removeFirst();
    if (reply->error() == QModbusDevice::NoError || reply->error() == QModbusDevice::ProtocolError)
        m_answeredOnConnection = true;
    if (reply->error() != QModbusDevice::NoError) {
        m_writeQueue.clear();
        QString why = reply->errorString();
        if (reply->error() == QModbusDevice::ProtocolError && pdu.isException())
            why = QStringLiteral("异常 ") + ModbusException::describe(int(pdu.exceptionCode()));
        else if (reply->error() == QModbusDevice::TimeoutError)
            why = QStringLiteral("超时,无应答");
        else if (reply->error() == QModbusDevice::ReplyAbortedError)
            why = QStringLiteral("连接已断开");
        appendLog(QStringLiteral("写入失败: ") + why);
        ui->writeResultLabel->setStyleSheet(failedLook());
        ui->writeResultLabel->setText(QStringLiteral("写入失败: ") + why);
        // An aborted write is explained by the state line.
        if (reply->error() != QModbusDevice::ReplyAbortedError)
            tellEngineer(replyErrorText(reply, QStringLiteral("Write")));
        return;
    }
    appendLog(QStringLiteral("接收: ") + pduText(pdu).trimmed());
    if (!m_writeQueue.isEmpty()) {
        sendNextWrite();
        return;
    }
    const QString done = m_writeCount == 1
                             ? QStringLiteral("写入成功: 地址%1, 1个值 (FC%2)").arg(m_writeStart).arg(m_writeFc, 2, 10, QLatin1Char('0'))
                             : QStringLiteral("写入成功: 地址%1~%2, %3个值 (FC%4)")
                                   .arg(m_writeStart)
                                   .arg(m_writeStart + m_writeCount - 1)
                                   .arg(m_writeCount)
                                   .arg(m_writeFc, 2, 10, QLatin1Char('0'));
    appendLog(done);
    ui->writeResultLabel->setStyleSheet(QStringLiteral("QLabel{color:#008000;}"));
    ui->writeResultLabel->setText(done);
}

void ModbusAssWidget::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    arrangeColumns();
}

void ModbusAssWidget::arrangeColumns()
{
    QGridLayout *grid = ui->rwLayout;
    const int gap = grid->spacing() > 0 ? grid->spacing() : 6;
    const int need = ui->readGroupBox->minimumSizeHint().width() + ui->writeGroupBox->minimumSizeHint().width()
                     + kLogColumnMinWidth + 2 * gap + 40;
    // The panel's own width: its scroll area's view follows it only later.
    const bool wide = width() >= need;
    int row = 0, column = 0, rowSpan = 0, columnSpan = 0;
    grid->getItemPosition(grid->indexOf(ui->logColumn), &row, &column, &rowSpan, &columnSpan);
    if (wide == (column == 2))
        return;
    grid->removeWidget(ui->logColumn);
    if (wide)
        grid->addWidget(ui->logColumn, 0, 2);
    else
        grid->addWidget(ui->logColumn, 1, 0, 1, 2);
    for (int c = 0; c < 3; ++c)
        grid->setColumnStretch(c, wide || c < 2 ? 1 : 0);
}
