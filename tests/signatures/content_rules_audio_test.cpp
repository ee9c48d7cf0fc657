#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "content_scan.h"

namespace tl {
namespace {

using test::ByteVector;
using test::Join;
using test::Document;
using test::Noise;
using State = EndScanner::State;

ByteVector Slice(const ByteVector& v, std::size_t from, std::size_t to) {
    return ByteVector(v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(to));
}
ByteVector First(const ByteVector& v, std::size_t n) { return Slice(v, 0, n); }
ByteVector Insert(ByteVector v, std::size_t at, const ByteVector& more) {
    v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), more.begin(), more.end());
    return v;
}

struct Real {
    const char* name;
    std::int16_t type;
};
constexpr Real kReal[] = {
    {"audio.mp3", 1401}, {"audio.flac", 1403}, {"audio.ogg", 1404}, {"audio.opus", 1404}, {"music.mid", 1405},
};

TEST(ContentRulesAudio, RealFilesEndAfterTheirLastByte) {
    for (const Real& r : kReal) {
        const ByteVector file = Document(r.name);
        ASSERT_GT(file.size(), 256u) << r.name;
        const ByteVector noise = Noise(8192), zeros(8192, 0), copy = Join(file, noise);
        for (std::size_t piece : {std::size_t{512}, std::size_t{7}, std::size_t{1}}) {
            const auto where = std::string(r.name) + " in pieces of " + std::to_string(piece);
            for (const ByteVector* after : {&noise, &zeros, &copy}) {
                const auto o = test::ScanContent(r.type, file, *after, piece);
                EXPECT_EQ(o.state, State::Found) << where;
                EXPECT_EQ(o.size, file.size())
                    << where << (after == &zeros ? " before zeros" : after == &noise ? " before noise" : " twice");
            }
            // Cut short, with nothing after: no end is known.
            const ByteVector cut = First(file, file.size() * 2 / 3);
            EXPECT_FALSE(test::ScanContent(r.type, cut, {}, piece).size) << where << " cut";
        }
    }
}

// ---------------------------------------------------------------- fixtures

// The start of every page of an Ogg file, and its end.
std::vector<std::size_t> OggPages(const ByteVector& f) {
    std::vector<std::size_t> pages;
    for (std::size_t at = 0; at + 27 <= f.size() && f[at + 26] + at + 27 <= f.size();) {
        pages.push_back(at);
        std::size_t length = 27 + f[at + 26];
        for (std::size_t i = 0; i < f[at + 26]; ++i) length += f[at + 27 + i];
        at += length;
    }
    pages.push_back(f.size());
    return pages;
}

// Rewrites the CRC of the Ogg page at `at` after its header was changed.
void SealOggPage(ByteVector& f, std::size_t at, std::size_t end) {
    std::memset(f.data() + at + 22, 0, 4);
    std::uint32_t crc = 0;
    for (std::size_t i = at; i < end; ++i) {
        crc ^= std::uint32_t{f[i]} << 24;
        for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    for (int k = 0; k < 4; ++k) f[at + 22 + k] = static_cast<std::uint8_t>(crc >> (8 * k));
}

// The sound of the Vorbis file and the Opus file in one Ogg file, as a
// video and its sound are: both first pages, then the others taken in turn.
// The Opus stream gets a serial number of its own.
ByteVector Multiplexed(const ByteVector& vorbis, ByteVector opus) {
    const auto v = OggPages(vorbis), o = OggPages(opus);
    for (std::size_t i = 0; i + 1 < o.size(); ++i) {
        opus[o[i] + 14] = 7;
        SealOggPage(opus, o[i], o[i + 1]);
    }
    ByteVector out;
    for (std::size_t i = 0; i + 1 < std::max(v.size(), o.size()); ++i) {
        if (i + 1 < v.size()) out = Join(out, Slice(vorbis, v[i], v[i + 1]));
        if (i + 1 < o.size()) out = Join(out, Slice(opus, o[i], o[i + 1]));
    }
    return out;
}

// A frame start of a FLAC file at or after `from`: its sync code.
std::size_t FlacFrameAfter(const ByteVector& f, std::size_t from) {
    for (std::size_t i = from; i + 1 < f.size(); ++i)
        if (f[i] == 0xFF && f[i + 1] == 0xF8) return i;
    return f.size();
}

// An APEv2 tag with a header and one item, as taggers write it.
ByteVector ApeTag() {
    const std::string key = "Title", value = "Lost";
    ByteVector item(8, 0);
    item[0] = static_cast<std::uint8_t>(value.size());
    item.insert(item.end(), key.begin(), key.end());
    item.push_back(0);
    item.insert(item.end(), value.begin(), value.end());
    auto frame = [&](bool header) {
        ByteVector h = test::Bytes("APETAGEX");
        const std::uint32_t fields[4] = {2000, static_cast<std::uint32_t>(item.size() + 32), 1,
                                         0x80000000u | (header ? 0x20000000u : 0)};
        for (std::uint32_t x : fields)
            for (int k = 0; k < 4; ++k) h.push_back(static_cast<std::uint8_t>(x >> (8 * k)));
        h.resize(32, 0);
        return h;
    };
    return Join(Join(frame(true), item), frame(false));
}

// ------------------------------------------------------- damaged copies

struct Damage {
    const char* what;
    const char* source;
    std::int16_t type;
    // The damaged copy, and where it ends (nothing: no size may be found).
    std::function<std::pair<ByteVector, std::optional<std::size_t>>(ByteVector)> make;
    std::size_t after = 8192;  // bytes of noise after it
};

const Damage kDamages[] = {
    // MP3
    {"mp3 without its ID3v1 tag ends after its last frame", "audio.mp3", 1401,
     [](ByteVector f) {
         f.resize(f.size() - 128);
         return std::pair{f, std::optional{f.size()}};
     }},
    {"mp3 with an APEv2 tag before the ID3v1 tag", "audio.mp3", 1401,
     [](ByteVector f) {
         f = Insert(f, f.size() - 128, ApeTag());
         return std::pair{f, std::optional{f.size()}};
     }},
    {"mp3 whose APEv2 footer is missing ends with its audio", "audio.mp3", 1401,
     [](ByteVector f) {
         const std::size_t audio = f.size() - 128;
         ByteVector tag = ApeTag();
         tag[tag.size() - 32] = 'X';
         return std::pair{Insert(First(f, audio), audio, tag), std::optional{audio}};
     }},
    {"mp3 with zeros between its tag and its first frame", "audio.mp3", 1401,
     [](ByteVector f) {
         f = Insert(f, 38, ByteVector(300, 0));
         return std::pair{f, std::optional{f.size()}};
     }},
    {"mp3 with fewer than three frames", "audio.mp3", 1401,
     [](ByteVector f) { return std::pair{First(f, 38 + 400), std::optional<std::size_t>{}}; }},
    {"mp3 whose tag length is huge", "audio.mp3", 1401,
     [](ByteVector f) {
         std::memset(f.data() + 6, 0x7F, 4);
         return std::pair{f, std::optional<std::size_t>{}};
     }},
    {"mp3 whose tag length is 0", "audio.mp3", 1401,
     [](ByteVector f) {
         std::memset(f.data() + 6, 0, 4);
         return std::pair{f, std::optional<std::size_t>{}};
     }},
    {"mp3 cut inside a frame", "audio.mp3", 1401,
     [](ByteVector f) { return std::pair{First(f, f.size() / 2), std::optional<std::size_t>{}}; }, 0},
    // FLAC
    {"flac whose sample count is unknown", "audio.flac", 1403,
     [](ByteVector f) {
         f[21] &= 0xF0;
         std::memset(f.data() + 22, 0, 4);
         return std::pair{f, std::optional{f.size()}};
     }},
    {"flac whose sample count is unknown, before a copy", "audio.flac", 1403,
     [](ByteVector f) {
         f[21] &= 0xF0;
         std::memset(f.data() + 22, 0, 4);
         return std::pair{Join(f, f), std::optional{f.size()}};
     }},
    {"flac with a damaged frame in the middle", "audio.flac", 1403,
     [](ByteVector f) {
         f[FlacFrameAfter(f, f.size() / 2) + 64] ^= 0x10;
         return std::pair{f, std::optional{f.size()}};
     }},
    {"flac cut at a frame start has samples missing", "audio.flac", 1403,
     [](ByteVector f) { return std::pair{First(f, FlacFrameAfter(f, f.size() / 2)), std::optional<std::size_t>{}}; }},
    {"flac counting more samples than it has", "audio.flac", 1403,
     [](ByteVector f) {
         f[21] |= 0x0F;
         return std::pair{f, std::optional<std::size_t>{}};
     }},
    {"flac with an endless metadata block", "audio.flac", 1403,
     [](ByteVector f) {
         f[4] = 0x00;  // STREAMINFO is not the last block any more
         const ByteVector block = {0x04, 0xFF, 0xFF, 0xFF};
         return std::pair{Insert(f, 42, block), std::optional<std::size_t>{}};
     }},
    // Ogg
    {"ogg with a damaged page in the middle", "audio.ogg", 1404,
     [](ByteVector f) {
         const auto p = OggPages(f);
         f[p[2] + 100] ^= 0x01;
         return std::pair{f, std::optional{f.size()}};
     }},
    {"ogg cut after a damaged page ends before it", "audio.ogg", 1404,
     [](ByteVector f) {
         const auto p = OggPages(f);
         f[p[2] + 100] ^= 0x01;
         return std::pair{First(f, p[3]), std::optional{p[2]}};
     }},
    {"ogg with two damaged pages in a row ends before them", "audio.ogg", 1404,
     [](ByteVector f) {
         const auto p = OggPages(f);
         f[p[1] + 100] ^= 0x01;
         f[p[2] + 100] ^= 0x01;
         return std::pair{f, std::optional{p[1]}};
     }},
    {"ogg page longer than the file ends before it", "audio.opus", 1404,
     [](ByteVector f) {
         const auto p = OggPages(f);
         f[p[4] + 27 + f[p[4] + 26] - 1] = 0xFF;  // the last page's last segment
         return std::pair{f, std::optional{p[4]}};
     }},
    {"ogg cut inside a page ends after the page before", "audio.opus", 1404,
     [](ByteVector f) {
         const auto p = OggPages(f);
         return std::pair{First(f, p[3] + 1000), std::optional{p[3]}};
     }},
    {"ogg whose stream never ends", "audio.opus", 1404,
     [](ByteVector f) {
         const auto p = OggPages(f);
         f[p[4] + 5] = 0;
         SealOggPage(f, p[4], p[5]);
         return std::pair{Join(f, f), std::optional{f.size()}};
     }},
    {"ogg of two streams ends after the last one's end", "audio.ogg", 1404,
     [](ByteVector f) {
         f = Multiplexed(f, Document("audio.opus"));
         return std::pair{f, std::optional{f.size()}};
     }},
    // MIDI
    {"midi of no track", "music.mid", 1405,
     [](ByteVector f) {
         f[11] = 0;
         return std::pair{f, std::optional<std::size_t>{}};
     }},
    {"midi counting a track more than it has", "music.mid", 1405,
     [](ByteVector f) {
         f[9] = 1;  // format 1, of two tracks
         f[11] = 2;
         return std::pair{f, std::optional<std::size_t>{}};
     }},
    {"midi track longer than the file", "music.mid", 1405,
     [](ByteVector f) {
         f[21] += 16;
         return std::pair{f, std::optional<std::size_t>{}};
     }},
    {"midi track of a huge length", "music.mid", 1405,
     [](ByteVector f) {
         std::memset(f.data() + 18, 0xFF, 4);
         return std::pair{f, std::optional<std::size_t>{}};
     }},
    {"midi with a chunk of another kind before its track", "music.mid", 1405,
     [](ByteVector f) {
         ByteVector chunk = test::Bytes("XFIH");
         chunk.insert(chunk.end(), {0, 0, 0, 5, 1, 2, 3, 4, 5});
         f = Insert(f, 14, chunk);
         return std::pair{f, std::optional{f.size()}};
     }},
};

TEST(ContentRulesAudio, DamagedCopiesEndWhereTheirStructureSays) {
    for (const Damage& d : kDamages) {
        const auto [file, end] = d.make(Document(d.source));
        for (std::size_t piece : {std::size_t{512}, std::size_t{7}, std::size_t{1}}) {
            const auto where = std::string(d.what) + " in pieces of " + std::to_string(piece);
            const auto o = test::ScanContent(d.type, file, Noise(d.after, 9), piece);
            EXPECT_EQ(o.size, end) << where;
            if (end) {
                EXPECT_EQ(o.state, State::Found) << where;
            }
        }
    }
}

}  // namespace
}  // namespace tl
