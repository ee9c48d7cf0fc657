#include "signatures/content_rules.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "storage/little_endian.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tl {
namespace {

std::uint32_t GetBE32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// The first i in [0, n-1) where p[i] is `a` and p[i+1] is `b` (with
// `notB`: anything but `b`); n when there is none. Sixteen positions at a
// time where the processor allows: end scanners run over every byte that
// follows an unfinished file, up to its type's default size.
std::size_t FindPair(const std::uint8_t* p, std::size_t n, std::uint8_t a, std::uint8_t b, bool notB = false) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a)), vb = _mm_set1_epi8(static_cast<char>(b));
    for (; i + 17 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
        const __m128i second = notB ? _mm_andnot_si128(_mm_cmpeq_epi8(y, vb), _mm_set1_epi8(-1)) : _mm_cmpeq_epi8(y, vb);
        const int mask = _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(x, va), second));
        if (mask) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    for (; i + 1 < n; ++i)
        if (p[i] == a && ((p[i + 1] == b) != notB)) return i;
    return n;
}

// A scanner that is told, with each call's bytes, the file position of
// their first byte.
class StreamScanner : public EndScanner {
public:
    State Feed(std::span<const std::uint8_t> bytes) final {
        const State state = Scan(bytes, position_);
        position_ += bytes.size();
        return state;
    }
    std::optional<std::uint64_t> Size() const override { return size_; }

protected:
    virtual State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) = 0;
    State Ends(std::uint64_t size) {
        size_ = size;
        return State::Found;
    }
    std::optional<std::uint64_t> size_;

private:
    std::uint64_t position_ = 0;
};

// A scanner for a record of `Need` bytes that may straddle two calls: the
// bytes of each call are searched in place, and the last Need-1 of them
// are kept to be searched with the start of the next call.
template <std::size_t Need>
class WindowScanner : public StreamScanner {
protected:
    // Tests the record at `p` (Need bytes readable); `at` is the file position of p.
    virtual bool Test(const std::uint8_t* p, std::uint64_t at) = 0;
    // The record's first two bytes.
    virtual std::uint8_t FirstByte() const = 0;
    virtual std::uint8_t SecondByte() const = 0;

    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        // Records that begin in the kept bytes.
        if (keptBytes_) {
            std::uint8_t joint[2 * Need];
            const std::size_t more = std::min(bytes.size(), Need - 1);
            std::memcpy(joint, kept_, keptBytes_);
            std::memcpy(joint + keptBytes_, bytes.data(), more);
            const std::size_t n = keptBytes_ + more;
            const std::uint64_t base = at - keptBytes_;
            std::size_t p = 0;
            for (; p < keptBytes_ && p + Need <= n; ++p)
                if (joint[p] == FirstByte() && Test(joint + p, base + p)) return State::Found;
            if (p < keptBytes_) {  // too few bytes came to test them all
                keptBytes_ = n - p;
                std::memmove(kept_, joint + p, keptBytes_);
                return State::Searching;
            }
        }
        const std::uint8_t* d = bytes.data();
        const std::size_t n = bytes.size();
        for (std::size_t p = 0; n >= Need && p <= n - Need;) {
            // Records begin at n - Need at the latest; their second byte is one further.
            const std::size_t hit = FindPair(d + p, n - Need + 2 - p, FirstByte(), SecondByte());
            if (hit == n - Need + 2 - p) break;
            p += hit;
            if (Test(d + p, at + p)) return State::Found;
            ++p;
        }
        keptBytes_ = std::min(n, Need - 1);
        std::memcpy(kept_, d + n - keptBytes_, keptBytes_);
        return State::Searching;
    }

private:
    std::uint8_t kept_[Need] = {};
    std::size_t keptBytes_ = 0;
};

// ------------------------------------------------------------------ JPEG
// The segments are walked by their lengths, so that the end marker of a
// thumbnail inside an APP1 segment is passed over; after a start of scan
// the entropy-coded data runs to the next marker that is neither a stuffed
// 0xFF nor a restart marker. The file ends after the end-of-image marker.
class JpegEnd final : public StreamScanner {
    enum class Step { Skip, MarkerStart, MarkerCode, LengthHigh, LengthLow, Entropy, EntropyMarker };

    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        const std::uint8_t* const begin = bytes.data();
        const std::uint8_t* const end = begin + bytes.size();
        const std::uint8_t* p = begin;
        while (p < end) {
            switch (step_) {
            case Step::Skip: {
                const std::uint64_t n = std::min<std::uint64_t>(skip_, static_cast<std::uint64_t>(end - p));
                p += n;
                skip_ -= n;
                if (skip_ == 0) step_ = afterSkip_;
                break;
            }
            case Step::MarkerStart:
                if (*p++ != 0xFF) return State::GaveUp;
                step_ = Step::MarkerCode;
                break;
            case Step::MarkerCode: {
                const std::uint8_t code = *p++;
                if (code == 0xFF) break;  // fill byte
                if (code == 0xD9) return Ends(at + static_cast<std::uint64_t>(p - begin));
                if (code == 0x00 || code == 0xD8) return State::GaveUp;
                if (code == 0x01 || (code >= 0xD0 && code <= 0xD7)) step_ = Step::MarkerStart;
                else {
                    code_ = code;
                    step_ = Step::LengthHigh;
                }
                break;
            }
            case Step::LengthHigh:
                length_ = static_cast<std::uint16_t>(*p++ << 8);
                step_ = Step::LengthLow;
                break;
            case Step::LengthLow:
                length_ = static_cast<std::uint16_t>(length_ | *p++);
                if (length_ < 2) return State::GaveUp;
                skip_ = length_ - 2u;
                afterSkip_ = code_ == 0xDA ? Step::Entropy : Step::MarkerStart;
                step_ = skip_ ? Step::Skip : afterSkip_;
                break;
            case Step::Entropy: {
                // The next 0xFF that is not a stuffed one; one at the very
                // end is decided by the next byte.
                const std::size_t n = static_cast<std::size_t>(end - p);
                const std::size_t ff = FindPair(p, n, 0xFF, 0x00, true);
                if (ff < n) {
                    p += ff + 1;
                    step_ = Step::EntropyMarker;
                } else {
                    if (end[-1] == 0xFF) step_ = Step::EntropyMarker;
                    p = end;
                }
                break;
            }
            case Step::EntropyMarker: {
                const std::uint8_t code = *p++;
                if (code == 0x00 || (code >= 0xD0 && code <= 0xD7)) step_ = Step::Entropy;
                else if (code == 0xD9) return Ends(at + static_cast<std::uint64_t>(p - begin));
                else if (code != 0xFF) {  // a table, or the next scan of a progressive picture
                    code_ = code;
                    step_ = Step::LengthHigh;
                }
                break;
            }
            }
        }
        return State::Searching;
    }

    Step step_ = Step::Skip;  // over the start-of-image marker
    Step afterSkip_ = Step::MarkerStart;
    std::uint64_t skip_ = 2;
    std::uint8_t code_ = 0;
    std::uint16_t length_ = 0;
};

// ------------------------------------------------------------------- PNG
// After the 8-byte signature, chunks of a 4-byte big-endian length, a
// 4-byte type, the data and a 4-byte CRC; the file ends after the IEND
// chunk. A length above 2^31-1 or a type that is not four letters is no
// PNG any more.
class PngEnd final : public StreamScanner {
    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        std::size_t p = 0;
        while (p < bytes.size()) {
            if (skip_) {
                const std::uint64_t n = std::min<std::uint64_t>(skip_, bytes.size() - p);
                p += static_cast<std::size_t>(n);
                skip_ -= n;
                if (skip_ == 0 && last_) return Ends(at + p);
                continue;
            }
            header_[have_++] = bytes[p++];
            if (have_ < 8) continue;
            have_ = 0;
            const std::uint32_t length = GetBE32(header_);
            for (int i = 4; i < 8; ++i) {
                const std::uint8_t c = static_cast<std::uint8_t>(header_[i] | 0x20);
                if (c < 'a' || c > 'z') return State::GaveUp;
            }
            if (length > 0x7FFFFFFFu) return State::GaveUp;
            last_ = std::memcmp(header_ + 4, "IEND", 4) == 0;
            skip_ = std::uint64_t{length} + 4;  // data and CRC
        }
        return State::Searching;
    }

    std::uint64_t skip_ = 8;  // the signature
    std::uint8_t header_[8] = {};
    std::size_t have_ = 0;
    bool last_ = false;
};

// ------------------------------------------------------------------- PDF
// A PDF ends after its last "%%EOF" (and the line end after it): a file
// updated in place, or linearised, has more than one. After each "%%EOF"
// the next bytes tell whether the document goes on (an object number, an
// "xref" or a "trailer" after white space) or ends there.
class PdfEnd final : public StreamScanner {
    static constexpr std::string_view kEof = "%%EOF";
    static constexpr std::size_t kMaxBlank = 64;

    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        std::size_t p = 0;
        while (p < bytes.size()) {
            const std::uint8_t c = bytes[p];
            if (after_) {
                // Deciding what follows the last "%%EOF".
                if (lineEnd_ < 2 && (c == '\n' || (c == '\r' && lineEnd_ == 0))) {
                    ++lineEnd_;
                    ++*size_;
                    if (c == '\n') lineEnd_ = 2;
                    ++p;
                    continue;
                }
                lineEnd_ = 2;
                if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == 0) {
                    if (++blank_ > kMaxBlank) return State::Found;
                    ++p;
                    continue;
                }
                after_ = false;
                if (!((c >= '0' && c <= '9') || c == 'x' || c == 't')) return State::Found;
                continue;  // the document goes on: search again from this byte
            }
            if (matched_ == 0) {
                // The next "%%"; a '%' at the very end may begin one.
                const std::size_t n = bytes.size() - p;
                const std::size_t hit = FindPair(bytes.data() + p, n, '%', '%');
                if (hit == n && bytes.back() != '%') break;
                p += hit == n ? n - 1 : hit;
            }
            const std::uint8_t b = bytes[p++];
            if (b == static_cast<std::uint8_t>(kEof[matched_])) {
                if (++matched_ == kEof.size()) {
                    size_ = at + p;
                    matched_ = 0;
                    after_ = true;
                    lineEnd_ = 0;
                    blank_ = 0;
                }
            } else {
                // A '%' that breaks the match may begin the next one: after
                // "%%" it keeps two ("%%%EOF"), after "%%E" or "%%EO" one.
                matched_ = b == '%' ? (matched_ == 2 ? 2 : 1) : 0;
            }
        }
        return State::Searching;
    }

    std::size_t matched_ = 0;
    bool after_ = false;
    int lineEnd_ = 0;
    std::size_t blank_ = 0;
};

// ------------------------------------------------------------------- ZIP
// A ZIP archive ends with its end-of-central-directory record (22 bytes and
// a comment). The record is taken when its central directory ends right
// before it, counted from the archive's start (which passes over the record
// of an archive stored inside this one), or when it defers to the ZIP64
// record.
class ZipEnd final : public WindowScanner<22> {
    std::uint8_t FirstByte() const override { return 'P'; }
    std::uint8_t SecondByte() const override { return 'K'; }
    bool Test(const std::uint8_t* p, std::uint64_t at) override {
        if (GetU32(p) != 0x06054B50) return false;
        const std::uint32_t cdSize = GetU32(p + 12), cdOffset = GetU32(p + 16);
        const bool zip64 = cdSize == 0xFFFFFFFFu || cdOffset == 0xFFFFFFFFu;
        if (!zip64 && std::uint64_t{cdOffset} + cdSize != at) return false;
        Ends(at + 22 + GetU16(p + 20));
        return true;
    }
};

// The document kind of a ZIP archive from its entry names, walked through
// the local headers in `head`: the Office Open XML kinds by their part
// folders, once a package entry ("[Content_Types].xml", "_rels/") shows
// that the archive is such a package.
std::int16_t ZipDocumentType(std::span<const std::uint8_t> head, bool package) {
    constexpr std::size_t kHeader = 30;
    constexpr int kMaxEntries = 256;
    std::int16_t kind = 0;
    std::size_t p = 0;
    for (int entry = 0; entry < kMaxEntries && p <= head.size() && head.size() - p >= kHeader; ++entry) {
        const std::uint8_t* h = head.data() + p;
        if (GetU32(h) != 0x04034B50) break;
        const std::size_t nameLength = GetU16(h + 26), extraLength = GetU16(h + 28);
        if (head.size() - p - kHeader < nameLength) break;
        const std::string_view name(reinterpret_cast<const char*>(h + kHeader), nameLength);
        if (name == "[Content_Types].xml" || name.starts_with("_rels/")) package = true;
        else if (!kind && name.starts_with("word/")) kind = 1107;
        else if (!kind && name.starts_with("xl/")) kind = 1108;
        else if (!kind && name.starts_with("ppt/")) kind = 1109;
        if (kind && package) return kind;
        const std::uint32_t compressed = GetU32(h + 18);
        const std::uint64_t next = std::uint64_t{p} + kHeader + nameLength + extraLength + compressed;
        if ((GetU16(h + 6) & 8) || compressed == 0xFFFFFFFFu || next > head.size()) {
            // The length follows the data (or lives in a ZIP64 field): find the next header.
            static constexpr std::uint8_t kLocal[] = {'P', 'K', 3, 4};
            const std::size_t from = p + kHeader + nameLength;
            if (from >= head.size()) break;
            const void* found = memmem(head.data() + from, head.size() - from, kLocal, sizeof kLocal);
            if (!found) break;
            p = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - head.data());
        } else {
            p = static_cast<std::size_t>(next);
        }
    }
    return 0;
}

// ------------------------------------------------------------ the table

using Rule = std::unique_ptr<EndScanner> (*)(CFoundObject&, std::span<const std::uint8_t>);

std::unique_ptr<EndScanner> PdfRule(CFoundObject&, std::span<const std::uint8_t>) { return std::make_unique<PdfEnd>(); }
std::unique_ptr<EndScanner> JpegRule(CFoundObject&, std::span<const std::uint8_t>) { return std::make_unique<JpegEnd>(); }
std::unique_ptr<EndScanner> PngRule(CFoundObject&, std::span<const std::uint8_t>) { return std::make_unique<PngEnd>(); }
std::unique_ptr<EndScanner> ZipRule(CFoundObject&, std::span<const std::uint8_t>) { return std::make_unique<ZipEnd>(); }

// A ZIP archive whose entries are the parts of a document is that document.
std::unique_ptr<EndScanner> ZipDocumentRule(CFoundObject& record, std::span<const std::uint8_t> head) {
    if (const std::int16_t kind = ZipDocumentType(head, record.TypeId == 1110)) record.TypeId = kind;
    return std::make_unique<ZipEnd>();
}

// RIFF (little-endian) and IFF (big-endian) files state their length after
// the first four bytes, not counting those eight.
std::unique_ptr<EndScanner> RiffRule(CFoundObject& record, std::span<const std::uint8_t> head) {
    if (head.size() >= 12) record.Size = std::uint64_t{GetU32(head.data() + 4)} + 8;
    return nullptr;
}
std::unique_ptr<EndScanner> IffRule(CFoundObject& record, std::span<const std::uint8_t> head) {
    if (head.size() >= 12) record.Size = std::uint64_t{GetBE32(head.data() + 4)} + 8;
    return nullptr;
}

// An ISO 9660 image: the matched block is its primary volume descriptor,
// which gives the image's length as a count of logical blocks (byte 80) of
// a stated size (byte 128, a power of two from 512 to 32768).
std::unique_ptr<EndScanner> IsoRule(CFoundObject& record, std::span<const std::uint8_t> head) {
    if (head.size() < 132) return nullptr;
    const std::uint32_t blocks = GetU32(head.data() + 80);
    const std::uint16_t blockSize = GetU16(head.data() + 128);
    if (blockSize >= 512 && blockSize <= 32768 && (blockSize & (blockSize - 1)) == 0 && blocks > 16)
        record.Size = std::uint64_t{blocks} * blockSize;
    return nullptr;
}

struct Row {
    std::int16_t type;
    Rule rule;
    bool readsAhead;
};

constexpr Row kRules[] = {
    {504, IsoRule, false},
    {1001, PdfRule, false},
    {1101, ZipRule, false},  {1102, ZipRule, false},  {1103, ZipRule, false},  {1104, ZipRule, false},
    {1105, ZipRule, false},  {1106, ZipRule, false},  {1107, ZipRule, false},  {1108, ZipRule, false},
    {1109, ZipRule, false},  {1110, ZipDocumentRule, true}, {1111, ZipRule, false}, {1112, ZipDocumentRule, true},
    {1301, JpegRule, false}, {1302, PngRule, false},
    {1306, RiffRule, false}, {1402, RiffRule, false}, {1501, RiffRule, false}, {1802, RiffRule, false},
    {1406, IffRule, false},
};

const Row* RowOf(std::int16_t type) {
    for (const Row& row : kRules)
        if (row.type == type) return &row;
    return nullptr;
}

}  // namespace

std::unique_ptr<EndScanner> ApplyContentRules(CFoundObject& record, std::span<const std::uint8_t> head) {
    const Row* row = RowOf(record.TypeId);
    return row ? row->rule(record, head) : nullptr;
}

bool ContentRuleReadsAhead(std::int16_t typeId) {
    const Row* row = RowOf(typeId);
    return row && row->readsAhead;
}

}  // namespace tl
