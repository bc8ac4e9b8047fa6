#ifndef MODBUSASSWIDGET_H
#define MODBUSASSWIDGET_H

#include <QModbusDataUnit>
#include <QString>
#include <QWidget>

class QModbusClient;
class QModbusReply;
class SettingsDialog;
class WriteRegisterModel;

namespace Ui {
class ModbusAssWidget;
}

// Modbus client panel for checking a gateway's address map: reads from the
// service's cache (address < 1000) or directly from the device (address +
// 1000), and writes coils and holding registers. Serial RTU or TCP.
class ModbusAssWidget : public QWidget
{
    Q_OBJECT

public:
    static const int kDirectOffset = 1000;
    static const int kAddressLimit = 1000;

    explicit ModbusAssWidget(QWidget *parent = nullptr);
    ~ModbusAssWidget() override;

    QModbusClient *modbusClient() const { return m_client; }
    SettingsDialog *settingsDialog() const { return m_settingsDialog; }
    WriteRegisterModel *writeModel() const { return m_writeModel; }

private slots:
    void on_connectButton_clicked();
    void onStateChanged(int state);
    void on_readButton_clicked();
    void on_readDirectBtn_clicked();
    void readReady();
    void on_writeButton_clicked();
    void on_writeDirectBtn_clicked();
    void on_connectType_currentIndexChanged(int index);
    void on_writeTable_currentIndexChanged(int index);

private:
    void sendRead(int offset);
    void sendWrite(int offset);
    void writeFinished();
    void limitWriteSize(int startAddress);
    QModbusDataUnit::RegisterType currentType() const;
    void showReplyError(QModbusReply *reply, const QString &what);
    void onClientError();

    Ui::ModbusAssWidget *ui;
    QModbusClient *m_client = nullptr;
    SettingsDialog *m_settingsDialog = nullptr;
    WriteRegisterModel *m_writeModel = nullptr;
    // While connectDevice() or a send runs, the client's errors are reported
    // once, by the caller, instead of a second box from errorOccurred.
    bool m_quiet = false;
    QString m_quietError;
};

#endif // MODBUSASSWIDGET_H
