#ifndef ACLEDITOR_H
#define ACLEDITOR_H

// Inline editor of the Modbus port's client allow-list (mbacl.json): one
// entry per row with its read-only mark and the addresses it covers, a line
// to add entries, and a state line that always says what the lists mean for
// the gateway (who may connect, who may only read). A row is an entry of the
// file's "allow" list or, marked read-only, of its "readOnly" list; keys the
// service ignores ride along unchanged.

#include "aclfile.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QWidget>

class QCheckBox;
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
    // Every row's entry as typed (normalised by the add step; an entry edited
    // in its row stays as typed), read-only or not.
    QStringList entries() const;
    // The rows marked read-only.
    QStringList readOnlyEntries() const;
    // What fileText() writes.
    AclFile::List list() const;
    QByteArray fileText() const;
    bool isModified() const;
    // Cleared after a successful install: the list is then the gateway's.
    void setModified(bool modified);
    // Must be fixed before an install (bad entry, too many entries).
    QStringList errors() const;
    // To confirm before an install: the PC's own address refused or only
    // allowed to read, an entry that allows everyone or makes everyone
    // read-only, an entry covered by another, read-only entries without any
    // read-write one, host bits that the service clears, a kept key that
    // looks like a misspelt list.
    QStringList warnings() const;
    // Another gateway was selected: the list is no longer known to be its.
    void gatewayChanged();
    // The fetch/install buttons (off while a flow runs or without SSH).
    void setGatewayActionsEnabled(bool enabled);

    // Adds one entry as the add button does (read-only: as with its 只读
    // box ticked); false with the reason shown.
    bool addEntry(const QString &text, bool readOnly = false);
    // Ticks or clears a row's 只读 box.
    void setReadOnly(int row, bool readOnly);
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
    void appendRow(const QString &text, bool readOnly);
    bool rowReadOnly(int row) const;
    void showRange(int row);
    void setNote(const QString &text, bool bad);
    void updateState();

    QLineEdit *m_edit;
    QCheckBox *m_addReadOnly;
    QPushButton *m_addBtn;
    QPushButton *m_removeBtn;
    QTableWidget *m_list;
    QLabel *m_state;
    QPushButton *m_getBtn;
    QPushButton *m_putBtn;
    QString m_localAddress;
    QVector<AclFile::OtherKey> m_otherKeys;
    QString m_note;
    bool m_noteBad = false;
    bool m_modified = false;
    bool m_fromGateway = false;
    bool m_filling = false;
};

#endif // ACLEDITOR_H
