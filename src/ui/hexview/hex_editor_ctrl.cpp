#include "ui/hexview/hex_editor_ctrl.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace tl::ui {
namespace {

const QColor kOffsetColour(0, 0, 200);
const QColor kLineColour(200, 200, 200);
constexpr int kOffsetDigitsMin = 8;

}  // namespace

CHexEditorCtrl::CHexEditorCtrl(QWidget* parent) : QAbstractScrollArea(parent) {
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setMouseTracking(true);
    verticalScrollBar()->setSingleStep(1);
    horizontalScrollBar()->setSingleStep(8);
    setAccessibleName(tr("Hex viewer"));
}

void CHexEditorCtrl::SetData(const QByteArray& data) {
    data_ = data;
    caret_ = 0;
    anchor_ = -1;
    selStart_ = selEnd_ = -1;
    nibble_ = 0;
    verticalScrollBar()->setValue(0);
    UpdateScrollRange();
    viewport()->update();
}

void CHexEditorCtrl::SetReadOnly(bool readOnly) {
    readOnly_ = readOnly;
    viewport()->update();
}

void CHexEditorCtrl::SetUnitSize(int bytes) {
    unit_ = bytes == 2 || bytes == 4 ? bytes : 1;
    viewport()->update();
}

void CHexEditorCtrl::SetColumns(bool offsets, bool hex, bool characters) {
    showOffsets_ = offsets;
    showHex_ = hex;
    showChars_ = characters;
    viewport()->update();
}

void CHexEditorCtrl::Select(std::int64_t start, std::int64_t end) {
    start = std::clamp<std::int64_t>(start, 0, data_.size());
    end = std::clamp<std::int64_t>(end, 0, data_.size());
    if (start > end) std::swap(start, end);
    if (start == end)
        selStart_ = selEnd_ = -1;
    else {
        selStart_ = start;
        selEnd_ = end;
    }
    viewport()->update();
}

int CHexEditorCtrl::VisibleRows() const {
    const int height = viewport()->height() - lineHeight_;  // below the header band
    return std::max(1, height / std::max(1, lineHeight_));
}

void CHexEditorCtrl::UpdateScrollRange() {
    const std::int64_t top = std::max<std::int64_t>(0, data_.size() / kBytesPerRow - VisibleRows() + 1);
    verticalScrollBar()->setRange(0, static_cast<int>(std::min<std::int64_t>(top, INT32_MAX)));
    verticalScrollBar()->setPageStep(VisibleRows());
}

void CHexEditorCtrl::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollRange();
}

QString CHexEditorCtrl::CharacterOf(std::uint8_t byte) const {
    return byte >= 0x20 && byte < 0x7F ? QString(QLatin1Char(static_cast<char>(byte))) : QStringLiteral(".");
}

// Columns, in characters from the left edge: the offset digits and two
// blanks, then per unit a blank and its digits (one more blank after the
// eighth byte), two blanks, then one character per byte.
void CHexEditorCtrl::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    const QPalette& pal = palette();
    p.fillRect(viewport()->rect(), pal.color(QPalette::Base));
    p.setFont(font());
    const QFontMetrics fm(font());
    charWidth_ = std::max(1, fm.horizontalAdvance(QLatin1Char('0')));
    lineHeight_ = fm.height();
    if (data_.isEmpty()) return;  // no header, no lines

    int digits = kOffsetDigitsMin;
    for (std::uint64_t last = static_cast<std::uint64_t>(data_.size() - 1) >> 32; last; last >>= 4) ++digits;
    const int offsetChars = showOffsets_ ? digits + 2 : 0;
    const int units = kBytesPerRow / unit_;
    const int hexChars = showHex_ ? units * (1 + 2 * unit_) + 1 : 0;
    hexLeft_ = offsetChars * charWidth_;
    charLeft_ = hexLeft_ + (showHex_ ? (hexChars + 2) * charWidth_ : 0);
    rowsTop_ = lineHeight_ + 2;
    // Wider than the viewport: the columns scroll sideways.
    const int width = charLeft_ + (showChars_ ? kBytesPerRow * charWidth_ : 0) + charWidth_;
    horizontalScrollBar()->setRange(0, std::max(0, width - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
    const int shift = horizontalScrollBar()->value();
    hexLeft_ -= shift;
    charLeft_ -= shift;
    const auto unitX = [&](int byteInRow) {
        const int k = byteInRow / unit_;
        return hexLeft_ + (k * (1 + 2 * unit_) + (k * unit_ >= 8 ? 1 : 0) + 1 + 2 * (byteInRow % unit_)) * charWidth_;
    };

    // The header band and the lines.
    p.setPen(pal.color(QPalette::WindowText));
    if (showOffsets_) p.drawText(QRect(-shift, 0, digits * charWidth_, lineHeight_), Qt::AlignCenter, tr("Offset"));
    if (showHex_)
        for (int b = 0; b < kBytesPerRow; b += unit_) p.drawText(unitX(b), fm.ascent(), QString::number(b, 16).toUpper().rightJustified(2));
    p.setPen(kLineColour);
    p.drawLine(0, lineHeight_ + 1, viewport()->width(), lineHeight_ + 1);
    if (showOffsets_) p.drawLine(hexLeft_ - charWidth_, 0, hexLeft_ - charWidth_, viewport()->height());
    if (showHex_ && showChars_) p.drawLine(charLeft_ - charWidth_, 0, charLeft_ - charWidth_, viewport()->height());

    const QColor text = readOnly_ ? pal.color(QPalette::Disabled, QPalette::Text) : pal.color(QPalette::Text);
    const bool focused = hasFocus();
    const std::int64_t rows = Rows();
    for (std::int64_t row = TopRow(), y = rowsTop_; row < rows && y < viewport()->height(); ++row, y += lineHeight_) {
        const std::int64_t first = row * kBytesPerRow;
        if (showOffsets_) {
            p.setPen(kOffsetColour);
            p.drawText(-shift, static_cast<int>(y) + fm.ascent(),
                       QStringLiteral("%1").arg(static_cast<qulonglong>(first), digits, 16, QLatin1Char('0')).toUpper());
        }
        for (int b = 0; b < kBytesPerRow && first + b < data_.size(); ++b) {
            const std::int64_t at = first + b;
            const auto byte = static_cast<std::uint8_t>(data_[static_cast<qsizetype>(at)]);
            const bool selected = at >= selStart_ && at < selEnd_;
            const bool caret = at == caret_ && focused;
            const auto cell = [&](int x, const QString& s, bool hexColumn) {
                const QRect r(x, static_cast<int>(y), charWidth_ * static_cast<int>(s.size()), lineHeight_);
                QColor ink = text;
                if (selected) {
                    // The focused column in the highlight colours, the other in the button face.
                    const bool active = hexColumn == hexFocus_;
                    p.fillRect(r, active ? pal.color(QPalette::Highlight) : pal.color(QPalette::Button));
                    ink = active ? pal.color(QPalette::HighlightedText) : pal.color(QPalette::WindowText);
                }
                p.setPen(ink);
                p.drawText(r.left(), r.top() + fm.ascent(), s);
                if (caret && hexColumn == hexFocus_) {
                    p.setPen(pal.color(QPalette::Text));
                    const int cx = r.left() + (hexColumn ? nibble_ * charWidth_ : 0);
                    p.drawLine(cx, r.top(), cx, r.bottom());
                }
            };
            if (showHex_) cell(unitX(b), QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper(), true);
            if (showChars_) cell(charLeft_ + b * charWidth_, CharacterOf(byte), false);
        }
    }
}

std::int64_t CHexEditorCtrl::HitTest(const QPoint& at, bool* inHex) const {
    if (data_.isEmpty() || at.y() < rowsTop_) return -1;
    const std::int64_t row = TopRow() + (at.y() - rowsTop_) / std::max(1, lineHeight_);
    int b = -1;
    if (showHex_ && at.x() >= hexLeft_ && at.x() < charLeft_ - charWidth_) {
        // The unit whose cells hold the point.
        for (int k = 0; k < kBytesPerRow; ++k) {
            const int u = k / unit_;
            const int start = hexLeft_ + (u * (1 + 2 * unit_) + (u * unit_ >= 8 ? 1 : 0)) * charWidth_;
            if (at.x() >= start) b = k - k % unit_;
        }
        if (inHex) *inHex = true;
    } else if (showChars_ && at.x() >= charLeft_ && at.x() < charLeft_ + kBytesPerRow * charWidth_) {
        b = (at.x() - charLeft_) / charWidth_;
        if (inHex) *inHex = false;
    }
    if (b < 0) return -1;
    return std::min<std::int64_t>(row * kBytesPerRow + b, data_.size() - 1);
}

void CHexEditorCtrl::EnsureVisible(std::int64_t offset) {
    const std::int64_t row = offset / kBytesPerRow;
    if (row < TopRow())
        verticalScrollBar()->setValue(static_cast<int>(row));
    else if (row >= TopRow() + VisibleRows())
        verticalScrollBar()->setValue(static_cast<int>(row - VisibleRows() + 1));
}

void CHexEditorCtrl::MoveCaret(std::int64_t offset, bool extend) {
    if (data_.isEmpty()) return;
    offset = std::clamp<std::int64_t>(offset, 0, data_.size() - 1);
    if (extend) {
        if (anchor_ < 0) anchor_ = caret_;
        Select(std::min(anchor_, offset), std::max(anchor_, offset) + 1);
    } else {
        anchor_ = -1;
        selStart_ = selEnd_ = -1;
    }
    caret_ = offset;
    nibble_ = 0;
    EnsureVisible(offset);
    viewport()->update();
}

void CHexEditorCtrl::TypeByte(std::int64_t offset, std::uint8_t value) {
    if (offset < 0 || offset >= data_.size()) return;
    data_[static_cast<qsizetype>(offset)] = static_cast<char>(value);
    emit DataEdited(offset);
}

// F6 reaches the view before the focus chain takes it.
bool CHexEditorCtrl::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->matches(QKeySequence::Copy)) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void CHexEditorCtrl::keyPressEvent(QKeyEvent* e) {
    const bool shift = e->modifiers() & Qt::ShiftModifier;
    const bool ctrl = e->modifiers() & Qt::ControlModifier;
    const std::int64_t page = static_cast<std::int64_t>(VisibleRows()) * kBytesPerRow;
    if (e->matches(QKeySequence::Copy)) {
        Copy();
        return;
    }
    switch (e->key()) {
    case Qt::Key_F6:
        hexFocus_ = !hexFocus_;
        nibble_ = 0;
        viewport()->update();
        return;
    case Qt::Key_PageUp: MoveCaret(caret_ - page, shift); return;
    case Qt::Key_PageDown: MoveCaret(caret_ + page, shift); return;
    case Qt::Key_Home: MoveCaret(ctrl ? 0 : caret_ - caret_ % kBytesPerRow, shift); return;
    case Qt::Key_End:
        MoveCaret(ctrl ? data_.size() - 1 : caret_ - caret_ % kBytesPerRow + kBytesPerRow - 1, shift);
        return;
    case Qt::Key_Left: MoveCaret(caret_ - unit_, shift); return;
    case Qt::Key_Right: MoveCaret(caret_ + unit_, shift); return;
    case Qt::Key_Up:
        if (ctrl) {
            verticalScrollBar()->setValue(verticalScrollBar()->value() - 1);
        } else if (caret_ >= kBytesPerRow) {
            MoveCaret(caret_ - kBytesPerRow, shift);
        }
        return;
    case Qt::Key_Down:
        if (ctrl) {
            verticalScrollBar()->setValue(verticalScrollBar()->value() + 1);
        } else if (caret_ + kBytesPerRow < data_.size()) {
            MoveCaret(caret_ + kBytesPerRow, shift);
        }
        return;
    case Qt::Key_Delete:
        if (readOnly_ || !hexFocus_) break;
        for (int i = 0; i < unit_; ++i) TypeByte(caret_ + i, 0);
        viewport()->update();
        return;
    default: break;
    }
    const QString typed = e->text();
    if (typed.isEmpty() || ctrl || !typed.front().isPrint()) {
        QAbstractScrollArea::keyPressEvent(e);
        return;
    }
    if (readOnly_ || data_.isEmpty()) {
        QApplication::beep();
        return;
    }
    const QChar c = typed.front();
    if (hexFocus_) {
        bool ok = false;
        const int digit = QString(c).toInt(&ok, 16);
        if (!ok) {
            QApplication::beep();
            return;
        }
        auto byte = static_cast<std::uint8_t>(data_[static_cast<qsizetype>(caret_)]);
        byte = nibble_ == 0 ? static_cast<std::uint8_t>((digit << 4) | (byte & 0x0F))
                            : static_cast<std::uint8_t>((byte & 0xF0) | digit);
        TypeByte(caret_, byte);
        if (nibble_ == 0) {
            nibble_ = 1;
            viewport()->update();
        } else {
            MoveCaret(caret_ + 1, false);
        }
        return;
    }
    // The character's byte, and a second when it does not fit in one.
    const char16_t unit = c.unicode();
    TypeByte(caret_, static_cast<std::uint8_t>(unit & 0xFF));
    if (unit > 0xFF && caret_ + 1 < data_.size()) {
        TypeByte(caret_ + 1, static_cast<std::uint8_t>(unit >> 8));
        MoveCaret(caret_ + 2, false);
    } else {
        MoveCaret(caret_ + 1, false);
    }
}

void CHexEditorCtrl::mousePressEvent(QMouseEvent* e) {
    setFocus();
    bool inHex = hexFocus_;
    const std::int64_t at = HitTest(e->position().toPoint(), &inHex);
    if (at < 0) return;
    hexFocus_ = inHex;
    MoveCaret(at, false);
    anchor_ = at;
    dragging_ = e->button() == Qt::LeftButton;
}

void CHexEditorCtrl::mouseMoveEvent(QMouseEvent* e) {
    const QPoint at = e->position().toPoint();
    bool inHex = false;
    viewport()->setCursor(HitTest(at, &inHex) >= 0 ? Qt::IBeamCursor : Qt::ArrowCursor);
    if (!dragging_ || !(e->buttons() & Qt::LeftButton)) return;
    // Past the top or bottom edge the view scrolls as the selection grows.
    if (at.y() < rowsTop_) verticalScrollBar()->setValue(verticalScrollBar()->value() - 1);
    if (at.y() > viewport()->height()) verticalScrollBar()->setValue(verticalScrollBar()->value() + 1);
    const QPoint inside(at.x(), std::clamp(at.y(), rowsTop_, viewport()->height() - 1));
    const std::int64_t offset = HitTest(inside, nullptr);
    if (offset < 0 || anchor_ < 0) return;
    caret_ = offset;
    Select(std::min(anchor_, offset), std::max(anchor_, offset) + 1);
}

void CHexEditorCtrl::mouseDoubleClickEvent(QMouseEvent* e) {
    const std::int64_t at = HitTest(e->position().toPoint(), nullptr);
    if (at < 0) return;
    const std::int64_t start = at - at % unit_;
    Select(start, std::min<std::int64_t>(start + unit_, data_.size()));
}

void CHexEditorCtrl::wheelEvent(QWheelEvent* e) {
    // Two rows a notch.
    const int notches = e->angleDelta().y() / 120;
    verticalScrollBar()->setValue(verticalScrollBar()->value() - 2 * notches);
    e->accept();
}

QString CHexEditorCtrl::SelectionText() const {
    QString text;
    if (selStart_ < 0 || selEnd_ <= selStart_) return text;
    for (std::int64_t i = selStart_; i < selEnd_; ++i) {
        const auto byte = static_cast<std::uint8_t>(data_[static_cast<qsizetype>(i)]);
        if (hexFocus_) {
            text += QStringLiteral("%1 ").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
            if ((i - selStart_ + 1) % kBytesPerRow == 0) text += QStringLiteral("\r\n");
        } else {
            text += CharacterOf(byte);
        }
    }
    return text;
}

bool CHexEditorCtrl::Copy() {
    if (selStart_ < 0 || selEnd_ <= selStart_) return false;
    if (selEnd_ - selStart_ > kLargeCopy &&
        QMessageBox::question(this, tr("Error"),
                              tr("You are copying a large amount of data to the clipboard.\nAre you sure you want to do this?")) !=
            QMessageBox::Yes)
        return false;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QApplication::clipboard()->setText(SelectionText());
    QApplication::restoreOverrideCursor();
    return true;
}

}  // namespace tl::ui
