#ifndef ELIDEDLABEL_H
#define ELIDEDLABEL_H

// A one-line label that never asks for the width of its text: a long text
// is cut with "…" where it ends and shown whole in the tool tip, so a status
// text can neither widen the window nor run into the text beside it.

#include <QLabel>
#include <QString>

class ElidedLabel : public QLabel
{
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    void setFullText(const QString &text);
    QString fullText() const { return m_full; }
    // The width it asks for (0: whatever its layout gives it).
    void setPreferredWidth(int width) { m_preferred = width; updateGeometry(); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void elide();

    QString m_full;
    int m_preferred = 0;
};

#endif // ELIDEDLABEL_H
