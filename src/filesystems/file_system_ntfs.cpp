#include "filesystems/file_system_ntfs.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "app/event_log.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "filesystems/ntfs_compressed_stream.h"
#include "platform/text.h"
#include "storage/analysis_busy.h"
#include "storage/little_endian.h"
#include "storage/volume.h"

namespace tl {
namespace {

constexpr std::uint32_t kFileMagic = 0x454C4946;  // "FILE"
constexpr std::uint32_t kAttrStandardInformation = 0x10;
constexpr std::uint32_t kAttrAttributeList = 0x20;
constexpr std::uint32_t kAttrFileName = 0x30;
constexpr std::uint32_t kAttrVolumeName = 0x60;
constexpr std::uint32_t kAttrData = 0x80;
constexpr std::uint32_t kAttrLoggedUtilityStream = 0x100;
constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;
constexpr std::uint16_t kAttrFlagCompressionMask = 0x00FF;
constexpr std::uint16_t kAttrFlagLznt1 = 0x0001;
constexpr std::uint16_t kAttrFlagEncrypted = 0x4000;
constexpr std::uint32_t kFileAttrEncrypted = 0x4000;
constexpr std::size_t kFixupStride = 512;
constexpr std::size_t kMaxExtensions = 4096;
constexpr std::uint64_t kMaxAttributeListBytes = 1 << 20;
constexpr std::uint64_t kRecordNumberMask = 0x0000FFFFFFFFFFFFULL;
// Record numbers of the walk, and in composite identifiers, fit 32 bits.
constexpr std::uint64_t kMaxRecords = 1ULL << 32;
// Compression units larger than this are taken for damage (a real one is
// 16 clusters of at most 4096 bytes).
constexpr std::uint64_t kMaxCompressionUnitBytes = 1 << 22;
// Files that cannot be read as they are stored are logged by name up to this many.
constexpr std::uint64_t kMaxUnreadableLogged = 100;

constexpr const char* kEncryptedProblem = "the file is encrypted";

bool HasFileMagic(std::span<const std::uint8_t> b) { return b.size() >= 4 && GetU32(b.data()) == kFileMagic; }

struct Attribute {
    std::size_t offset = 0;
    std::uint32_t type = 0;
    std::uint32_t length = 0;
};

// The attribute at `at` of a record, `at` moved past it; false at the end
// marker and where the walk meets damage.
bool NextAttributeIn(std::span<const std::uint8_t> b, std::size_t& at, Attribute& a) {
    if (at + 16 > b.size()) return false;
    a.offset = at;
    a.type = GetU32(b.data() + at);
    if (a.type == kAttrEnd) return false;
    // Attribute types are multiples of 0x10 up to 0x100: anything else is
    // the middle of another attribute that a wrong length led into.
    if (a.type < 0x10 || a.type > 0x100 || a.type % 0x10 != 0) return false;
    a.length = GetU32(b.data() + at + 4);
    if (a.length < 16 || a.length % 8 != 0 || a.length > b.size() - at) return false;
    at += a.length;
    return true;
}

// The next attribute of `type` after the one at `after` (0: from the
// first); 0 when there is none.
std::size_t FindNextAttributeIn(std::span<const std::uint8_t> b, std::uint32_t type, std::size_t after) {
    if (b.size() < 0x18) return 0;
    std::size_t at = after ? after : GetU16(b.data() + 0x14);
    Attribute a;
    if (after) {
        if (!NextAttributeIn(b, at, a)) return 0;  // step over `after`
    }
    while (NextAttributeIn(b, at, a))
        if (a.type == type) return a.offset;
    return 0;
}

// Where the content of the resident attribute at `at` lies in the record.
bool ResidentContentIn(std::span<const std::uint8_t> b, std::size_t at, std::size_t& from, std::size_t& size) {
    const std::uint8_t* a = b.data() + at;
    const std::uint32_t length = GetU32(a + 4);
    if (a[8] != 0 || length < 0x18) return false;
    const std::uint32_t contentLength = GetU32(a + 0x10);
    const std::uint16_t contentOffset = GetU16(a + 0x14);
    if (contentOffset > length || contentLength > length - contentOffset) return false;
    from = at + contentOffset;
    size = contentLength;
    return true;
}

// The name of the attribute at `at` (empty for none); nullopt when it does
// not lie inside the attribute.
std::optional<std::u16string> AttributeName(std::span<const std::uint8_t> b, std::size_t at) {
    const std::uint8_t* a = b.data() + at;
    const std::size_t chars = a[9];
    const std::size_t offset = GetU16(a + 0x0A);
    if (chars == 0) return std::u16string();
    if (offset + 2 * chars > GetU32(a + 4)) return std::nullopt;
    std::u16string name(chars, u'\0');
    for (std::size_t i = 0; i < chars; ++i) name[i] = static_cast<char16_t>(GetU16(a + offset + 2 * i));
    return name;
}

// Puts a record's update sequence back: the last two bytes of each 512-byte
// stride are kept in the update sequence array. False when a stride did not
// carry the sequence number (a torn write): the record is used all the same.
bool ApplyUpdateSequence(std::span<std::uint8_t> b) {
    if (b.size() < 0x30) return false;
    const std::size_t o = GetU16(b.data() + 4);
    const std::size_t k = GetU16(b.data() + 6);
    if (k < 2 || o + 2 * k > b.size()) return false;
    const std::uint16_t usn = GetU16(b.data() + o);
    bool intact = true;
    for (std::size_t i = 1; i < k && i * kFixupStride <= b.size(); ++i) {
        std::uint8_t* end = b.data() + i * kFixupStride - 2;
        if (GetU16(end) != usn) intact = false;
        std::memcpy(end, b.data() + o + 2 * i, 2);
    }
    return intact;
}

// Decodes a mapping-pairs list between `p` and `end` of `b`, starting at
// `vcn`, onto `out`. A run with no offset field is sparse; an offset field
// of 0 is a run at the same cluster as the one before (the first run of
// $Boot starts at cluster 0). False when the list is cut short or a run
// leaves the volume of `maxClusters` clusters (0: not known).
bool DecodeRunsIn(std::span<const std::uint8_t> b, std::size_t p, std::size_t end, std::uint64_t vcn,
                  std::uint64_t maxClusters, std::vector<MFT_RUN>& out) {
    std::int64_t lcn = 0;
    if (maxClusters == 0) maxClusters = ~std::uint64_t{0};
    end = std::min(end, b.size());
    while (p < end && b[p] != 0) {
        const unsigned L = b[p] & 0x0F, O = b[p] >> 4;
        if (L == 0 || L > 8 || O > 8 || p + 1 + L + O > end) return false;
        std::uint64_t length = 0;
        for (unsigned i = 0; i < L; ++i) length |= std::uint64_t{b[p + 1 + i]} << (8 * i);
        std::int64_t delta = 0;
        if (O > 0) {
            std::uint64_t raw = 0;
            for (unsigned i = 0; i < O; ++i) raw |= std::uint64_t{b[p + 1 + L + i]} << (8 * i);
            if (O < 8 && (raw >> (8 * O - 1)) & 1) raw |= ~std::uint64_t{0} << (8 * O);  // negative
            delta = static_cast<std::int64_t>(raw);
        }
        // A run longer than the volume, or one that leaves it, is damage.
        if (length == 0 || length > maxClusters) return false;
        const bool sparse = O == 0;
        if (!sparse) {
            // Wrapping arithmetic: a hostile delta must not overflow.
            lcn = static_cast<std::int64_t>(static_cast<std::uint64_t>(lcn) + static_cast<std::uint64_t>(delta));
            if (lcn < 0 || static_cast<std::uint64_t>(lcn) > maxClusters - length) return false;
        }
        out.push_back(MFT_RUN{sparse ? 0 : static_cast<std::uint64_t>(lcn), length, sparse ? 1u : 0u, vcn, vcn + length - 1});
        vcn += length;
        p += 1 + L + O;
    }
    return true;
}

}  // namespace

// ---- one record ---------------------------------------------------------

std::uint16_t CMftRecordParser::Flags() const { return Buffer.size() >= 0x18 ? GetU16(Buffer.data() + 0x16) : 0; }
std::uint64_t CMftRecordParser::BaseReference() const {
    return Buffer.size() >= 0x28 ? GetU64(Buffer.data() + 0x20) & kRecordNumberMask : 0;
}
std::uint32_t CMftRecordParser::RecordNumber() const { return Buffer.size() >= 0x30 ? GetU32(Buffer.data() + 0x2C) : 0; }
std::uint16_t CMftRecordParser::SequenceNumber() const { return Buffer.size() >= 0x12 ? GetU16(Buffer.data() + 0x10) : 0; }

bool CMftRecordParser::Load(std::span<const std::uint8_t> record) {
    Buffer.assign(record.begin(), record.end());
    extensions_.clear();
    extensionNumbers_.clear();
    return Parse();
}

bool CMftRecordParser::ApplyFixups() { return ApplyUpdateSequence(Buffer); }

std::size_t CMftRecordParser::FindNextAttribute(std::uint32_t type, std::size_t after) const {
    return FindNextAttributeIn(Buffer, type, after);
}

std::size_t CMftRecordParser::FindAttribute(std::uint32_t type) const { return FindNextAttribute(type, 0); }

bool CMftRecordParser::DecodeRuns(std::size_t p, std::size_t end, std::uint64_t vcn, std::vector<MFT_RUN>& out) const {
    return DecodeRunsIn(Buffer, p, end, vcn, fs_.VolumeClusters, out);
}

void CMftRecordParser::TakeData(std::size_t part, std::size_t at) {
    const std::vector<std::uint8_t>& record = Part(part);
    const std::uint8_t* a = record.data() + at;
    const std::uint32_t length = GetU32(a + 4);
    const bool nonResident = a[8] != 0;
    if (!nonResident) {
        std::size_t from = 0, size = 0;
        if (HasData || !ResidentContentIn(record, at, from, size)) return;
        HasData = true;
        NonResident = false;
        ResidentPart = part;
        ResidentOffset = from;
        DataSize = size;
        InitializedSize = size;
        DataFlags = GetU16(a + 0x0C);
        return;
    }
    if (length < 0x40) return;
    const std::uint64_t startVcn = GetU64(a + 0x10);
    const std::uint16_t pairs = GetU16(a + 0x20);
    if (pairs >= length) return;
    if (startVcn == 0) {
        DataSize = GetU64(a + 0x30);
        InitializedSize = GetU64(a + 0x38);
        DataFlags = GetU16(a + 0x0C);
        CompressionUnit = a[0x22];
        HasData = true;
        NonResident = true;
    }
    if (!DecodeRunsIn(record, at + pairs, at + length, startVcn, fs_.VolumeClusters, Runs)) RunsDamaged = true;
}

void CMftRecordParser::CollectData() {
    Runs.clear();
    DataSize = 0;
    InitializedSize = 0;
    DataFlags = 0;
    CompressionUnit = 0;
    NonResident = false;
    ResidentOffset = 0;
    ResidentPart = 0;
    HasData = false;
    RunsDamaged = listDamaged_;
    for (std::size_t part = 0; part < PartCount(); ++part) {
        const std::vector<std::uint8_t>& b = Part(part);
        for (std::size_t at = FindNextAttributeIn(b, kAttrData, 0); at; at = FindNextAttributeIn(b, kAttrData, at)) {
            const std::optional<std::u16string> name = AttributeName(b, at);
            if (name && *name == selected_) TakeData(part, at);
        }
    }
    std::sort(Runs.begin(), Runs.end(), [](const MFT_RUN& a, const MFT_RUN& b) { return a.FirstVcn < b.FirstVcn; });
}

bool CMftRecordParser::SelectStream(std::u16string_view name) {
    selected_.assign(name);
    CollectData();
    return HasData;
}

std::vector<CMftRecordParser::NamedStream> CMftRecordParser::NamedStreams(bool* more) const {
    std::vector<NamedStream> streams;
    if (more) *more = false;
    for (std::size_t part = 0; part < PartCount(); ++part) {
        const std::vector<std::uint8_t>& b = Part(part);
        for (std::size_t at = FindNextAttributeIn(b, kAttrData, 0); at; at = FindNextAttributeIn(b, kAttrData, at)) {
            std::optional<std::u16string> name = AttributeName(b, at);
            if (!name || name->empty()) continue;
            const bool nonResident = b[at + 8] != 0;
            std::uint64_t size = 0;
            std::size_t from = 0, length = 0;
            if (!nonResident && ResidentContentIn(b, at, from, length)) size = length;
            else if (nonResident && GetU32(b.data() + at + 4) >= 0x40 && GetU64(b.data() + at + 0x10) == 0) size = GetU64(b.data() + at + 0x30);
            else continue;  // a later piece of a stream, or a damaged one
            if (std::any_of(streams.begin(), streams.end(), [&](const NamedStream& s) { return s.Name == *name; })) continue;
            if (streams.size() >= kMaxNamedStreams) {
                if (more) *more = true;
                return streams;
            }
            streams.push_back(NamedStream{std::move(*name), size});
        }
    }
    return streams;
}

bool CMftRecordParser::Encrypted() const {
    if (DataFlags & kAttrFlagEncrypted) return true;
    for (std::size_t part = 0; part < PartCount(); ++part) {
        const std::vector<std::uint8_t>& b = Part(part);
        if (const std::size_t at = FindNextAttributeIn(b, kAttrStandardInformation, 0)) {
            std::size_t from = 0, size = 0;
            if (ResidentContentIn(b, at, from, size) && size >= 0x24 && (GetU32(b.data() + from + 0x20) & kFileAttrEncrypted))
                return true;
        }
        for (std::size_t at = FindNextAttributeIn(b, kAttrLoggedUtilityStream, 0); at;
             at = FindNextAttributeIn(b, kAttrLoggedUtilityStream, at))
            if (AttributeName(b, at) == u"$EFS") return true;
    }
    return false;
}

bool CMftRecordParser::Parse() {
    Runs.clear();
    DataSize = 0;
    NonResident = false;
    ResidentOffset = 0;
    ResidentPart = 0;
    DataStreams = 0;
    HasData = false;
    AttributesDamaged = false;
    RunsDamaged = false;
    listDamaged_ = false;
    selected_.clear();
    if (!HasFileMagic(Buffer)) return false;
    FixupsTorn = !ApplyFixups();
    if (Buffer.size() >= 0x18) {
        std::size_t at = GetU16(Buffer.data() + 0x14);
        Attribute a;
        while (NextAttributeIn(Buffer, at, a)) {
        }
        AttributesDamaged = at > Buffer.size() - 4 || GetU32(Buffer.data() + at) != kAttrEnd;
    }
    for (std::size_t at = FindAttribute(kAttrData); at; at = FindNextAttribute(kAttrData, at)) ++DataStreams;
    // The unnamed data stream; the named ones are streams of their own.
    CollectData();
    return true;
}

void CMftRecordParser::LoadExtensions() {
    const std::size_t at = FindAttribute(kAttrAttributeList);
    if (!at) return;
    std::vector<std::uint8_t> list;
    std::size_t from = 0, size = 0;
    if (ResidentContentIn(Buffer, at, from, size)) {
        list.assign(Buffer.begin() + static_cast<std::ptrdiff_t>(from), Buffer.begin() + static_cast<std::ptrdiff_t>(from + size));
    } else if (Buffer[at + 8] != 0 && GetU32(Buffer.data() + at + 4) >= 0x40) {
        // A long list lives in clusters of its own.
        std::vector<MFT_RUN> runs;
        const std::size_t length = GetU32(Buffer.data() + at + 4);
        const std::uint16_t pairs = GetU16(Buffer.data() + at + 0x20);
        const bool decoded = pairs < length && DecodeRuns(at + pairs, at + length, 0, runs);
        if (!decoded) listDamaged_ = true;
        if (decoded) {
            const std::uint64_t bytes = std::min<std::uint64_t>(GetU64(Buffer.data() + at + 0x30), kMaxAttributeListBytes);
            std::uint64_t clusters = 0;
            for (const auto& r : runs) clusters += r.Length;
            std::vector<std::uint8_t> raw(std::min<std::uint64_t>(clusters * fs_.ClusterBytes, kMaxAttributeListBytes), 0);
            std::size_t filled = 0;
            for (const auto& r : runs) {
                const std::uint64_t count = std::min<std::uint64_t>(r.Length, (raw.size() - filled) / fs_.ClusterBytes);
                if (count == 0) break;
                if (!r.Sparse) fs_.ReadClusters(r.Lcn, count, raw.data() + filled);
                filled += static_cast<std::size_t>(count * fs_.ClusterBytes);
            }
            raw.resize(std::min<std::uint64_t>(bytes, raw.size()));
            list = std::move(raw);
        }
    }
    const std::uint64_t self = RecordNumber();
    for (std::size_t p = 0; p + 0x18 <= list.size();) {
        const std::uint32_t type = GetU32(list.data() + p);
        const std::uint16_t entryLength = GetU16(list.data() + p + 4);
        if (type == kAttrEnd || entryLength < 0x18) break;
        const std::uint64_t number = GetU64(list.data() + p + 0x10) & kRecordNumberMask;
        p += entryLength;
        if (type != kAttrData && type != kAttrFileName && type != kAttrStandardInformation &&
            type != kAttrLoggedUtilityStream)
            continue;
        if (number == self || extensions_.size() >= kMaxExtensions) continue;
        if (std::find(extensionNumbers_.begin(), extensionNumbers_.end(), number) != extensionNumbers_.end()) continue;
        extensionNumbers_.push_back(number);
        std::vector<std::uint8_t> record = fs_.ReadMftRecord(number);
        CMftRecordParser ext(fs_);
        if (record.empty() || !ext.Load(record) || ext.BaseReference() != (self & kRecordNumberMask)) continue;
        extensions_.push_back(std::move(ext.Buffer));
    }
    // The selected stream again, with its pieces in the extensions.
    CollectData();
}

std::uint64_t CMftRecordParser::VcnToLcn(std::uint64_t vcn) const {
    for (const auto& r : Runs)
        if (r.FirstVcn <= vcn && vcn <= r.LastVcn) return r.Lcn + (vcn - r.FirstVcn);
    return ~std::uint64_t{0};
}

std::uint64_t CMftRecordParser::ReadStream(std::uint64_t offset, std::uint64_t length, std::uint8_t* out) const {
    if (!NonResident) {
        const std::vector<std::uint8_t>& b = Part(ResidentPart);
        if (!HasData || offset > DataSize || ResidentOffset + DataSize > b.size()) return 0;
        const std::uint64_t n = std::min(length, DataSize - offset);
        if (n) std::memcpy(out, b.data() + ResidentOffset + offset, static_cast<std::size_t>(n));
        return n;
    }
    const std::uint64_t cb = fs_.ClusterBytes;
    std::uint64_t copied = 0;
    std::vector<std::uint8_t> temp;
    while (copied < length) {
        const std::uint64_t at = offset + copied;
        const std::uint64_t vcn = at / cb, within = at % cb;
        const auto run = std::find_if(Runs.begin(), Runs.end(), [&](const MFT_RUN& r) { return r.FirstVcn <= vcn && vcn <= r.LastVcn; });
        if (run == Runs.end()) break;
        const std::uint64_t wanted = (within + (length - copied) + cb - 1) / cb;
        const std::uint64_t count = std::min({wanted, run->LastVcn - vcn + 1, std::uint64_t{CFileSystem_NTFS::kChunkBytes / cb + 1}});
        temp.assign(static_cast<std::size_t>(count * cb), 0);
        if (!run->Sparse && !fs_.ReadClusters(run->Lcn + (vcn - run->FirstVcn), count, temp.data())) break;
        const std::uint64_t n = std::min(count * cb - within, length - copied);
        std::memcpy(out + copied, temp.data() + within, static_cast<std::size_t>(n));
        copied += n;
    }
    return copied;
}

void CMftRecordParser::FillRecord(CFoundObject& record, std::uint64_t* parentReference) const {
    bool haveTimes = false, haveParent = false;
    int chosenNamespace = -1;
    if (parentReference) *parentReference = 0;
    for (std::size_t part = 0; part < PartCount(); ++part) {
        const std::vector<std::uint8_t>& b = Part(part);
        if (const std::size_t at = FindNextAttributeIn(b, kAttrStandardInformation, 0); at && !haveTimes) {
            std::size_t from = 0, size = 0;
            if (ResidentContentIn(b, at, from, size) && size >= 0x20) {
                record.CreationTime = GetU64(b.data() + from);
                record.ModificationTime = GetU64(b.data() + from + 8);
                record.AccessTime = GetU64(b.data() + from + 0x18);
                haveTimes = true;
            }
        }
        for (std::size_t at = FindNextAttributeIn(b, kAttrFileName, 0); at; at = FindNextAttributeIn(b, kAttrFileName, at)) {
            std::size_t from = 0, size = 0;
            if (!ResidentContentIn(b, at, from, size) || size < 0x42) continue;
            const std::uint8_t* fn = b.data() + from;
            if (!haveParent) {
                record.ParentId = GetU64(fn) & kRecordNumberMask;
                if (parentReference) *parentReference = GetU64(fn);
                record.Size = GetU64(fn + 0x30);
                haveParent = true;
            }
            const std::size_t chars = fn[0x40];
            const int ns = fn[0x41];
            if (chars == 0 || 0x42 + 2 * chars > size) continue;
            // Any name but the short DOS one (namespace 2) is preferred.
            const bool better = chosenNamespace < 0 || (chosenNamespace == 2 && ns != 2);
            if (!better) continue;
            std::u16string name;
            for (std::size_t i = 0; i < chars; ++i) name += static_cast<char16_t>(GetU16(fn + 0x42 + 2 * i));
            record.SetName(platform::Utf16ToUtf8(name));
            chosenNamespace = ns;
        }
    }
    // The data stream's own size is the file's size; the copy in the name
    // attribute is often stale. Without a data stream (folders) it stands.
    if (HasData || record.Size == CFoundObject::kUnknownSize) record.Size = DataSize;
}

// ---- the file system ----------------------------------------------------

CFileSystem_NTFS::CFileSystem_NTFS(CVolume& volume) : volume_(volume) {
    TypeCode = volume.FileSystem().TypeCode;
    TypeName = volume.FileSystem().TypeName;
    FsFlags = volume.FileSystem().FsFlags;
}

CFileSystem_NTFS::~CFileSystem_NTFS() { volume_.Close(); }

bool CFileSystem_NTFS::Busy() const { return volume_.PausePoint(); }

void CFileSystem_NTFS::Log(int level, const std::string& text) const {
    if (CEventLog* log = volume_.Context().log) log->Write(level, text);
}

bool CFileSystem_NTFS::ReadBootParameters() {
    const std::uint8_t* b = volume_.BootSector.data();
    const std::uint16_t bps = GetU16(b + 11);
    const std::uint8_t spcByte = b[13];
    // Clusters above 64 KiB are written as a negative power of two.
    const std::uint64_t spc = spcByte > 0x80 ? (1ULL << std::min(256 - spcByte, 24)) : spcByte;
    if (bps < 512 || bps > 4096 || (bps & (bps - 1)) != 0 || spc == 0) return false;
    ClusterBytes = bps * spc;
    TotalSectors = GetU64(b + 0x28);
    MftCluster = GetU64(b + 0x30);
    MftMirrCluster = GetU64(b + 0x38);
    const auto perRecord = static_cast<std::int8_t>(b[0x40]);
    // A negative value is a power of two in bytes (0xF6: 1024); a positive
    // one counts clusters.
    const std::uint64_t recordBytes = perRecord < 0 ? (1ULL << std::min(-perRecord, 20)) : perRecord * ClusterBytes;
    if (recordBytes < 256 || recordBytes > 65536) return false;
    RecordSize = static_cast<std::uint32_t>(recordBytes);
    const std::uint64_t serial = GetU64(b + 0x48);
    if (serial) {
        volume_.SerialNumber = static_cast<std::uint32_t>(serial);
        volume_.SerialNumberHigh = static_cast<std::uint32_t>(serial >> 32);
    }
    volume_.BytesPerSector = bps;
    volume_.SectorsPerCluster = static_cast<std::uint32_t>(std::min<std::uint64_t>(spc, 0xFFFFFFFF));
    volume_.ClusterSize = static_cast<std::uint32_t>(ClusterBytes);
    const std::uint64_t volumeBytes = volume_.Size ? volume_.Size : TotalSectors * bps;
    VolumeClusters = volumeBytes / ClusterBytes;
    return true;
}

bool CFileSystem_NTFS::ReadClusters(std::uint64_t lcn, std::uint64_t count, std::uint8_t* out) const {
    if (count == 0 || lcn >= VolumeClusters) return false;
    count = std::min(count, VolumeClusters - lcn);  // never beyond the volume
    const std::uint64_t perCluster = ClusterBytes / 512;
    return volume_.ReadSectors(out, lcn * perCluster, count * perCluster) != 0;
}

std::vector<std::uint8_t> CFileSystem_NTFS::ReadMftRecord(std::uint64_t number) const {
    std::vector<std::uint8_t> record(RecordSize, 0);
    if (!MftRecord || number >= RecordCount) return {};
    if (MftRecord->ReadStream(number * RecordSize, RecordSize, record.data()) != RecordSize) return {};
    if (!HasFileMagic(record)) return {};
    return record;
}

bool CFileSystem_NTFS::LoadMft() {
    std::vector<std::uint8_t> first(RecordSize, 0), mirror(RecordSize, 0);
    const std::uint64_t clusters = (RecordSize + ClusterBytes - 1) / ClusterBytes;
    std::vector<std::uint8_t> raw(clusters * ClusterBytes, 0);
    if (ReadClusters(MftCluster, clusters, raw.data())) std::memcpy(first.data(), raw.data(), RecordSize);
    std::fill(raw.begin(), raw.end(), 0);
    if (ReadClusters(MftMirrCluster, clusters, raw.data())) std::memcpy(mirror.data(), raw.data(), RecordSize);
    MftRecord = std::make_unique<CMftRecordParser>(*this);
    const bool useMirror = !HasFileMagic(first) && HasFileMagic(mirror);
    if (!MftRecord->Load(useMirror ? mirror : first)) return false;
    const std::uint32_t allocated = GetU32(MftRecord->Buffer.data() + 0x1C);
    if (allocated >= 256 && allocated <= 65536 && allocated % 512 == 0 && allocated != RecordSize) {
        RecordSize = allocated;
        std::vector<std::uint8_t> again(RecordSize, 0);
        std::vector<std::uint8_t> raw2(((RecordSize + ClusterBytes - 1) / ClusterBytes) * ClusterBytes, 0);
        if (ReadClusters(useMirror ? MftMirrCluster : MftCluster, raw2.size() / ClusterBytes, raw2.data())) {
            std::memcpy(again.data(), raw2.data(), RecordSize);
            MftRecord->Load(again);
        }
    }
    if (MftRecord->RunsDamaged)
        Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kNtfsMftRunsDamaged, VolumeClusters));
    if (!MftRecord->NonResident || MftRecord->Runs.empty()) return false;
    // The MFT cannot hold more than its runs cover, nor more than the volume.
    std::uint64_t covered = 0;
    for (const auto& r : MftRecord->Runs) covered += r.Length;
    const std::uint64_t bytes = std::min({MftRecord->DataSize, covered * ClusterBytes, VolumeClusters * ClusterBytes});
    RecordCount = bytes / RecordSize;
    MftRecord->LoadExtensions();
    covered = 0;
    for (const auto& r : MftRecord->Runs) covered += r.Length;
    RecordCount = std::min({MftRecord->DataSize, covered * ClusterBytes, VolumeClusters * ClusterBytes}) / RecordSize;
    RecordCount = std::min(RecordCount, kMaxRecords);
    return RecordCount > 0;
}

void CFileSystem_NTFS::LoadClusterBitmap() {
    CEventLog* log = volume_.Context().log;
    if (log) log->LogInfo(FormatMessageText(volume_.Context().texts, ids::kLoadingClusterBitmapStart));
    const std::vector<std::uint8_t> record = ReadMftRecord(6);
    CMftRecordParser bitmap(*this);
    if (!record.empty() && bitmap.Load(record)) {
        bitmap.LoadExtensions();
        // Read a megabyte at a time: the bitmap of a large volume is never
        // held whole. A run of used clusters goes on across the pieces.
        const std::uint64_t bytes = std::min(bitmap.DataSize, (VolumeClusters + 7) / 8);
        const std::uint64_t perCluster = ClusterBytes / 512;
        std::vector<std::uint8_t> bits(static_cast<std::size_t>(std::min<std::uint64_t>(bytes, kChunkBytes)));
        std::uint64_t start = 0, count = 0;
        for (std::uint64_t at = 0; at < bytes;) {
            const std::uint64_t want = std::min<std::uint64_t>(bits.size(), bytes - at);
            const std::uint64_t got = bitmap.ReadStream(at, want, bits.data());
            if (got == 0) break;
            const std::uint64_t first = at * 8;
            for (std::uint64_t c = first; c < first + got * 8 && c < VolumeClusters; ++c) {
                if (bits[static_cast<std::size_t>((c - first) / 8)] & (1u << (c % 8))) {
                    if (count++ == 0) start = c;
                } else if (count) {
                    UsedSpace.push_back({start * perCluster, count * perCluster});
                    count = 0;
                }
            }
            if (got < want) break;
            at += got;
        }
        if (count) UsedSpace.push_back({start * perCluster, count * perCluster});
    }
    if (log) log->LogInfo(FormatMessageText(volume_.Context().texts, ids::kLoadingClusterBitmapComplete));
}

void CFileSystem_NTFS::DamageCount::Add(std::uint64_t number) {
    if (count++ < 5) first.push_back(number);
}

std::string CFileSystem_NTFS::DamageCount::Records() const {
    std::string text;
    for (std::uint64_t n : first) text += (text.empty() ? "" : ", ") + std::to_string(n);
    return text + (count > first.size() ? ", ..." : "");
}

bool CFileSystem_NTFS::AddRecord(CMftRecordParser& parser, std::uint64_t number, std::uint16_t extraFlags) {
    CFoundObject record;
    record.Init();
    record.Flags |= extraFlags;
    record.Id = number;
    const std::uint16_t flags = parser.Flags();
    if (!(flags & 0x0001)) record.Flags |= FO_DELETED;
    if (flags & 0x0002) record.Flags |= FO_FOLDER;
    else if (extraFlags & FO_FS_RUNS) record.Flags |= FO_SCANNED_FILE;
    parser.LoadExtensions();
    std::uint64_t parentReference = 0;
    parser.FillRecord(record, &parentReference);
    if (!parser.Runs.empty()) {
        record.StartPos = parser.Runs.front().Lcn;
        record.DataOffset = record.StartPos * ClusterBytes;
    }
    if (record.Id == kRootRecord) {
        // The root is the volume's "Filesystem" node; streams of it are
        // listed inside it, as ".:stream".
        record.ParentId = kRootRecord;
        AddStreams(parser, record, extraFlags);
        return true;
    }
    if (record.ParentId == 0) return false;
    if (record.IsDeleted()) record.ParentId = FolderOfDeleted(parentReference);
    listed_.insert(number);
    volume_.AddFileSystemObject(record);
    if (parser.HasData && !record.IsFolder()) {
        if (const std::string problem = ContentProblem(parser); !problem.empty())
            NoteUnreadable(record.GetName(), number, problem);
    }
    AddStreams(parser, record, extraFlags);
    return true;
}

void CFileSystem_NTFS::AddStreams(CMftRecordParser& parser, const CFoundObject& file, std::uint16_t extraFlags) {
    bool more = false;
    const std::vector<CMftRecordParser::NamedStream> streams = parser.NamedStreams(&more);
    if (streams.empty()) return;
    const std::uint64_t number = file.Id;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (!parser.SelectStream(streams[i].Name)) continue;
        CFoundObject stream;
        stream.Init();
        stream.Flags = static_cast<std::uint16_t>((file.Flags & FO_DELETED) | (extraFlags & FO_FS_RUNS) | FO_STREAM);
        if (extraFlags & FO_FS_RUNS) stream.Flags |= FO_SCANNED_FILE;
        stream.Id = StreamId(number, i + 1);
        stream.ParentId = file.ParentId;
        stream.CreationTime = file.CreationTime;
        stream.ModificationTime = file.ModificationTime;
        stream.AccessTime = file.AccessTime;
        const std::string fileName = number == kRootRecord ? std::string(".") : file.GetName();
        stream.SetName(fileName + ":" + platform::Utf16ToUtf8(streams[i].Name));
        stream.Size = parser.DataSize;
        if (!parser.Runs.empty()) {
            stream.StartPos = parser.Runs.front().Lcn;
            stream.DataOffset = stream.StartPos * ClusterBytes;
        }
        volume_.AddFileSystemObject(stream);
        if (const std::string problem = ContentProblem(parser); !problem.empty())
            NoteUnreadable(stream.GetName(), number, problem);
    }
    if (more)
        Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kNtfsTooManyStreams, number,
                                         static_cast<int>(CMftRecordParser::kMaxNamedStreams)));
    parser.SelectStream({});
}

// A deleted object's folder is the record its reference names while that
// record still has the reference's sequence number, or the next one (a
// record's sequence number moves on when it is freed). Any other number
// means the record was reused for another file or folder since: the object
// belongs to a former folder of which nothing is left but the number.
std::uint64_t CFileSystem_NTFS::FolderOfDeleted(std::uint64_t reference) {
    const std::uint64_t number = reference & kRecordNumberMask;
    const auto sequence = static_cast<std::uint16_t>(reference >> 48);
    if (sequence == 0 || number == kRootRecord || number >= RecordCount || number >= kMaxRecords) return number;
    auto state = folderStates_.find(number);
    if (state == folderStates_.end()) {
        std::uint32_t value = 0;
        if (const std::vector<std::uint8_t> bytes = ReadMftRecord(number); bytes.size() >= 0x18)
            value = GetU16(bytes.data() + 0x10) | (GetU16(bytes.data() + 0x16) & 1u) << 16 | 1u << 17;
        state = folderStates_.emplace(number, value).first;
    }
    if (!(state->second & 1u << 17)) return number;  // unreadable: nothing to compare with
    const auto current = static_cast<std::uint16_t>(state->second);
    const bool inUse = (state->second & 1u << 16) != 0;
    const std::uint16_t next = sequence == 0xFFFF ? 1 : static_cast<std::uint16_t>(sequence + 1);
    if (current == sequence || (!inUse && current == next)) return number;
    return kFormerFolderTag | std::uint64_t{sequence} << 32 | number;
}

void CFileSystem_NTFS::NoteUnreadable(const std::string& name, std::uint64_t number, const std::string& reason) {
    if (unreadable_++ >= kMaxUnreadableLogged) return;
    Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kNtfsStoredUnreadable, name, number, reason));
}

std::uint64_t CFileSystem_NTFS::RecordOf(std::uint64_t id) {
    if (static_cast<std::int64_t>(id) >= 0 && (id & (kStreamIdTag | kFormerFolderTag))) return id & 0xFFFFFFFF;
    return id & kRecordNumberMask;
}

std::uint32_t CFileSystem_NTFS::StreamOrdinalOf(std::uint64_t id) {
    if (static_cast<std::int64_t>(id) < 0 || !(id & kStreamIdTag)) return 0;
    return static_cast<std::uint32_t>(id >> 32 & 0xFFFF);
}

bool CFileSystem_NTFS::LoadObject(const CFoundObject& record, CMftRecordParser& parser) {
    const auto bytes = ReadMftRecord(RecordOf(record.Id));
    if (bytes.empty() || !parser.Load(bytes)) return false;
    parser.LoadExtensions();
    if (const std::uint32_t ordinal = StreamOrdinalOf(record.Id)) {
        const auto streams = parser.NamedStreams();
        if (ordinal > streams.size() || !parser.SelectStream(streams[ordinal - 1].Name)) return false;
    }
    return true;
}

std::string CFileSystem_NTFS::ContentProblem(const CMftRecordParser& parser) const {
    if (!parser.HasData || parser.DataSize == 0) return {};
    if (parser.Encrypted()) return kEncryptedProblem;
    // Resident content is never stored compressed, whatever its flags say.
    if (!parser.NonResident || !(parser.DataFlags & kAttrFlagCompressionMask)) return {};
    if ((parser.DataFlags & kAttrFlagCompressionMask) != kAttrFlagLznt1 || parser.CompressionUnit == 0 ||
        parser.CompressionUnit > 16 || (ClusterBytes << parser.CompressionUnit) > kMaxCompressionUnitBytes)
        return kUndecodableProblem;
    return {};
}

void CFileSystem_NTFS::DescribeContent(const CFoundObject& record, CONTENT_FORM& form) {
    CMftRecordParser parser(*this);
    if (!LoadObject(record, parser) || !parser.HasData) return;
    if (std::string problem = ContentProblem(parser); !problem.empty()) {
        form.Problem = std::move(problem);
        return;
    }
    if (!parser.NonResident) return;
    form.ValidBytes = std::min(parser.InitializedSize, parser.DataSize);
    if (parser.DataFlags & kAttrFlagCompressionMask)
        form.Decoder = std::make_unique<CNtfsCompressedStream>(volume_, ClusterBytes, VolumeClusters, parser.Runs,
                                                               parser.DataSize, std::uint64_t{1} << parser.CompressionUnit);
}

std::string CFileSystem_NTFS::ReadVolumeLabel(CVolume& volume) {
    const std::uint8_t* b = volume.BootSector.data();
    const std::uint16_t bps = GetU16(b + 11);
    const std::uint8_t spcByte = b[13];
    const std::uint64_t spc = spcByte > 0x80 ? (1ULL << std::min(256 - spcByte, 24)) : spcByte;
    if (bps < 512 || bps > 4096 || (bps & (bps - 1)) != 0 || spc == 0) return {};
    const std::uint64_t clusterBytes = bps * spc;
    const auto perRecord = static_cast<std::int8_t>(b[0x40]);
    const std::uint64_t recordBytes = perRecord < 0 ? (1ULL << std::min(-perRecord, 20)) : perRecord * clusterBytes;
    if (recordBytes < 1024 || recordBytes > 65536) return {};
    // Record 3 lies in the MFT's first run, which never holds fewer than 16
    // records, and in the mirror, which holds the first four.
    std::vector<std::uint8_t> record(static_cast<std::size_t>(recordBytes), 0);
    for (const std::uint64_t cluster : {GetU64(b + 0x30), GetU64(b + 0x38)}) {
        if (cluster > (~std::uint64_t{0} - 3 * recordBytes) / clusterBytes) continue;
        const std::uint64_t offset = cluster * clusterBytes + 3 * recordBytes;
        if (volume.ReadSectors(record.data(), offset / 512, recordBytes / 512) != recordBytes) continue;
        if (!HasFileMagic(record) || GetU32(record.data() + 0x2C) != 3) continue;
        ApplyUpdateSequence(record);
        const std::size_t at = FindNextAttributeIn(record, kAttrVolumeName, 0);
        std::size_t from = 0, size = 0;
        if (!at || !ResidentContentIn(record, at, from, size)) continue;
        std::u16string name(size / 2, u'\0');
        for (std::size_t i = 0; i < name.size(); ++i) name[i] = static_cast<char16_t>(GetU16(record.data() + from + 2 * i));
        std::string label = platform::Utf16ToUtf8(name);
        // The label reaches terminals and logs: no control characters.
        for (char& c : label)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
        return label;
    }
    return {};
}

int CFileSystem_NTFS::Initialize() {
    shared_ = std::make_unique<CMftRecordParser>(*this);
    folderStates_.clear();
    unreadable_ = 0;
    if (!volume_.OpenDrive()) return 0;
    if (!ReadBootParameters() || !LoadMft()) {
        Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kNtfsLoadMftFailed));
        return 0;
    }
    LoadClusterBitmap();
    if (CEventLog* log = volume_.Context().log)
        log->LogInfo(FormatMessageText(volume_.Context().texts, ids::kAnalyzingMftTable));
    // Progress in 512-byte sectors of the MFT, as in every stage.
    volume_.ProgressPos = 0;
    volume_.ProgressEnd = RecordCount * RecordSize / 512;

    // The MFT is read through its runs a megabyte at a time and its records
    // parsed from memory.
    const std::uint64_t perChunk = std::max<std::uint64_t>(1, kChunkBytes / RecordSize);
    std::vector<std::uint8_t> chunk;
    for (std::uint64_t first = 0; first < RecordCount; first += perChunk) {
        const std::uint64_t count = std::min(perChunk, RecordCount - first);
        chunk.assign(static_cast<std::size_t>(count * RecordSize), 0);
        const std::uint64_t got = MftRecord->ReadStream(first * RecordSize, chunk.size(), chunk.data());
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t n = first + i;
            volume_.ProgressPos = n * RecordSize / 512;
            if (!Busy()) return 0;
            if ((i + 1) * RecordSize > got) break;
            const std::span<const std::uint8_t> bytes(chunk.data() + i * RecordSize, RecordSize);
            if (!HasFileMagic(bytes) || !shared_->Load(bytes)) continue;
            if (shared_->FixupsTorn) ++tornRecords_;
            if (shared_->AttributesDamaged) damagedAttributes_.Add(n);
            // Extension records belong to their base record.
            if (shared_->BaseReference() != 0) continue;
            const bool placed = AddRecord(*shared_, n, 0);
            if (shared_->RunsDamaged) damagedRuns_.Add(n);
            // Records 12 to 15 are reserved: in use, and named by nothing.
            if (!placed && (shared_->Flags() & 0x0001) && n >= 16) unnamed_.Add(n);
        }
    }
    if (tornRecords_)
        Log(kLogWarning, FormatMessageText(volume_.Context().texts, ids::kNtfsTornRecords, tornRecords_));
    if (damagedAttributes_.count)
        Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kNtfsDamagedAttributes, damagedAttributes_.count,
                                         damagedAttributes_.Records()));
    if (damagedRuns_.count)
        Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kNtfsDamagedRuns, damagedRuns_.count,
                                         damagedRuns_.Records()));
    if (unnamed_.count)
        Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kNtfsUnnamedRecords, unnamed_.count, unnamed_.Records()));
    if (unreadable_ > kMaxUnreadableLogged)
        Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kNtfsMoreStoredUnreadable, unreadable_ - kMaxUnreadableLogged));
    return 0;
}

bool CFileSystem_NTFS::Reopen() {
    shared_ = std::make_unique<CMftRecordParser>(*this);
    folderStates_.clear();
    listed_.clear();
    if (!volume_.OpenDrive() || !ReadBootParameters() || !LoadMft()) return false;
    LoadClusterBitmap();
    return true;
}

void CFileSystem_NTFS::NoteReopenedRecord(const CFoundObject& record) {
    // A record of the MFT (not one of its named streams, nor a file found by
    // its signature) is listed by its number.
    if (!(record.Flags & (FO_STREAM | FO_BY_SIGNATURE | FO_LOST_FOLDER))) listed_.insert(record.Id);
}

void CFileSystem_NTFS::AddMftRecord(std::span<const std::uint8_t> bytes) {
    if (!shared_) shared_ = std::make_unique<CMftRecordParser>(*this);
    if (!HasFileMagic(bytes) || !shared_->Load(bytes) || shared_->BaseReference() != 0) return;
    // Its content is read through the MFT's record of that number, which the
    // file-system stage (or an earlier find) has listed already.
    if (listed_.count(shared_->RecordNumber())) return;
    AddRecord(*shared_, shared_->RecordNumber(), FO_FS_RUNS);
}

void CFileSystem_NTFS::AddScannedRecords(const CFoundObject& found) {
    const std::uint64_t sector = found.DataOffset / 512;
    const std::uint64_t perRecord = std::max<std::uint32_t>(RecordSize / 512, 1);
    std::vector<std::uint8_t> record(RecordSize, 0);
    for (int i = 0; i < 10; ++i) {
        const std::uint64_t s = sector + i * perRecord;
        if (volume_.TotalSectors && s + perRecord > volume_.TotalSectors) break;
        if (volume_.ReadSectors(record.data(), s, perRecord) != RecordSize) break;
        if (HasFileMagic(record)) AddMftRecord(record);
    }
}

bool CFileSystem_NTFS::BuildClusterRuns(const CFoundObject& record, std::vector<CLUSTER_RUN>& runs) {
    CMftRecordParser parser(*this);
    if (!LoadObject(record, parser)) return false;
    if (parser.RunsDamaged)
        Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kNtfsRecordRunsDamaged, RecordOf(record.Id)));
    for (const auto& r : parser.Runs) runs.push_back(CLUSTER_RUN{r.Sparse ? kSparseRunStart : r.Lcn, r.Length});
    return true;
}

bool CFileSystem_NTFS::BuildRuns(const CFoundObject& record, std::vector<SECTOR_RUN>& runs) {
    std::vector<CLUSTER_RUN> clusters;
    if (!BuildClusterRuns(record, clusters)) return false;
    const std::uint64_t perCluster = ClusterBytes / 512;
    for (const auto& c : clusters)
        runs.push_back(SECTOR_RUN{c.FirstCluster == kSparseRunStart ? kSparseRunStart : c.FirstCluster * perCluster,
                                  c.ClusterCount * perCluster});
    return true;
}

bool CFileSystem_NTFS::ReadResident(const CFoundObject& record, std::vector<std::uint8_t>& content) {
    CMftRecordParser parser(*this);
    if (!LoadObject(record, parser)) return false;
    if (!parser.HasData || parser.NonResident || parser.DataSize > RecordSize) return false;
    content.resize(static_cast<std::size_t>(parser.DataSize));
    content.resize(static_cast<std::size_t>(parser.ReadStream(0, parser.DataSize, content.data())));
    return true;
}

}  // namespace tl
