#ifndef DIALOGSEAM_H
#define DIALOGSEAM_H

#include <QString>
#include <functional>

class QWidget;

// Every message box and confirmation of the tool goes through here. By
// default they are real modal QMessageBoxes; a test installs a responder that
// sees each request and gives the answer instead of a user.
class DialogSeam
{
public:
    enum Kind { Warning, Information, Confirm };

    struct Request {
        Kind kind;
        QString title;
        QString text;
        QString okText;  // Confirm only
        QString noText;  // Confirm only
        bool cautious = false;  // Confirm whose safe answer is No (the default button)
    };

    // Returns true for "proceed" (only meaningful for Confirm).
    using Responder = std::function<bool(const Request &)>;

    static void warning(QWidget *parent, const QString &title, const QString &text);
    static void information(QWidget *parent, const QString &title, const QString &text);
    // OK labelled okText, No labelled noText; anything but No proceeds.
    static bool confirm(QWidget *parent, const QString &title, const QString &text,
                        const QString &okText, const QString &noText);
    // The same for a risky step: a warning icon, and Enter or Escape answer No.
    static bool confirmCautious(QWidget *parent, const QString &title, const QString &text,
                                const QString &okText, const QString &noText);

    // An empty responder restores the real boxes.
    static void setResponder(Responder responder);

private:
    static Responder &responder();
};

#endif // DIALOGSEAM_H
