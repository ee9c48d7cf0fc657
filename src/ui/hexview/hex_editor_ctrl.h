// The hex viewer: rows of 16 bytes as an offset, hexadecimal units of 1, 2
// or 4 bytes and characters, with a selection that can be copied and, when
// the view is not read-only, bytes that can be typed over in either column.
// Offsets are 64-bit; the data is a block the view keeps a copy of.
#pragma once

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QScrollBar>

#include <cstdint>

namespace tl::ui {

class CHexEditorCtrl : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int kBytesPerRow = 16;
    // More than this many bytes are copied only after a question.
    static constexpr std::int64_t kLargeCopy = 0x10000;

    explicit CHexEditorCtrl(QWidget* parent = nullptr);

    // Shows `data` (the selection, the scroll position and the caret start over).
    void SetData(const QByteArray& data);
    const QByteArray& Data() const { return data_; }
    void SetReadOnly(bool readOnly);
    bool ReadOnly() const { return readOnly_; }
    // 1, 2 or 4 bytes per hexadecimal group.
    void SetUnitSize(int bytes);
    void SetColumns(bool offsets, bool hex, bool characters);

    // The selection as [start, end), or start == end == -1.
    std::int64_t SelectionStart() const { return selStart_; }
    std::int64_t SelectionEnd() const { return selEnd_; }
    void Select(std::int64_t start, std::int64_t end);
    bool HexFocused() const { return hexFocus_; }
    // The text the clipboard gets for the selection: "XX " per byte and a
    // line end after every 16th in the hex column, else the characters.
    QString SelectionText() const;
    // Copies the selection; a large one after the question. False when
    // nothing was copied.
    bool Copy();

signals:
    // A byte was typed over (offset, new value).
    void DataEdited(std::int64_t offset);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool event(QEvent* event) override;

private:
    std::int64_t Rows() const { return (data_.size() + kBytesPerRow - 1) / kBytesPerRow; }
    int VisibleRows() const;
    std::int64_t TopRow() const { return verticalScrollBar()->value(); }
    void UpdateScrollRange();
    // The byte under a point of the viewport, and the column it lies in; -1 outside.
    std::int64_t HitTest(const QPoint& at, bool* inHex) const;
    void MoveCaret(std::int64_t offset, bool extend);
    void EnsureVisible(std::int64_t offset);
    void TypeByte(std::int64_t offset, std::uint8_t value);
    QString CharacterOf(std::uint8_t byte) const;

    QByteArray data_;
    bool readOnly_ = true;
    int unit_ = 1;
    bool showOffsets_ = true, showHex_ = true, showChars_ = true;
    std::int64_t caret_ = 0;
    std::int64_t anchor_ = -1;  // where a Shift or drag selection began
    std::int64_t selStart_ = -1, selEnd_ = -1;
    int nibble_ = 0;  // 0 high, 1 low: the next hex digit typed
    bool hexFocus_ = true;
    bool dragging_ = false;
    // Geometry from the last paint, for hit tests.
    int charWidth_ = 8, lineHeight_ = 16, hexLeft_ = 0, charLeft_ = 0, rowsTop_ = 0;
};

}  // namespace tl::ui
