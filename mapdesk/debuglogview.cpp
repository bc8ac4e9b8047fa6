#include "debuglogview.h"

#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QRegularExpression>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextStream>
#include <QVBoxLayout>

#include "dialogseam.h"

DebugLogView::DebugLogView(QWidget *parent, QTextEdit *view) : QWidget(parent)
{
    for (bool &s : m_shown)
        s = true;
    // Keep-alives come every few seconds and say nothing: hidden until asked for.
    m_shown[KeepAlive] = false;

    if (view) {
        if (view->parentWidget() && view->parentWidget()->layout())
            view->parentWidget()->layout()->removeWidget(view);
        view->setParent(this);
        m_view = view;
    } else {
        m_view = new QTextEdit(this);
        m_view->setObjectName(QStringLiteral("debugLogText"));
    }
    m_view->setReadOnly(true);
    m_view->setAcceptRichText(false);
    m_view->clear();
    m_view->document()->setMaximumBlockCount(m_maxLines);

    auto *bar = new QHBoxLayout;
    bar->addWidget(new QLabel(QStringLiteral("显示:"), this));
    for (int c = 0; c < CategoryCount; ++c) {
        auto *box = new QCheckBox(categoryName(Category(c)), this);
        box->setObjectName(QStringLiteral("logFilter%1").arg(c));
        box->setChecked(m_shown[c]);
        connect(box, &QCheckBox::toggled, this, [this, c](bool on) { setShown(Category(c), on); });
        m_filter[c] = box;
        bar->addWidget(box);
    }
    bar->addStretch(1);
    bar->addWidget(new QLabel(QStringLiteral("保留行数:"), this));
    m_maxSpin = new QSpinBox(this);
    m_maxSpin->setObjectName(QStringLiteral("logMaxLines"));
    m_maxSpin->setRange(kMinLines, kMaxLines);
    m_maxSpin->setSingleStep(1000);
    m_maxSpin->setValue(m_maxLines);
    connect(m_maxSpin, QOverload<int>::of(&QSpinBox::valueChanged), this, &DebugLogView::setMaxLines);
    bar->addWidget(m_maxSpin);

    auto *bar2 = new QHBoxLayout;
    m_pauseBtn = new QPushButton(QStringLiteral("暂停"), this);
    m_pauseBtn->setObjectName(QStringLiteral("logPauseBtn"));
    m_pauseBtn->setCheckable(true);
    connect(m_pauseBtn, &QPushButton::toggled, this, &DebugLogView::setPaused);
    auto *save = new QPushButton(QStringLiteral("保存到文件..."), this);
    save->setObjectName(QStringLiteral("logSaveBtn"));
    connect(save, &QPushButton::clicked, this, &DebugLogView::onSaveClicked);
    auto *clearBtn = new QPushButton(QStringLiteral("清空"), this);
    clearBtn->setObjectName(QStringLiteral("logClearBtn"));
    connect(clearBtn, &QPushButton::clicked, this, &DebugLogView::clear);
    m_pauseLabel = new QLabel(this);
    m_pauseLabel->setObjectName(QStringLiteral("logPauseLabel"));
    bar2->addWidget(m_pauseBtn);
    bar2->addWidget(save);
    bar2->addWidget(clearBtn);
    bar2->addWidget(m_pauseLabel, 1);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(bar);
    layout->addLayout(bar2);
    layout->addWidget(m_view, 1);
}

QString DebugLogView::categoryName(Category c)
{
    switch (c) {
    case Report7F: return QStringLiteral("7F上报");
    case KeepAlive: return QStringLiteral("心跳");
    case Command: return QStringLiteral("命令");
    case Ssh: return QStringLiteral("SSH");
    case Other: return QStringLiteral("其他");
    default: return QString();
    }
}

bool DebugLogView::isShown(Category c) const
{
    return c >= 0 && c < CategoryCount && m_shown[c];
}

QString DebugLogView::shownText() const
{
    return m_view->toPlainText();
}

void DebugLogView::addToView(const QString &line)
{
    // Plain text always: payloads may hold '<' and must not be taken as markup.
    QTextCursor c(m_view->document());
    c.movePosition(QTextCursor::End);
    if (!m_view->document()->isEmpty())
        c.insertBlock();
    c.insertText(line);
}

void DebugLogView::append(DebugLogView::Category category, const QString &text, bool stampIt)
{
    if (category < 0 || category >= CategoryCount)
        category = Other;
    const QString stamp = stampIt ? QTime::currentTime().toString(QStringLiteral("[HH:mm:ss] ")) : QString();
    QString t = text;
    t.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    while (t.endsWith(QLatin1Char('\n')))
        t.chop(1);
    const QStringList parts = t.split(QLatin1Char('\n'));
    const bool show = m_shown[category] && !m_paused;
    for (int i = 0; i < parts.size(); ++i) {
        // The stamp marks where an entry starts; its further lines are indented.
        const QString line = (i == 0 || !stampIt ? stamp : QStringLiteral("    ")) + parts.at(i);
        m_lines.push_back({category, line});
        if (show) {
            // Keep the view where the user scrolled to, unless it followed the end.
            QScrollBar *sb = m_view->verticalScrollBar();
            const bool atEnd = sb->value() == sb->maximum();
            addToView(line);
            if (atEnd)
                sb->setValue(sb->maximum());
        }
    }
    if (m_paused && m_shown[category]) {
        m_heldWhilePaused += parts.size();
        updatePauseLabel();
    }
    trim();
}

void DebugLogView::trim()
{
    while (int(m_lines.size()) > m_maxLines)
        m_lines.pop_front();
}

void DebugLogView::rebuild()
{
    QStringList shown;
    for (const Line &l : m_lines)
        if (m_shown[l.category])
            shown << l.text;
    m_view->setPlainText(shown.join(QLatin1Char('\n')));
    m_view->moveCursor(QTextCursor::End);
    m_view->verticalScrollBar()->setValue(m_view->verticalScrollBar()->maximum());
}

void DebugLogView::setMaxLines(int lines)
{
    lines = qBound(kMinLines, lines, kMaxLines);
    if (m_maxSpin->value() != lines)
        m_maxSpin->setValue(lines);  // comes back here
    if (lines == m_maxLines)
        return;
    m_maxLines = lines;
    // The view holds at most the shown lines of the store, so it obeys the same cap.
    m_view->document()->setMaximumBlockCount(lines);
    const size_t before = m_lines.size();
    trim();
    if (m_lines.size() != before && !m_paused)
        rebuild();
}

void DebugLogView::setShown(DebugLogView::Category category, bool shown)
{
    if (category < 0 || category >= CategoryCount || m_shown[category] == shown)
        return;
    m_shown[category] = shown;
    if (m_filter[category]->isChecked() != shown)
        m_filter[category]->setChecked(shown);
    if (!m_paused)
        rebuild();
}

void DebugLogView::setPaused(bool paused)
{
    if (m_paused == paused)
        return;
    m_paused = paused;
    if (m_pauseBtn->isChecked() != paused)
        m_pauseBtn->setChecked(paused);
    m_pauseBtn->setText(paused ? QStringLiteral("继续") : QStringLiteral("暂停"));
    m_heldWhilePaused = 0;
    if (!paused)
        rebuild();
    updatePauseLabel();
}

void DebugLogView::updatePauseLabel()
{
    m_pauseLabel->setText(m_paused ? QStringLiteral("已暂停, 新到%1行").arg(m_heldWhilePaused) : QString());
}

void DebugLogView::clear()
{
    m_lines.clear();
    m_view->clear();
    m_heldWhilePaused = 0;
    updatePauseLabel();
}

bool DebugLogView::saveToFile(const QString &path, QString *error) const
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    QTextStream out(&f);
    out.setCodec("UTF-8");
    for (const Line &l : m_lines)
        if (m_shown[l.category])
            out << l.text << '\n';
    out.flush();
    if (f.error() != QFileDevice::NoError) {
        if (error)
            *error = f.errorString();
        return false;
    }
    return true;
}

void DebugLogView::onSaveClicked()
{
    const QString name = QStringLiteral("mapdesk-log-%1.txt")
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss")));
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("保存调试记录"), name,
                                                      QStringLiteral("文本文件 (*.txt)"));
    if (path.isEmpty())
        return;
    QString why;
    if (!saveToFile(path, &why))
        DialogSeam::warning(this, QStringLiteral("warning"), QStringLiteral("保存失败: ") + path + "\n" + why);
}

// ---------------------------------------------------------------- SSH console

SshConsoleView::SshConsoleView(QWidget *parent) : QWidget(parent)
{
    m_view = new QPlainTextEdit(this);
    m_view->setObjectName(QStringLiteral("sshConsoleText"));
    m_view->setReadOnly(true);
    m_view->setMaximumBlockCount(DebugLogView::kDefaultMaxLines);
    QFont mono(QStringLiteral("Monospace"));
    mono.setStyleHint(QFont::TypeWriter);
    m_view->setFont(mono);
    auto *clearBtn = new QPushButton(QStringLiteral("清空"), this);
    clearBtn->setObjectName(QStringLiteral("sshConsoleClearBtn"));
    connect(clearBtn, &QPushButton::clicked, this, &SshConsoleView::clear);
    auto *head = new QHBoxLayout;
    head->addWidget(new QLabel(QStringLiteral("SSH控制台 (标准输出, 标准错误为红色):"), this), 1);
    head->addWidget(clearBtn);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(head);
    layout->addWidget(m_view, 1);
}

QString SshConsoleView::text() const
{
    return m_view->toPlainText();
}

void SshConsoleView::setMaxLines(int lines)
{
    m_view->setMaximumBlockCount(qMax(1, lines));
}

namespace {
const QLatin1String kMarker("__MDK_");

// A marker the flows echo after a command ("__MDK_GETMAP_0", "__MDK_GETMAP_E",
// "__MDK_PID=123"), also at the end of output that had no line end of its own.
const QRegularExpression &markerAtEnd()
{
    static const QRegularExpression re("__MDK_[A-Za-z0-9]+(?:_(?:\\d+|E)|=.*)$");
    return re;
}
} // namespace

void SshConsoleView::insert(const QString &text, bool error)
{
    // The flows' status markers are the tool's, not the gateway's: they go
    // to the debug log only. Chunks split lines anywhere, so the end of a
    // chunk that could still become a marker waits for the rest of its line.
    QString t = m_held[error] + text;
    m_held[error].clear();
    t.replace(QLatin1String("\r\n"), QLatin1String("\n")).remove(QLatin1Char('\r'));
    QString out;
    int start = 0;
    while (start < t.size()) {
        const int nl = t.indexOf(QLatin1Char('\n'), start);
        if (nl < 0) {
            // No line end yet: hold what is or may become a marker (from
            // "__MDK_", or a tail that is the start of it), show the rest now.
            const QString rest = t.mid(start);
            int hold = rest.indexOf(kMarker);
            for (int n = qMin(rest.size(), kMarker.size() - 1); hold < 0 && n > 0; --n)
                if (kMarker.startsWith(rest.right(n)))
                    hold = rest.size() - n;
            out += hold < 0 ? rest : rest.left(hold);
            if (hold >= 0)
                m_held[error] = rest.mid(hold);
            break;
        }
        QString line = t.mid(start, nl - start);
        start = nl + 1;
        const QRegularExpressionMatch m = markerAtEnd().match(line);
        if (m.hasMatch()) {
            line.truncate(m.capturedStart());
            // A marker line of its own goes whole; one behind output keeps that line's end.
            if (line.isEmpty() && !(out.isEmpty() ? m_midLine[error] : !out.endsWith(QLatin1Char('\n'))))
                continue;
        }
        out += line + QLatin1Char('\n');
    }
    if (!out.isEmpty())
        m_midLine[error] = !out.endsWith(QLatin1Char('\n'));
    show(out, error);
}

void SshConsoleView::show(const QString &t, bool error)
{
    if (t.isEmpty())
        return;
    QTextCursor c(m_view->document());
    c.movePosition(QTextCursor::End);
    QTextCharFormat f;
    f.setForeground(error ? QColor(0xcc, 0, 0) : m_view->palette().color(QPalette::Text));
    c.insertText(t, f);
    m_view->verticalScrollBar()->setValue(m_view->verticalScrollBar()->maximum());
}

void SshConsoleView::appendStdout(const QString &text)
{
    insert(text, false);
}

void SshConsoleView::appendStderr(const QString &text)
{
    insert(text, true);
}

void SshConsoleView::clear()
{
    m_held[0].clear();
    m_held[1].clear();
    m_midLine[0] = m_midLine[1] = false;
    m_view->clear();
}
