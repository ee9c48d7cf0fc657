#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"
#include "storage/little_endian.h"

namespace tl::content {
namespace {

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
    // The archive ends after the record's comment: found once that has
    // passed too, so that a comment length beyond the bytes makes no end.
    State Scan(std::span<const std::uint8_t> bytes, std::uint64_t at) override {
        if (!recordSeen_ && WindowScanner<22>::Scan(bytes, at) != State::Found) return State::Searching;
        recordSeen_ = true;
        return *size_ <= at + bytes.size() ? State::Found : State::Searching;
    }
    bool recordSeen_ = false;
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
            const auto found = std::search(head.begin() + static_cast<std::ptrdiff_t>(from), head.end(),
                                           std::begin(kLocal), std::end(kLocal));
            if (found == head.end()) break;
            p = static_cast<std::size_t>(found - head.begin());
        } else {
            p = static_cast<std::size_t>(next);
        }
    }
    return 0;
}

}  // namespace

std::unique_ptr<EndScanner> ZipRule(CFoundObject&, Head) { return std::make_unique<ZipEnd>(); }

// A ZIP archive whose entries are the parts of a document is that document.
std::unique_ptr<EndScanner> ZipDocumentRule(CFoundObject& record, Head head) {
    if (const std::int16_t kind = ZipDocumentType(head, record.TypeId == 1110)) record.TypeId = kind;
    return std::make_unique<ZipEnd>();
}

}  // namespace tl::content
