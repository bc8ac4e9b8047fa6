#ifndef ACLEDITOR_H
#define ACLEDITOR_H

// Inline editor of the Modbus port's client allow-list (mbacl.json): one
// entry per row with the addresses it covers, a line to add entries, and a
// state line that always says what the list means for the gateway.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QTableWidgetItem;

class AclEditor : public QWidget
{
    Q_OBJECT

public:
    explicit AclEditor(QWidget *parent = nullptr);

    // The PC's address towards the gateway (the tool's own Modbus test panel
    // connects from it).
    void setLocalAddress(const QString &ipv4);
    // Replaces the list with a fetched file's content; false (list untouched)
    // with the reason when the service would refuse the file. Marks the list
    // unmodified and as the gateway's.
    bool loadFileText(const QByteArray &text, QString *error);
    // As typed (normalised by the add step; an entry edited in its row stays
    // as typed).
    QStringList entries() const;
    QByteArray fileText() const;
    bool isModified() const;
    // Cleared after a successful install: the list is then the gateway's.
    void setModified(bool modified);
    // Must be fixed before an install (bad entry, too many entries).
    QStringList errors() const;
    // To confirm before an install: the PC's own address not allowed, an
    // entry that allows everyone, an entry covered by another, host bits that
    // the service clears.
    QStringList warnings() const;
    // Another gateway was selected: the list is no longer known to be its.
    void gatewayChanged();
    // The fetch/install buttons (off while a flow runs or without SSH).
    void setGatewayActionsEnabled(bool enabled);

    // Adds one entry as the add button does; false with the reason shown.
    bool addEntry(const QString &text);
    // Removes the selected rows; the number removed.
    int removeSelected();

signals:
    void fetchRequested();
    // Only with no errors and the warnings confirmed.
    void installRequested();
    void modifiedChanged(bool modified);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void onAddClicked();
    void onItemChanged(QTableWidgetItem *item);
    void onFetchClicked();
    void onInstallClicked();

private:
    void appendRow(const QString &text);
    void showRange(int row);
    void setNote(const QString &text, bool bad);
    void updateState();

    QLineEdit *m_edit;
    QPushButton *m_addBtn;
    QPushButton *m_removeBtn;
    QTableWidget *m_list;
    QLabel *m_state;
    QPushButton *m_getBtn;
    QPushButton *m_putBtn;
    QString m_localAddress;
    QString m_note;
    bool m_noteBad = false;
    bool m_modified = false;
    bool m_fromGateway = false;
    bool m_filling = false;
};

#endif // ACLEDITOR_H
