#ifndef DISABLEDLOOK_H
#define DISABLEDLOOK_H

class QWidget;

// Buttons coloured by a bare style sheet ("background-color: ...") keep
// their colours when disabled and look usable. This turns such a sheet into
// the button's base rule and adds grey colours for the disabled state, for
// every button under root.
namespace DisabledLook {
void apply(QWidget *root);
}

#endif // DISABLEDLOOK_H
