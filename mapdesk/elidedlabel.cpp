#include "elidedlabel.h"

#include <QFontMetrics>
#include <QResizeEvent>

ElidedLabel::ElidedLabel(QWidget *parent)
    : QLabel(parent)
{
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
}

void ElidedLabel::setFullText(const QString &text)
{
    m_full = text;
    // One line: a message's own line breaks become spaces.
    setToolTip(text);
    elide();
}

QSize ElidedLabel::sizeHint() const
{
    const QFontMetrics fm(font());
    const int want = m_preferred > 0 ? qMin(m_preferred, fm.horizontalAdvance(m_full) + 8) : 0;
    return QSize(want, QLabel::sizeHint().height());
}

QSize ElidedLabel::minimumSizeHint() const
{
    return QSize(0, QLabel::minimumSizeHint().height());
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::elide()
{
    QString line = m_full;
    line.replace(QLatin1String("\r\n"), QLatin1String(" ")).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const int room = contentsRect().width();
    QLabel::setText(room > 0 ? fontMetrics().elidedText(line, Qt::ElideRight, room) : line);
}
