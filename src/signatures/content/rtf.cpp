// An RTF document is one group: it ends at the brace that brings the group
// depth back to 0 after the opening "{\rtf" (with a line end right after
// it, when there is one). Braces escaped as "\{" and "\}", the two hex
// digits of "\'hh" and the N raw bytes of "\binN" are passed over. RTF is
// 7-bit text: a NUL or control code before the group closes means the
// bytes are no RTF any more.
#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"

namespace tl::content {
namespace {

class RtfEnd final : public StreamScanner {
    enum class Step { Text, Backslash, Word, Parameter, Hex, Binary, AfterEnd };

    static bool IsLetter(std::uint8_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
    static bool IsDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        for (std::size_t p = 0; p < bytes.size(); ++p) {
            const std::uint8_t c = bytes[p];
            switch (step_) {
            case Step::Binary: {
                // Raw bytes of "\binN": skipped whole.
                const std::uint64_t n = std::min<std::uint64_t>(skip_, bytes.size() - p);
                skip_ -= n;
                p += static_cast<std::size_t>(n) - 1;
                if (skip_ == 0) step_ = Step::Text;
                continue;
            }
            case Step::AfterEnd:
                if ((c == '\r' && !sawLf_ && !sawCr_) || (c == '\n' && !sawLf_)) {
                    sawCr_ |= c == '\r';
                    sawLf_ |= c == '\n';
                    *size_ = at + p + 1;
                    continue;
                }
                return State::Found;
            case Step::Hex:
                if (--skip_ == 0) step_ = Step::Text;
                continue;
            case Step::Word:
                if (IsLetter(c) && wordLength_ < 32) {
                    if (wordLength_ < 3) word_[wordLength_] = static_cast<char>(c | 0x20);
                    ++wordLength_;
                    continue;
                }
                parameter_ = 0;
                parameterDigits_ = 0;
                step_ = Step::Parameter;
                if (c == '-') continue;
                [[fallthrough]];
            case Step::Parameter:
                if (IsDigit(c) && parameterDigits_ < 10) {
                    parameter_ = parameter_ * 10 + (c - '0');
                    ++parameterDigits_;
                    continue;
                }
                step_ = Step::Text;
                if (wordLength_ == 3 && word_[0] == 'b' && word_[1] == 'i' && word_[2] == 'n' && parameterDigits_) {
                    skip_ = parameter_;
                    if (skip_) step_ = Step::Binary;
                    if (c == ' ') continue;  // the delimiter belongs to the word
                    if (skip_) {
                        --skip_;
                        if (skip_ == 0) step_ = Step::Text;
                        continue;
                    }
                }
                if (c == ' ') continue;
                break;  // this byte is text again
            case Step::Backslash:
                if (IsLetter(c)) {
                    wordLength_ = 1;
                    word_[0] = static_cast<char>(c | 0x20);
                    step_ = Step::Word;
                } else if (c == '\'') {
                    skip_ = 2;
                    step_ = Step::Hex;
                } else {
                    step_ = Step::Text;  // a control symbol: "\{", "\}", "\\", "\~" ...
                }
                continue;
            case Step::Text:
                break;
            }
            // Text.
            if (c == '\\') {
                step_ = Step::Backslash;
            } else if (c == '{') {
                ++depth_;
            } else if (c == '}') {
                if (depth_ == 0) return State::GaveUp;
                if (--depth_ == 0) {
                    size_ = at + p + 1;
                    step_ = Step::AfterEnd;
                }
            } else if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') {
                return State::GaveUp;
            }
        }
        return State::Searching;
    }

    Step step_ = Step::Text;
    std::uint64_t depth_ = 0;
    std::uint64_t skip_ = 0;
    char word_[3] = {};
    std::size_t wordLength_ = 0;
    std::uint64_t parameter_ = 0;
    int parameterDigits_ = 0;
    bool sawCr_ = false, sawLf_ = false;
};

}  // namespace

std::unique_ptr<EndScanner> RtfRule(CFoundObject&, Head) { return std::make_unique<RtfEnd>(); }

}  // namespace tl::content
