#include "gateway7fpanel.h"

#include "debuglogview.h"
#include "dialogseam.h"
#include "gateway7fclient.h"
#include "gatewayerrortext.h"
#include "statuslook.h"
#include "utf8text.h"

#include <QDebug>
#include <QLabel>
#include <QPushButton>
#include <QTime>

Gateway7FPanel::Gateway7FPanel(Gateway7FClient *client, const Widgets &widgets, DebugLogView *log,
                               QWidget *dialogParent, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_w(widgets)
    , m_log(log)
    , m_dialogParent(dialogParent)
    , m_port(Gateway7FClient::kPort)
{
    connect(m_client, &Gateway7FClient::frameReceived, this, [this](const QByteArray &topic, const QByteArray &payload) {
        // The view keeps the last lines rather than wiping at a limit.
        m_log->append(DebugLogView::Report7F,
                      QTime::currentTime().toString("[HH:mm:ss") + u(" 接收到数据:]\r\n") + QString::fromUtf8(topic)
                          + "\r\n" + QString::fromUtf8(payload) + "\r\n",
                      false);
    });
    connect(m_client, &Gateway7FClient::frameSent, this, [this](const QString &topic, const QString &payload, int code) {
        if (code != Gateway7FClient::DeleteDevice)
            return;
        m_log->append(DebugLogView::Command, QTime::currentTime().toString("[HH:mm:ss") + u(" 发送数据:]"), false);
        m_log->append(DebugLogView::Command, topic, false);
        m_log->append(DebugLogView::Command, payload, false);
    });
    connect(m_client, &Gateway7FClient::keepAliveAnswered, this,
            [this]() { m_log->append(DebugLogView::KeepAlive, u("心跳 (已回复)")); });
    connect(m_client, &Gateway7FClient::versionAnswered, this, [this](const QString &version) {
        m_w.versionLabel->setText(version);
        if (!m_quietVersion)
            emit statusText(u("获取网关版本成功!"));
    });
    connect(m_client, &Gateway7FClient::deviceListAnswered, this,
            [this]() { emit statusText(u("拉取网关设备列表成功!")); });
    connect(m_client, &Gateway7FClient::deleteAnswered, this, [this](const QString &dk, int code) {
        if (code != 0) {
            emit statusText(u("删除plc设备") + dk + u("失败!!!!") + GatewayErrorText::text(code));
            return;
        }
        emit statusText(u("删除plc设备") + dk + u("成功!"));
        emit deviceDeleted(dk);
    });
    connect(m_client, &Gateway7FClient::commandTimedOut, this, [this](int code) {
        if (code == Gateway7FClient::ReadVersion && m_quietVersion) {
            m_quietVersion = false;
            emit commandStateChanged();
            return;
        }
        QString text;
        switch (code) {
        case Gateway7FClient::ReadVersion: text = u("获取网关版本超时!!!"); break;
        case Gateway7FClient::GetAllDevices: text = u("获取网关内设备列表超时!!!!"); break;
        case Gateway7FClient::DeleteDevice: text = u("删除plc设备超时!\n请重新点击\"获取网关内设备列表\"进行刷新"); break;
        default: return;
        }
        // The window is free again before the box opens.
        emit commandStateChanged();
        emit statusText(text);
        DialogSeam::warning(m_dialogParent, "warning", text);
    });
    connect(m_client, &Gateway7FClient::commandEnded, this, [this]() {
        m_quietVersion = false;
        emit commandStateChanged();
        if (m_versionWanted)
            refreshVersion();
    });
    m_w.connectButton->setEnabled(false);
    m_w.stateLabel->setText(u("未连接网关"));
    m_w.stateLabel->setStyleSheet(StatusLook::red());
}

void Gateway7FPanel::setGateway(const QString &ip, const QString &deviceKey)
{
    m_ip = ip;
    m_key = deviceKey;
}

void Gateway7FPanel::toggleConnection()
{
    if (m_client->isConnected()) {
        m_client->disconnectFromGateway();
        return;
    }
    if (m_client->isConnecting())
        return;
    if (m_ip.isEmpty()) {
        emit statusText(u("错误的网关IP"));
        return;
    }
    m_w.connectButton->setEnabled(false);
    m_w.connectButton->setText(u("连接中..."));
    m_w.stateLabel->setText(u("连接网关") + m_key + u("中..."));
    emit statusCleared();
    // The window keeps running while the connection is made.
    m_client->connectToGateway(m_ip, m_key, m_port);
    emit linkChanged();
}

void Gateway7FPanel::showConnected()
{
    m_w.connectButton->setEnabled(true);
    m_w.connectButton->setText(u("2.断开网关连接"));
    emit statusText(u("连接成功"));
    m_w.stateLabel->setText(u("已连接到网关") + m_key);
    m_w.stateLabel->setStyleSheet(StatusLook::green());
    emit linkChanged();
}

void Gateway7FPanel::showConnectFailed(const QString &why)
{
    qDebug() << "connect to" << m_ip << "failed:" << why;
    m_w.connectButton->setEnabled(true);
    m_w.connectButton->setText(u("2.连接网关"));
    emit statusText(u("连接网关失败"));
    m_w.stateLabel->setText(u("连接网关") + m_key + u("失败"));
    m_w.stateLabel->setStyleSheet(StatusLook::red());
    emit linkChanged();
}

void Gateway7FPanel::showDisconnected()
{
    qDebug().noquote() << "disconnected to " + m_ip;
    m_w.connectButton->setEnabled(true);
    m_w.connectButton->setText(u("2.连接网关"));
    emit statusText(u("网关连接断开"));
    m_w.stateLabel->setText(u("网关连接断开"));
    m_w.stateLabel->setStyleSheet(StatusLook::red());
    m_w.versionLabel->setText(QString());
    m_quietVersion = m_versionWanted = false;
    emit linkChanged();
}

void Gateway7FPanel::refreshVersion()
{
    m_versionWanted = false;
    m_w.versionLabel->setText(" ");
    if (!m_client->isConnected())
        return;
    if (m_client->pendingCommand() != Gateway7FClient::None) {
        m_versionWanted = true;
        return;
    }
    if (m_client->sendCommand(Gateway7FClient::ReadVersion) != Gateway7FClient::Sent)
        return;
    m_quietVersion = true;
    emit commandStateChanged();
}

bool Gateway7FPanel::send(int code, const QString &deviceKey)
{
    if (m_client->pendingCommand() != Gateway7FClient::None) {
        DialogSeam::warning(m_dialogParent, "warning", u("等待其他操作完成!"));
        return false;
    }
    if (!m_client->isConnected()) {
        DialogSeam::warning(m_dialogParent, "warning", u("请先连接网关!"));
        return false;
    }
    if (code == Gateway7FClient::DeleteDevice) {
        if (deviceKey.isNull())
            return false;
        if (!DialogSeam::confirm(m_dialogParent, u("是否删除"), u("该操作会将网关中") + deviceKey + u("删除"),
                                 u("确定"), u("否")))
            return false;
    }
    // The connection may have dropped while the box was open: the client refuses then.
    if (m_client->sendCommand(code, deviceKey) != Gateway7FClient::Sent)
        return false;
    emit commandStateChanged();
    switch (code) {
    case Gateway7FClient::ReadVersion: emit statusText(u("获取") + m_key + u("网关版本...")); break;
    case Gateway7FClient::GetAllDevices: emit statusText(u("拉取") + m_key + u("网关中所有设备信息...")); break;
    case Gateway7FClient::DeleteDevice:
        emit statusText(u("在网关") + m_key + u("中删除plc设备") + deviceKey + "...");
        break;
    }
    return true;
}

void Gateway7FPanel::sendRaw(const QString &topic, const QString &payload)
{
    // JSON travels as UTF-8, whatever the PC's code page.
    m_client->sendRaw(topic.toUtf8(), payload.toUtf8());
}
