#ifndef DEBUGLOGVIEW_H
#define DEBUGLOGVIEW_H

#include <QDateTime>
#include <QString>
#include <QWidget>

#include <deque>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTextEdit;

// The debug area's log: keeps the last N lines (older ones drop off one by
// one instead of the whole log going at once), shows the categories that are
// ticked, can be paused (lines keep coming in and show on resume) and saved.
class DebugLogView : public QWidget
{
    Q_OBJECT
public:
    enum Category { Report7F = 0, KeepAlive, Command, Ssh, Other, CategoryCount };
    static constexpr int kDefaultMaxLines = 5000;
    static constexpr int kMinLines = 100;
    static constexpr int kMaxLines = 200000;

    // With a view, that text edit (from a form) becomes the log's display and
    // moves into this widget; otherwise one is made.
    explicit DebugLogView(QWidget *parent = nullptr, QTextEdit *view = nullptr);

    static QString categoryName(Category c);

    int maxLines() const { return m_maxLines; }
    bool isPaused() const { return m_paused; }
    bool isShown(Category c) const;
    // Lines held (all categories) and the text on screen.
    int storedLines() const { return int(m_lines.size()); }
    QString shownText() const;
    QTextEdit *textView() const { return m_view; }

    // The shown categories' lines, as on screen (also those that came in
    // while paused); false with the reason when the file cannot be written.
    bool saveToFile(const QString &path, QString *error = nullptr) const;

public slots:
    // One entry; a text with line breaks gives several lines. The first is
    // stamped with the time unless the text carries its own.
    void append(DebugLogView::Category category, const QString &text, bool stamp = true);
    void setMaxLines(int lines);
    void setShown(DebugLogView::Category category, bool shown);
    void setPaused(bool paused);
    void clear();

private slots:
    void onSaveClicked();

private:
    struct Line {
        Category category;
        QString text;
    };
    void trim();
    void rebuild();
    void addToView(const QString &line);
    void updatePauseLabel();

    std::deque<Line> m_lines;
    int m_maxLines = kDefaultMaxLines;
    bool m_shown[CategoryCount];
    bool m_paused = false;
    int m_heldWhilePaused = 0;

    QTextEdit *m_view = nullptr;
    QCheckBox *m_filter[CategoryCount] = {};
    QSpinBox *m_maxSpin = nullptr;
    QPushButton *m_pauseBtn = nullptr;
    QLabel *m_pauseLabel = nullptr;
};

// The SSH shell's console: standard output as it comes, standard error in
// red, the last N lines kept.
class SshConsoleView : public QWidget
{
    Q_OBJECT
public:
    explicit SshConsoleView(QWidget *parent = nullptr);
    QPlainTextEdit *textView() const { return m_view; }
    QString text() const;
    void setMaxLines(int lines);

public slots:
    void appendStdout(const QString &text);
    void appendStderr(const QString &text);
    void clear();

private:
    void insert(const QString &text, bool error);
    void show(const QString &text, bool error);
    QPlainTextEdit *m_view = nullptr;
    // Per stream: the start of a line that may turn out to be one of the
    // flows' status markers, held until its line ends.
    QString m_held[2];
    bool m_midLine[2] = {false, false};  // what was shown last ends inside a line
};

#endif // DEBUGLOGVIEW_H
