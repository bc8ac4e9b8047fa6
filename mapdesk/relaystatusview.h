#ifndef RELAYSTATUSVIEW_H
#define RELAYSTATUSVIEW_H

// The 网关状态 tab: while it is shown, busrelay's own figures (unit 255's
// counters, online and alarm bits and data ages) are read once a second
// over a Modbus TCP connection of the view's own, and shown as the link
// state, uptime, rates, clients and one row per unit. The connection is
// released whenever the view is hidden: busrelay serves two clients only.

#include <QMap>
#include <QString>
#include <QWidget>

#include <functional>

#include "relayhealth.h"

class ElidedLabel;
class QCheckBox;
class QLabel;
class QModbusReply;
class QModbusTcpClient;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTimer;

class RelayStatusView : public QWidget
{
    Q_OBJECT
public:
    static const int kPollMs = 1000;
    static const int kRetryMs = 3000;
    // A connection the service closes this soon, before any answer, was refused.
    static const int kRefusedWithinMs = 2000;

    explicit RelayStatusView(QWidget *parent = nullptr);
    ~RelayStatusView() override;

    void setGatewayHost(const QString &ip, quint16 port = 502);
    // Unit id -> name, for the rows (the address map being edited).
    void setUnitNames(std::function<QMap<int, QString>()> names) { m_names = std::move(names); }

    bool isConnected() const;
    QString stateText() const;
    // The last complete reading (not valid before the first one).
    const RelayHealth::Snapshot &snapshot() const { return m_last; }
    // The units shown, in order.
    QVector<int> shownUnits() const;
    // The reading as shown, as CSV with a byte-order mark; false with a reason.
    bool saveCsv(const QString &path, QString *error = nullptr) const;

signals:
    // A complete reading came and is shown.
    void updated();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    enum Part { Counters = 0, Version, Bits, AgesLow, AgesHigh, PartCount };

    void open();
    void close();
    void setState(const QString &text, bool bad);
    void poll();
    void sendPart(int part);
    void partAnswered(QModbusReply *reply, int part);
    void connectionChanged();
    void render();

    QTableWidget *m_table;
    ElidedLabel *m_state;
    QLabel *m_summary;
    QSpinBox *m_staleSeconds;
    QCheckBox *m_readAlarms;
    QPushButton *m_save;
    QTimer *m_poll;
    QTimer *m_retry;
    QModbusTcpClient *m_client = nullptr;
    QString m_host;
    quint16 m_port = 502;
    std::function<QMap<int, QString>()> m_names;

    RelayHealth::Snapshot m_reading;  // being read
    RelayHealth::Snapshot m_last;
    RelayHealth::Snapshot m_previous;
    RelayHealth::Rates m_rates;
    bool m_readingBusy = false;
    bool m_noCounters = false;  // a busrelay without the counters (exception 2)
    bool m_answered = false;    // on this connection
    qint64 m_connectedAtMs = -1;
};

#endif // RELAYSTATUSVIEW_H
