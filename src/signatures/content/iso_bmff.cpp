#include <algorithm>
#include <array>

#include "signatures/content/rules.h"
#include "signatures/content/scanner_support.h"

namespace tl::content {
namespace {

constexpr std::uint32_t FourCc(const char (&s)[5]) {
    return (std::uint32_t{static_cast<std::uint8_t>(s[0])} << 24) | (std::uint32_t{static_cast<std::uint8_t>(s[1])} << 16) |
           (std::uint32_t{static_cast<std::uint8_t>(s[2])} << 8) | std::uint32_t{static_cast<std::uint8_t>(s[3])};
}

// Boxes that stand at the top of a movie, a sound file, a HEIF or AVIF
// picture, a camera raw file or a JPEG 2000 file, as their writers put them
// there.
constexpr std::array kTopLevel = {
    FourCc("ftyp"), FourCc("styp"), FourCc("etyp"), FourCc("otyp"), FourCc("pdin"), FourCc("moov"), FourCc("moof"),
    FourCc("mfra"), FourCc("mdat"), FourCc("imda"), FourCc("free"), FourCc("skip"), FourCc("meta"), FourCc("meco"),
    FourCc("sidx"), FourCc("ssix"), FourCc("prft"), FourCc("emsg"), FourCc("uuid"), FourCc("udta"), FourCc("wide"),
    FourCc("pnot"), FourCc("PICT"), FourCc("jP  "), FourCc("jp2h"), FourCc("jp2c"), FourCc("jp2i"), FourCc("xml "),
    FourCc("uinf"), FourCc("res "), FourCc("rreq"), FourCc("ftbl"), FourCc("asoc"), FourCc("nlst"), FourCc("dtbl"),
    FourCc("cgrp"), FourCc("chck"), FourCc("mp7b"), FourCc("jpch"), FourCc("jplh"), FourCc("cref"), FourCc("drep"),
    FourCc("gtso"), FourCc("lbl "),
};

// The boxes that hold what the file is about: its media, the description of
// its media, a picture's items or a JPEG 2000 codestream. A file is not
// ended before one of them has been passed.
bool Carries(std::uint32_t type) {
    return type == FourCc("mdat") || type == FourCc("moov") || type == FourCc("moof") || type == FourCc("meta") ||
           type == FourCc("imda") || type == FourCc("jp2c");
}

bool Known(std::uint32_t type) { return std::find(kTopLevel.begin(), kTopLevel.end(), type) != kTopLevel.end(); }

// Box types are four letters, digits or spaces; QuickTime's user data
// also uses the copyright sign.
bool PlausibleType(const std::uint8_t* p) {
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t c = p[i], lower = static_cast<std::uint8_t>(c | 0x20);
        if (!((lower >= 'a' && lower <= 'z') || (c >= '0' && c <= '9') || c == ' ' || c == 0xA9)) return false;
    }
    return true;
}

// A box of a type not listed above is taken only as long as this: random
// bytes pass the type test once in 256 times, and then this test once in
// 256 times more.
constexpr std::uint64_t kMaxUnknownBox = 16u << 20;
// No disk holds a box longer than this; a larger 64-bit size is damage.
constexpr std::uint64_t kMaxBox = std::uint64_t{1} << 48;

// The top-level boxes are walked by their sizes. The file ends where the
// next eight bytes are no box header (zeros, random filler) or begin the
// next file (a second 'ftyp' or JPEG 2000 signature box), once a box that
// carries the file's content has been passed. A box whose size is 0 runs
// to the end of the file, which the box does not say: such a file is given
// up on, except for a JPEG 2000 codestream, whose markers are then walked
// to its end-of-codestream marker.
class IsoMediaEnd final : public RecordWalker {
public:
    IsoMediaEnd() : RecordWalker(0, 8) {}

    // How far the boxes accepted so far reach.
    std::uint64_t Promised() const { return promised_; }
    void ReachTo(std::uint64_t reach) { SetReach(reach); }

private:
    enum class Step { Box, LargeSize, Marker, MarkerLength, TilePart };

    State Record(const std::uint8_t* p, std::uint64_t at) override {
        switch (step_) {
        case Step::Box: return Box(p, at);
        case Step::LargeSize: return LargeSize(GetBE64(p));
        case Step::Marker: return Marker(GetBE16(p), at);
        case Step::MarkerLength: {
            const std::uint16_t length = GetBE16(p);
            if (length < 2) return State::GaveUp;
            step_ = Step::Marker;
            return Ask(length - 2u, 2);
        }
        case Step::TilePart: {
            // A tile-part header: Lsot (10), the tile's index, Psot, the
            // tile-part's length from its marker on (0: up to the end of
            // the codestream, which nothing here states).
            const std::uint32_t psot = GetBE32(p + 4);
            if (GetBE16(p) != 10 || psot < 12) return State::GaveUp;
            step_ = Step::Marker;
            return Ask(psot - 12u, 2);
        }
        }
        return State::GaveUp;
    }

    // What lies at `at` is no box of this file: the file ends there.
    State NotABox(std::uint64_t at) { return carried_ ? Ends(at) : State::GaveUp; }

    State Box(const std::uint8_t* p, std::uint64_t at) {
        const std::uint32_t size = GetBE32(p), type = GetBE32(p + 4);
        if (!PlausibleType(p + 4)) return NotABox(at);
        const bool known = Known(type);
        // The next file of its kind: a second type box, a second JPEG 2000
        // signature; a QuickTime movie that begins with its 'wide' box has
        // none at the top once its movie and data are passed.
        if ((type == FourCc("ftyp") && sawType_) || (type == FourCc("jP  ") && at > 0)) return NotABox(at);
        if (type == FourCc("wide") && sawMovie_ && sawData_) return NotABox(at);
        if (!known && (size < 8 || size > kMaxUnknownBox)) return NotABox(at);
        if (size == 0) {
            if (type != FourCc("jp2c")) return State::GaveUp;
            carried_ = true;
            step_ = Step::Marker;
            codestreamStart_ = true;
            return Ask(0, 2);
        }
        boxAt_ = at;
        boxType_ = type;
        if (size == 1) {
            step_ = Step::LargeSize;
            return Ask(0, 8);
        }
        if (size < 8) return State::GaveUp;
        return Accept(size, 8);
    }

    State LargeSize(std::uint64_t size) {
        if (size < 16 || size > kMaxBox) return State::GaveUp;
        return Accept(size, 16);
    }

    State Accept(std::uint64_t size, std::uint64_t header) {
        std::uint64_t end = 0;
        if (__builtin_add_overflow(boxAt_, size, &end)) return State::GaveUp;
        promised_ = end;
        if (Carries(boxType_)) carried_ = true;
        if (boxType_ == FourCc("moov") || boxType_ == FourCc("moof")) sawMovie_ = true;
        if (boxType_ == FourCc("mdat")) sawData_ = true;
        if (boxType_ == FourCc("ftyp")) sawType_ = true;
        step_ = Step::Box;
        return Ask(size - header, 8);
    }

    // The codestream of a 'jp2c' box that runs to the end of the file: the
    // start-of-codestream marker, marker segments of stated lengths, then
    // tile-parts of stated lengths, up to the end-of-codestream marker.
    State Marker(std::uint16_t marker, std::uint64_t at) {
        if (codestreamStart_) {
            codestreamStart_ = false;
            if (marker != 0xFF4F) return State::GaveUp;
            return Ask(0, 2);
        }
        if (marker == 0xFFD9) return Ends(at + 2);
        if (marker == 0xFF90) {
            step_ = Step::TilePart;
            return Ask(0, 10);
        }
        if (marker >= 0xFF30 && marker <= 0xFF3F) return Ask(0, 2);  // markers without a segment
        if (marker < 0xFF40 || marker == 0xFF4F) return State::GaveUp;
        step_ = Step::MarkerLength;
        return Ask(0, 2);
    }

    Step step_ = Step::Box;
    std::uint64_t boxAt_ = 0;
    std::uint32_t boxType_ = 0;
    std::uint64_t promised_ = 0;
    bool carried_ = false;
    bool sawMovie_ = false;
    bool sawData_ = false;
    bool sawType_ = false;
    bool codestreamStart_ = false;
};

// Room left for the boxes after one that runs past the bytes in memory:
// a movie's 'moov' box after its 'mdat'.
constexpr std::uint64_t kMarginAfterHead = 64u << 20;

}  // namespace

std::unique_ptr<EndScanner> IsoMediaRule(CFoundObject&, Head head) {
    auto scanner = std::make_unique<IsoMediaEnd>();
    // A long movie has its data box first and its description last, past
    // the type's default size: the boxes seen in memory tell how far the
    // file reaches at least, and it is followed that far and a margin.
    IsoMediaEnd probe;
    if (probe.Feed(head) == EndScanner::State::Searching && probe.Promised() > head.size())
        scanner->ReachTo(probe.Promised() + kMarginAfterHead);
    return scanner;
}

}  // namespace tl::content
