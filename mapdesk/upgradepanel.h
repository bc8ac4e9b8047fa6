#ifndef UPGRADEPANEL_H
#define UPGRADEPANEL_H

// The upgrade tab: for the gateway program and busrelay, the package found
// in the TFTP root (its version or what is wrong with it), the running
// version, and the upgrade button that is enabled only for a package whose
// digest matches. The checks before sending are UpgradeRules'; the flows
// RemoteActions'.

#include <QObject>
#include <QString>

#include <functional>

#include "upgraderules.h"

class QLabel;
class QPushButton;
class QTimer;
class QWidget;
class RemoteActions;

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

    QLabel *versionLabel(int program, bool package) const;
    // Re-reads both packages; quiet: the findings go into the labels, not into boxes.
    void checkPackages(bool quiet = false);
    // The root path is being edited: check when the typing pauses.
    void rootEdited();
    void upgrade(int program);
    // The version busrelay's version file holds, fetched by its flow.
    void getRelayVersion();
    void relayVersionFetched(const QString &path);

private:
    Widgets m_w[UpgradeRules::Count];
    RemoteActions *m_actions;
    std::function<QString()> m_root;
    QWidget *m_dialogParent;
    QTimer *m_rootCheck;
};

#endif // UPGRADEPANEL_H
