#ifndef QTTRANSLATION_H
#define QTTRANSLATION_H

// Qt's own texts (file dialogs, standard buttons, context menus) in the
// tool's language, so a Chinese UI has no English boxes in it.

class QCoreApplication;

namespace QtTranslation {
// Looks in Qt's translation folder (Linux), then in "translations" beside the
// program (the Windows zip). False when no catalogue was found.
bool loadChinese(QCoreApplication *app);
} // namespace QtTranslation

#endif // QTTRANSLATION_H
