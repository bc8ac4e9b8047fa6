#ifndef MODBUSASSWIDGET_H
#define MODBUSASSWIDGET_H

#include <QElapsedTimer>
#include <QModbusDataUnit>
#include <QModbusRequest>
#include <QString>
#include <QVector>
#include <QWidget>

class QModbusClient;
class QModbusReply;
class QTimer;
class SettingsDialog;
class WriteRegisterModel;

namespace Ui {
class ModbusAssWidget;
}

// Modbus client panel for checking a gateway's address map: reads from the
// service's cache (address < 1000) or directly from the device (address +
// 1000), once or repeatedly (poll mode, with counts), and writes coils and
// holding registers with the function codes the engineer picks. Values are
// shown and typed in the chosen format (registervalueformat.h). Serial RTU
// or TCP.
//
// The panel is one tab among others: its connection state and connection
// errors are shown in its own state line and log, never in a box. Only the
// answer to a request the engineer made here may open a box, and only while
// the panel is in use (visible, its window active); otherwise the same text
// goes to the log.
class ModbusAssWidget : public QWidget
{
    Q_OBJECT

public:
    static const int kDirectOffset = 1000;
    static const int kAddressLimit = 1000;
    static const int kLogLines = 2000;
    // A close this soon after connecting is the server refusing the client.
    static const int kClosedRightAwayMs = 2000;

    enum WriteFunction { WriteAuto = 0, WriteSingle = 1, WriteMultiple = 2 };

    // What poll mode (and every read) counts; reset when a poll starts.
    struct Counts {
        int requests = 0;
        int answers = 0;
        int exceptions = 0;
        int timeouts = 0;
        int otherErrors = 0;
    };

    explicit ModbusAssWidget(QWidget *parent = nullptr);
    ~ModbusAssWidget() override;

    QModbusClient *modbusClient() const { return m_client; }
    SettingsDialog *settingsDialog() const { return m_settingsDialog; }
    WriteRegisterModel *writeModel() const { return m_writeModel; }
    Counts counts() const { return m_counts; }
    bool isPolling() const { return m_polling; }

public slots:
    // The selected gateway: the panel then talks TCP to its service on port
    // 502 (left alone while a connection is open).
    void setGatewayHost(const QString &ip);
    void stopPoll();

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
    void on_copyToWriteBtn_clicked();
    void on_clearLogBtn_clicked();

protected:
    static const int kLogColumnMinWidth = 260;
    void resizeEvent(QResizeEvent *event) override;

private:
    // Read, write and the log side by side where the panel is wide enough,
    // the log below the two otherwise.
    void arrangeColumns();

    void sendRead(int offset, bool fromPoll);
    void nextPoll();
    void sendWrite(int offset);
    void sendNextWrite();
    void writeFinished();
    void limitWriteSize(int startAddress);
    void applyValueFormat();
    void showReadValues();
    void updateCounts();
    void appendLog(const QString &line);
    QModbusDataUnit::RegisterType currentType() const;
    QString replyErrorText(QModbusReply *reply, const QString &what) const;
    void onClientError();
    // Read, write and poll controls follow the connection; the connect button its state.
    void updateControls();
    void showConnectionState();
    // The client's current error in Chinese (for TCP the socket's reason).
    QString clientErrorMeaning() const;
    bool panelInUse() const;
    // A message for the engineer: always logged, boxed only while the panel is in use.
    void tellEngineer(const QString &text);

    Ui::ModbusAssWidget *ui;
    QModbusClient *m_client = nullptr;
    SettingsDialog *m_settingsDialog = nullptr;
    WriteRegisterModel *m_writeModel = nullptr;
    // While connectDevice() or a send runs, the client's errors are reported
    // once, by the caller, instead of a second box from errorOccurred.
    bool m_quiet = false;
    QString m_quietError;
    // A TCP server that closes right after accepting refused this client:
    // the engineer is told what to check.
    QString closedRightAwayHint() const;
    QElapsedTimer m_connectedFor;
    bool m_closingByUser = false;
    // What the state line explains for the current or last connection attempt.
    bool m_attempted = false;
    bool m_reachedConnected = false;
    bool m_answeredOnConnection = false;  // a served connection was not refused
    QString m_peer;  // what was connected to, as typed
    QString m_problem;  // Chinese reason of the last connection error of this attempt
    QString m_problemHint;

    // The last good read, kept raw so a format change re-shows it.
    QModbusDataUnit m_lastRead;
    int m_lastReadOffset = 0;

    // Poll mode: one request at a time, the next one interval after the last send.
    bool m_polling = false;
    int m_pollOffset = 0;
    bool m_readInFlight = false;
    int m_countRun = 0;  // replies of requests sent before the counts were reset are not counted
    QTimer *m_pollTimer = nullptr;
    QElapsedTimer m_pollSent;
    Counts m_counts;

    // A write made of several requests (function 5/6 value by value) goes
    // out one request after the other.
    QList<QModbusRequest> m_writeQueue;
    int m_writeUnit = 0;
    int m_writeStart = 0;
    int m_writeCount = 0;
    int m_writeFc = 0;
};

#endif // MODBUSASSWIDGET_H
