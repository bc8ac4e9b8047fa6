#include "modbusasswidget.h"
#include "ui_modbusasswidget.h"

#include "dialogseam.h"
#include "settingsdialog.h"
#include "writeregistermodel.h"

#include <QDebug>
#include <QHeaderView>
#include <QModbusRtuSerialMaster>
#include <QModbusTcpClient>
#include <QStandardItemModel>
#include <QUrl>

namespace {
const char kDefaultTcpPort[] = "127.0.0.1:502";
const int kModbusTcpPort = 502;

QString warnTitle()
{
    return QStringLiteral("warning");
}

// Function code (with its exception bit) and data, "%02x " per byte.
QString pduText(const QModbusPdu &pdu)
{
    if (pdu.functionCode() == QModbusPdu::Invalid)
        return QString();
    QByteArray raw;
    raw.append(char(quint8(pdu.functionCode()) | (pdu.isException() ? 0x80 : 0)));
    raw.append(pdu.data());
    QString text;
    for (const char c : raw)
        text += QString::asprintf("%02x ", quint8(c));
    return text;
}
} // namespace

ModbusAssWidget::ModbusAssWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::ModbusAssWidget)
    , m_settingsDialog(new SettingsDialog(this))
    , m_writeModel(new WriteRegisterModel(this))
{
    ui->setupUi(this);

    ui->optionsButton->setDefaultAction(ui->actionOptions);
    connect(ui->actionOptions, &QAction::triggered, m_settingsDialog, &QDialog::show);

    // Register types as QModbusDataUnit knows them.
    ui->writeTable->setItemData(0, QModbusDataUnit::Coils);
    ui->writeTable->setItemData(1, QModbusDataUnit::DiscreteInputs);
    ui->writeTable->setItemData(2, QModbusDataUnit::InputRegisters);
    ui->writeTable->setItemData(3, QModbusDataUnit::HoldingRegisters);

    for (int i = 1; i <= WriteRegisterModel::RowCount; ++i)
        ui->writeSize->addItem(QString::number(i));

    ui->writeValueTable->setModel(m_writeModel);
    ui->writeValueTable->hideColumn(WriteRegisterModel::HoldingColumn);
    ui->writeValueTable->verticalHeader()->hide();
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

    ui->writeTable->setCurrentIndex(0);
    on_writeTable_currentIndexChanged(0);

    ui->connectType->setCurrentIndex(0);
    on_connectType_currentIndexChanged(0);
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

// ---------------------------------------------------------------- connection

void ModbusAssWidget::on_connectType_currentIndexChanged(int index)
{
    if (m_client) {
        m_client->disconnect(this);
        m_client->disconnectDevice();
        delete m_client;
        m_client = nullptr;
        ui->connectButton->setText(QStringLiteral("Connect"));
    }

    if (index == 0) {
        m_client = new QModbusRtuSerialMaster(this);
    } else if (index == 1) {
        m_client = new QModbusTcpClient(this);
        if (ui->portEdit->text().isEmpty())
            ui->portEdit->setText(QLatin1String(kDefaultTcpPort));
    }
    if (!m_client) {
        DialogSeam::warning(this, warnTitle(),
                            index == 1 ? QStringLiteral("Could not create Modbus client.")
                                       : QStringLiteral("Could not create Modbus master."));
        return;
    }
    connect(m_client, &QModbusClient::errorOccurred, this, &ModbusAssWidget::onClientError);
    connect(m_client, &QModbusClient::stateChanged, this,
            [this](QModbusDevice::State state) { onStateChanged(int(state)); });
}

void ModbusAssWidget::onClientError()
{
    if (!m_client || m_client->error() == QModbusDevice::NoError)
        return;
    if (m_quiet) {
        m_quietError = m_client->errorString();
        return;
    }
    qDebug() << "modbus client error:" << m_client->errorString();
    DialogSeam::warning(this, warnTitle(), m_client->errorString());
}

void ModbusAssWidget::on_connectButton_clicked()
{
    if (!m_client)
        return;
    if (m_client->state() != QModbusDevice::UnconnectedState) {
        m_client->disconnectDevice();
        return;
    }

    const SettingsDialog::Settings s = m_settingsDialog->settings();
    if (ui->connectType->currentIndex() == 0) {
        m_client->setConnectionParameter(QModbusDevice::SerialPortNameParameter, ui->portEdit->text());
        m_client->setConnectionParameter(QModbusDevice::SerialParityParameter, s.parity);
        m_client->setConnectionParameter(QModbusDevice::SerialBaudRateParameter, s.baud);
        m_client->setConnectionParameter(QModbusDevice::SerialDataBitsParameter, s.dataBits);
        m_client->setConnectionParameter(QModbusDevice::SerialStopBitsParameter, s.stopBits);
    } else {
        const QUrl url = QUrl::fromUserInput(ui->portEdit->text());
        m_client->setConnectionParameter(QModbusDevice::NetworkPortParameter, url.port(kModbusTcpPort));
        m_client->setConnectionParameter(QModbusDevice::NetworkAddressParameter, url.host());
    }
    m_client->setTimeout(s.responseTime);
    m_client->setNumberOfRetries(s.numberOfRetries);

    // Errors raised inside connectDevice() are shown once, as the connect failure.
    m_quiet = true;
    m_quietError.clear();
    const bool ok = m_client->connectDevice();
    m_quiet = false;
    if (!ok) {
        const QString why = m_quietError.isEmpty() ? m_client->errorString() : m_quietError;
        DialogSeam::warning(this, warnTitle(), QStringLiteral("Connect failed: ") + why);
    } else if (!m_quietError.isEmpty()) {
        DialogSeam::warning(this, warnTitle(), m_quietError);
    }
}

void ModbusAssWidget::onStateChanged(int state)
{
    if (state == QModbusDevice::UnconnectedState)
        ui->connectButton->setText(QStringLiteral("Connect"));
    else if (state == QModbusDevice::ConnectedState)
        ui->connectButton->setText(QStringLiteral("Disconnect"));
}

// ---------------------------------------------------------------- register type

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
    ui->writeButton->setEnabled(writable);
    ui->writeGroupBox->setEnabled(writable);
    ui->writeDirectBtn->setEnabled(false);
}

// ---------------------------------------------------------------- reading

void ModbusAssWidget::on_readButton_clicked()
{
    sendRead(0);
}

void ModbusAssWidget::on_readDirectBtn_clicked()
{
    sendRead(kDirectOffset);
}

void ModbusAssWidget::sendRead(int offset)
{
    if (!m_client)
        return;
    ui->readValue->clear();
    ui->mbRcvTxt->clear();

    const int start = ui->readAddress->value();
    // Stay below the direct-address range; a start of 1000 still reads its one value
    // (a request for no values could only be refused).
    const int count = qMax(1, qMin(ui->readSize->value(), kAddressLimit - start));
    const QModbusDataUnit unit(currentType(), start + offset, quint16(count));

    m_quiet = true;
    QModbusReply *reply = m_client->sendReadRequest(unit, ui->serverEdit->value());
    m_quiet = false;
    if (!reply) {
        DialogSeam::warning(this, warnTitle(), QStringLiteral("Read error: ") + m_client->errorString());
        return;
    }
    if (reply->isFinished()) {
        delete reply;  // broadcasts finish at once
        return;
    }
    connect(reply, &QModbusReply::finished, this, &ModbusAssWidget::readReady);
}

void ModbusAssWidget::readReady()
{
    auto *reply = qobject_cast<QModbusReply *>(sender());
    if (!reply)
        return;
    ui->mbRcvTxt->setPlainText(pduText(reply->rawResult()));

    if (reply->error() == QModbusDevice::NoError) {
        const QModbusDataUnit unit = reply->result();
        const bool bits = unit.registerType() == QModbusDataUnit::Coils
                          || unit.registerType() == QModbusDataUnit::DiscreteInputs;
        for (uint i = 0; i < unit.valueCount(); ++i) {
            const QString value = bits ? QString::number(unit.value(int(i)))
                                       : QStringLiteral("0x") + QString::number(unit.value(int(i)), 16);
            ui->readValue->addItem(QStringLiteral("Address: %1, Value: %2")
                                       .arg(unit.startAddress() + int(i))
                                       .arg(value));
        }
    } else {
        showReplyError(reply, QStringLiteral("Read"));
    }
    reply->deleteLater();
}

void ModbusAssWidget::showReplyError(QModbusReply *reply, const QString &what)
{
    if (reply->error() == QModbusDevice::ProtocolError) {
        const QModbusResponse pdu = reply->rawResult();
        const int code = pdu.isException() ? int(pdu.exceptionCode()) : 0xff;
        DialogSeam::warning(this, warnTitle(),
                            QStringLiteral("%1 response error: %2 (Mobus exception: 0x%3)")
                                .arg(what, reply->errorString())
                                .arg(code, 0, 16));
    } else {
        DialogSeam::warning(this, warnTitle(),
                            QStringLiteral("%1 response error: %2 (code: 0x%3)")
                                .arg(what, reply->errorString())
                                .arg(int(reply->error()), 0, 16));
    }
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

    const int start = ui->writeAddress->value();
    const int count = qMin(ui->writeSize->currentText().toInt(), kAddressLimit - start);
    // The values come from the write table's rows start .. start + count - 1.
    if (count < 1 || !m_writeModel->rangeFits(start, count)) {
        DialogSeam::warning(this, warnTitle(),
                            QStringLiteral("Write error: start address %1 with %2 value(s) is beyond "
                                           "the write table (addresses 0 to %3); choose a start "
                                           "address below %4.")
                                .arg(start)
                                .arg(count)
                                .arg(WriteRegisterModel::RowCount - 1)
                                .arg(WriteRegisterModel::RowCount));
        return;
    }

    QModbusDataUnit unit(type, start + offset, quint16(count));
    for (int i = 0; i < count; ++i) {
        if (type == QModbusDataUnit::Coils)
            unit.setValue(i, m_writeModel->coil(start + i) ? 1 : 0);
        else
            unit.setValue(i, m_writeModel->holdingRegister(start + i));
    }
    ui->mbRcvTxt->clear();

    m_quiet = true;
    QModbusReply *reply = m_client->sendWriteRequest(unit, ui->serverEdit->value());
    m_quiet = false;
    if (!reply) {
        DialogSeam::warning(this, warnTitle(), QStringLiteral("Write error: ") + m_client->errorString());
        return;
    }
    if (reply->isFinished()) {
        delete reply;
        return;
    }
    connect(reply, &QModbusReply::finished, this, &ModbusAssWidget::writeFinished);
}

void ModbusAssWidget::writeFinished()
{
    auto *reply = qobject_cast<QModbusReply *>(sender());
    if (!reply)
        return;
    ui->mbRcvTxt->setPlainText(pduText(reply->rawResult()));
    if (reply->error() != QModbusDevice::NoError)
        showReplyError(reply, QStringLiteral("Write"));
    reply->deleteLater();
}
