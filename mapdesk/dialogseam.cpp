#include "dialogseam.h"

#include <QMessageBox>

DialogSeam::Responder &DialogSeam::responder()
{
    static Responder r;
    return r;
}

void DialogSeam::setResponder(Responder r)
{
    responder() = std::move(r);
}

void DialogSeam::warning(QWidget *parent, const QString &title, const QString &text)
{
    if (responder()) {
        responder()(Request{Warning, title, text, QString(), QString()});
        return;
    }
    QMessageBox::warning(parent, title, text, QMessageBox::Ok);
}

void DialogSeam::information(QWidget *parent, const QString &title, const QString &text)
{
    if (responder()) {
        responder()(Request{Information, title, text, QString(), QString()});
        return;
    }
    QMessageBox::information(parent, title, text, QMessageBox::Ok);
}

bool DialogSeam::confirm(QWidget *parent, const QString &title, const QString &text,
                         const QString &okText, const QString &noText)
{
    if (responder())
        return responder()(Request{Confirm, title, text, okText, noText});

    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Ok | QMessageBox::No, parent);
    box.setButtonText(QMessageBox::Ok, okText);
    box.setButtonText(QMessageBox::No, noText);
    return box.exec() != QMessageBox::No;
}

bool DialogSeam::confirmCautious(QWidget *parent, const QString &title, const QString &text,
                                 const QString &okText, const QString &noText)
{
    if (responder())
        return responder()(Request{Confirm, title, text, okText, noText, true});

    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok | QMessageBox::No, parent);
    box.setButtonText(QMessageBox::Ok, okText);
    box.setButtonText(QMessageBox::No, noText);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Ok;
}
