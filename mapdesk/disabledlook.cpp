#include "disabledlook.h"

#include <QAbstractButton>
#include <QWidget>

namespace DisabledLook {

void apply(QWidget *root)
{
    if (!root)
        return;
    const auto buttons = root->findChildren<QAbstractButton *>();
    for (QAbstractButton *b : buttons) {
        const QString sheet = b->styleSheet().trimmed();
        // Sheets with selectors were written with states in mind; leave them.
        if (sheet.isEmpty() || sheet.contains(QLatin1Char('{')))
            continue;
        const QString cls = QString::fromLatin1(b->metaObject()->className());
        // The sheet stays the base (fonts and all); only the disabled colours are overridden.
        b->setStyleSheet(QStringLiteral("%1{%2}\n%1:disabled{color:#8c8c8c;background-color:#d8d8d8;}")
                             .arg(cls, sheet));
    }
}

} // namespace DisabledLook
