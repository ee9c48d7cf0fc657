#include "ui/main/log_pane.h"

#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>

namespace tl::ui {
namespace {

// The level tag of a line, after its time stamp when it has one.
QString LevelTag(const QString& line) {
    const int stamp = line.indexOf(QStringLiteral(" - "));
    const QString rest = stamp >= 0 && stamp < 24 ? line.mid(stamp + 3) : line;
    for (const char* tag : {"CRITICALERR: ", "ERR: ", "DBG: "})
        if (rest.startsWith(QLatin1String(tag))) return QString::fromLatin1(tag);
    return {};
}

}  // namespace

CLogPane::CLogPane(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setMaximumBlockCount(kMaxLines);
    setAccessibleName(tr("Log"));
    flushTimer_.setInterval(kFlushMs);
    flushTimer_.setSingleShot(true);
    connect(&flushTimer_, &QTimer::timeout, this, &CLogPane::Flush);
}

void CLogPane::AddLine(const QString& line) {
    waiting_.push_back(line);
    // More lines than the pane keeps: the oldest waiting ones would only be
    // dropped again. Cut in one go once twice too many wait, not line by line.
    if (waiting_.size() >= 2 * kMaxLines) waiting_.erase(waiting_.begin(), waiting_.begin() + (waiting_.size() - kMaxLines));
    if (!flushTimer_.isActive()) flushTimer_.start();
}

void CLogPane::Flush() {
    if (waiting_.isEmpty()) return;
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    const QColor normal = palette().color(QPalette::Text);
    for (const QString& line : waiting_) {
        const QString tag = LevelTag(line);
        QTextCharFormat format;
        if (tag == QLatin1String("ERR: ") || tag == QLatin1String("CRITICALERR: "))
            format.setForeground(QColor(0xB0, 0x00, 0x20));
        else if (tag == QLatin1String("DBG: "))
            format.setForeground(palette().color(QPalette::Disabled, QPalette::Text));
        else
            format.setForeground(normal);
        if (!document()->isEmpty()) cursor.insertBlock();
        cursor.insertText(line, format);
    }
    cursor.endEditBlock();
    waiting_.clear();
    if (atEnd) bar->setValue(bar->maximum());
}

}  // namespace tl::ui
