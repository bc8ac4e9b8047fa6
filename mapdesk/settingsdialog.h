#ifndef SETTINGSDIALOG_H
#define SETTINGSDIALOG_H

#include <QDialog>

namespace Ui {
class SettingsDialog;
}

// Connection settings of the Modbus test panel: the serial line (used by the
// RTU master only) and the response timeout and retries (both clients).
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    struct Settings {
        int parity = 2;  // QSerialPort::Parity values: none 0, even 2, odd 3, space 4, mark 5
        int baud = 19200;
        int dataBits = 8;
        int stopBits = 1;  // QSerialPort::StopBits: 1, 3 (one and a half), 2
        int responseTime = 1000;  // ms
        int numberOfRetries = 3;
    };

    explicit SettingsDialog(QWidget *parent = nullptr);
    ~SettingsDialog() override;

    Settings settings() const { return m_settings; }

private slots:
    void onApply();

private:
    Ui::SettingsDialog *ui;
    Settings m_settings;
};

#endif // SETTINGSDIALOG_H
