// The log pane: every line of the event log as it arrives, errors in red and
// debug lines muted. A worker may log thousands of lines a second: lines are
// gathered and appended in one batch per tick, so the GUI thread never
// draws line by line.
#pragma once

#include <QPlainTextEdit>
#include <QStringList>
#include <QTimer>

namespace tl::ui {

class CLogPane : public QPlainTextEdit {
    Q_OBJECT
public:
    static constexpr int kFlushMs = 100;
    // The pane keeps this many lines (the log file keeps every one).
    static constexpr int kMaxLines = 10000;

    explicit CLogPane(QWidget* parent = nullptr);

    // A line of the log (message 32873).
    void AddLine(const QString& line);
    // Writes what waits now.
    void Flush();

private:
    QStringList waiting_;
    QTimer flushTimer_;
};

}  // namespace tl::ui
