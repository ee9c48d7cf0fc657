// Documents that are text: web pages, XML, contact cards, calendars and
// PostScript. Each ends with a closing mark ("</html>", the root element's
// end tag, "END:VCARD", "END:VCALENDAR", "%%EOF"), perhaps with a line end
// after it. A file may hold the mark more than once (a contacts file holds
// one card after another, a PostScript file embeds documents that end with
// their own "%%EOF"), so the file ends after the last mark met before its
// text stops: at the first byte that no text holds (a NUL, a control code),
// which is what the slack after a file on a disk, or the next binary file,
// begins with. A text that stops without any mark ends where it stops.
//
// PostScript may carry binary data, so there the text does not stop at a
// control code; instead, after each "%%EOF" at the start of a line, the file
// goes on only when a line of text follows.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"

namespace tl::content {
namespace {

// A code of no text in any 8-bit, UTF-8 or UTF-16 encoding: C0 controls
// but tab, line feed, vertical tab, form feed and carriage return; DEL; and
// the two non-characters a UTF-16 text never holds.
constexpr bool IsTextCode(std::uint32_t c) {
    return c >= 0x20 ? c != 0x7F && c != 0xFFFE && c != 0xFFFF : (c >= 0x09 && c <= 0x0D);
}

constexpr std::uint32_t Lower(std::uint32_t c) { return c >= 'A' && c <= 'Z' ? c | 0x20 : c; }

class TextEnd final : public StreamScanner {
public:
    // Closed before the text stops: after its last mark, if it had one.
    std::optional<std::uint64_t> Size() const override { return size_ ? size_ : candidate_; }
    // A text runs on into a text that follows it at once: the next file
    // found ends it.
    bool Encloses() const override { return false; }

    struct Options {
        std::string mark;           // the closing mark (ASCII)
        bool ignoreCase = false;    // the mark in any case
        bool atLineStart = false;   // the mark counts only at the start of a line
        bool binaryInside = false;  // control codes do not end the text (PostScript)
        int unit = 1;               // 2 for UTF-16LE text
    };
    explicit TextEnd(Options options) : o_(std::move(options)) {
        for (char c : o_.mark) mark_.push_back(o_.ignoreCase ? Lower(static_cast<std::uint8_t>(c)) : static_cast<std::uint8_t>(c));
        // Where a broken match goes on ("%%%EOF" still holds "%%EOF").
        back_.assign(mark_.size() + 1, 0);
        for (std::size_t i = 1, k = 0; i < mark_.size(); ++i) {
            while (k && mark_[i] != mark_[k]) k = back_[k];
            if (mark_[i] == mark_[k]) ++k;
            back_[i + 1] = k;
        }
    }

private:
    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        for (std::size_t p = 0; p < bytes.size(); ++p) {
            std::uint32_t code = bytes[p];
            if (o_.unit == 2) {
                if (!haveLow_) {
                    low_ = bytes[p];
                    haveLow_ = true;
                    continue;
                }
                haveLow_ = false;
                code = low_ | (code << 8);
            }
            const std::uint64_t end = at + p + 1;  // after this code
            if (!IsTextCode(code) && (!o_.binaryInside || probation_))
                return Ends(candidate_ ? *candidate_ : end - static_cast<std::uint64_t>(o_.unit));
            // A line end right after the mark belongs to the file.
            if (lineEnd_ == 1 && code == '\r') {
                candidate_ = end;
                lineEnd_ = 2;
                continue;
            }
            if (lineEnd_ != 0 && code == '\n') {
                candidate_ = end;
                lineEnd_ = 0;
                lineStart_ = true;
                continue;
            }
            lineEnd_ = 0;
            if (probation_) {
                // After a PostScript "%%EOF" the document goes on only when a
                // line of plain ASCII follows (another document's header, a
                // comment); the bytes after a file's end rarely make one.
                if (code == '\n' || code == '\r') {
                    if (lineText_ >= 2) probation_ = false;
                    else if (lineText_ != 0) return Ends(*candidate_);
                } else if (code < 0x20 || code > 0x7E || (lineText_ == 0 && code == ' ') || ++lineText_ > 255) {
                    return Ends(*candidate_);
                }
            }
            Match(code, end);
            lineStart_ = code == '\n' || code == '\r';
        }
        return State::Searching;
    }

    void Match(std::uint32_t code, std::uint64_t end) {
        if (mark_.empty()) return;
        const std::uint32_t k = o_.ignoreCase ? Lower(code) : code;
        if (matched_ == 0 && o_.atLineStart && !lineStart_ && end != static_cast<std::uint64_t>(o_.unit)) return;
        while (matched_ && k != mark_[matched_]) matched_ = back_[matched_];
        if (k == mark_[matched_]) ++matched_;
        if (matched_ < mark_.size()) return;
        matched_ = 0;
        candidate_ = end;
        lineEnd_ = 1;
        if (o_.binaryInside) {
            probation_ = true;
            lineText_ = 0;
        }
    }

    Options o_;
    std::vector<std::uint32_t> mark_;
    std::vector<std::size_t> back_;
    std::size_t matched_ = 0;
    std::optional<std::uint64_t> candidate_;  // after the last mark (and its line end)
    int lineEnd_ = 0;  // 1: a CR or LF may follow the mark; 2: an LF may follow its CR
    bool lineStart_ = true;
    bool probation_ = false;
    std::size_t lineText_ = 0;
    bool haveLow_ = false;
    std::uint32_t low_ = 0;
};

std::unique_ptr<EndScanner> Text(std::string mark, bool ignoreCase) {
    TextEnd::Options o;
    o.mark = std::move(mark);
    o.ignoreCase = ignoreCase;
    return std::make_unique<TextEnd>(std::move(o));
}

// The name of an XML document's root element: after the declaration,
// comments, processing instructions and the document type (with its
// internal subset), the first start tag. Empty when the head does not show it.
std::string RootElementName(std::string_view t) {
    std::size_t p = 0;
    for (int guard = 0; guard < 256 && p < t.size(); ++guard) {
        p = t.find('<', p);
        if (p == std::string_view::npos || p + 1 >= t.size()) return {};
        if (t.compare(p, 4, "<!--") == 0) {
            p = t.find("-->", p + 4);
            if (p == std::string_view::npos) return {};
            p += 3;
        } else if (t[p + 1] == '?') {
            p = t.find("?>", p + 2);
            if (p == std::string_view::npos) return {};
            p += 2;
        } else if (t[p + 1] == '!') {
            // <!DOCTYPE ...> with an internal subset in brackets.
            int depth = 0;
            for (++p; p < t.size(); ++p) {
                if (t[p] == '[') ++depth;
                else if (t[p] == ']') --depth;
                else if (t[p] == '>' && depth <= 0) break;
            }
            if (p >= t.size()) return {};
            ++p;
        } else {
            std::size_t e = p + 1;
            while (e < t.size() && e - p <= 256 && t[e] != '>' && t[e] != '/' && t[e] != ' ' && t[e] != '\t' && t[e] != '\r' && t[e] != '\n') ++e;
            if (e >= t.size() || e == p + 1 || e - p > 256) return {};
            return std::string(t.substr(p + 1, e - p - 1));
        }
    }
    return {};
}

}  // namespace

std::unique_ptr<EndScanner> HtmlRule(CFoundObject&, Head) { return Text("</html>", true); }
std::unique_ptr<EndScanner> VCardRule(CFoundObject&, Head) { return Text("END:VCARD", true); }
std::unique_ptr<EndScanner> CalendarRule(CFoundObject&, Head) { return Text("END:VCALENDAR", true); }

std::unique_ptr<EndScanner> XmlRule(CFoundObject&, Head head) {
    TextEnd::Options o;
    const std::size_t n = std::min<std::size_t>(head.size(), 64 * 1024);
    if (n >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
        // UTF-16LE: the ASCII of the head's units, to find the root's name.
        std::string ascii;
        for (std::size_t i = 2; i + 1 < n; i += 2) ascii += head[i + 1] == 0 ? static_cast<char>(head[i]) : '?';
        const std::string name = RootElementName(ascii);
        if (!name.empty()) o.mark = "</" + name + ">";
        o.unit = 2;
    } else {
        const std::string name = RootElementName(std::string_view(reinterpret_cast<const char*>(head.data()), n));
        if (!name.empty()) o.mark = "</" + name + ">";
    }
    return std::make_unique<TextEnd>(std::move(o));
}

std::unique_ptr<EndScanner> PostScriptRule(CFoundObject&, Head) {
    TextEnd::Options o;
    o.mark = "%%EOF";
    o.atLineStart = true;
    o.binaryInside = true;
    return std::make_unique<TextEnd>(std::move(o));
}

}  // namespace tl::content
