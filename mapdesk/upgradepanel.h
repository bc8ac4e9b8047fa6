#ifndef UPGRADEPANEL_H
#define UPGRADEPANEL_H

// The upgrade tab: for the gateway program and busrelay, the package found
// in the TFTP root (its version or what is wrong with it), the running
// version, and the upgrade button that is enabled only for a package that
// can be installed. A re-scan when the tab is shown or by its button is
// quiet: the labels say what was found. An upgrade re-reads its own package
// before it asks and before it sends, and boxes only about that one. The
// checks before sending are UpgradeRules'; the flows RemoteActions'.

#include <QObject>
#include <QString>

#include <functional>

#include "upgraderules.h"

class QLabel;
class QPushButton;
class QTabWidget;
class QTimer;
class QWidget;
class RemoteActions;
class RemoteFlowRunner;

class UpgradePanel : public QObject
{
    Q_OBJECT
public:
    struct Widgets
    {
        QPushButton *upgradeButton = nullptr;
        QLabel *packageVersion = nullptr;  // the package in the TFTP root
        QLabel *currentVersion = nullptr;  // the running program
    };
    // Typing a root path changes it on every key; check once typing pauses.
    static const int kRootCheckDelayMs = 800;

    // root: the TFTP root now. Boxes open over dialogParent.
    UpgradePanel(const Widgets (&programs)[UpgradeRules::Count], RemoteActions *actions,
                 std::function<QString()> root, QWidget *dialogParent, QObject *parent = nullptr);

    // What a program's package in root holds: its version, or why it cannot be
    // installed (refusal, the box's text) with the label's shorter text.
    struct Reading
    {
        QString version;
        QString refusal;  // empty: it can be installed
        QString shown;
    };
    static Reading readPackage(int program, const QString &root);

    QLabel *versionLabel(int program, bool package) const;
    // A package copied into the root while the tool runs is found when the
    // tab is shown, or by the button; rootLabel names the folder read.
    void attachTab(QTabWidget *tabs, QWidget *tab, QPushButton *rescan, QLabel *rootLabel);
    // Re-reads both packages into their labels and buttons; unless quiet (at
    // start, when the tab is shown, by its button) a box says what is wrong
    // with each, as after the root changed.
    void checkPackages(bool quiet = false);
    // The root path is being edited: check when the typing pauses.
    void rootEdited();
    void upgrade(int program);
    // The version busrelay's version file holds, fetched by its flow.
    void getRelayVersion();
    void relayVersionFetched(const QString &path);
    // How the gateway program's version is read again (its 7F command, quiet).
    void setGatewayVersionRefresh(std::function<void()> refresh) { m_refreshGateway = std::move(refresh); }
    // Both running versions read again without boxes: after every upgrade flow.
    void refreshVersions();

signals:
    // Both packages were read (the root they were read in).
    void packagesChecked(QString root);

private:
    // Reads one package into its label and button; returns what keeps it from
    // being installed (the text for a box), or empty.
    QString checkPackage(int program, const QString &root);
    void flowFinished(int code, bool ok);

    Widgets m_w[UpgradeRules::Count];
    RemoteActions *m_actions;
    RemoteFlowRunner *m_runner;
    std::function<QString()> m_root;
    std::function<void()> m_refreshGateway;
    QWidget *m_dialogParent;
    QTimer *m_rootCheck;
};

#endif // UPGRADEPANEL_H
