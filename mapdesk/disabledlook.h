#ifndef DISABLEDLOOK_H
#define DISABLEDLOOK_H

class QWidget;

// Buttons coloured by a bare style sheet ("background-color: ...") keep
// their colours when disabled and look usable. This scopes such a sheet to
// the enabled state and greys the disabled one, for every button under root.
namespace DisabledLook {
void apply(QWidget *root);
}

#endif // DISABLEDLOOK_H
