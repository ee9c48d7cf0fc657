#include "filesystems/file_system_ntfs.h"

#include <algorithm>
#include <cstring>

#include "app/event_log.h"
#include "app/languages.h"
#include "app/string_ids.h"
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
constexpr std::uint32_t kAttrData = 0x80;
constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;
constexpr std::size_t kFixupStride = 512;
constexpr std::size_t kMaxExtensions = 4096;
constexpr std::uint64_t kMaxAttributeListBytes = 1 << 20;
constexpr std::uint64_t kRecordNumberMask = 0x0000FFFFFFFFFFFFULL;

bool HasFileMagic(std::span<const std::uint8_t> b) { return b.size() >= 4 && GetU32(b.data()) == kFileMagic; }

}  // namespace

// ---- one record ---------------------------------------------------------

std::uint16_t CMftRecordParser::Flags() const { return Buffer.size() >= 0x18 ? GetU16(Buffer.data() + 0x16) : 0; }
std::uint64_t CMftRecordParser::BaseReference() const {
    return Buffer.size() >= 0x28 ? GetU64(Buffer.data() + 0x20) & kRecordNumberMask : 0;
}
std::uint32_t CMftRecordParser::RecordNumber() const { return Buffer.size() >= 0x30 ? GetU32(Buffer.data() + 0x2C) : 0; }

bool CMftRecordParser::Load(std::span<const std::uint8_t> record) {
    Buffer.assign(record.begin(), record.end());
    extensions_.clear();
    extensionNumbers_.clear();
    return Parse();
}

bool CMftRecordParser::ApplyFixups() {
    if (Buffer.size() < 0x30) return false;
    const std::size_t o = GetU16(Buffer.data() + 4);
    const std::size_t k = GetU16(Buffer.data() + 6);
    if (k < 2 || o + 2 * k > Buffer.size()) return false;
    const std::uint16_t usn = GetU16(Buffer.data() + o);
    bool intact = true;
    for (std::size_t i = 1; i < k && i * kFixupStride <= Buffer.size(); ++i) {
        std::uint8_t* end = Buffer.data() + i * kFixupStride - 2;
        if (GetU16(end) != usn) intact = false;
        std::memcpy(end, Buffer.data() + o + 2 * i, 2);
    }
    return intact;
}

bool CMftRecordParser::NextAttribute(std::size_t& at, Attribute& a) const {
    if (at + 16 > Buffer.size()) return false;
    a.offset = at;
    a.type = GetU32(Buffer.data() + at);
    if (a.type == kAttrEnd) return false;
    // Attribute types are multiples of 0x10 up to 0x100: anything else is
    // the middle of another attribute that a wrong length led into.
    if (a.type < 0x10 || a.type > 0x100 || a.type % 0x10 != 0) return false;
    a.length = GetU32(Buffer.data() + at + 4);
    if (a.length < 16 || a.length % 8 != 0 || a.length > Buffer.size() - at) return false;
    at += a.length;
    return true;
}

std::size_t CMftRecordParser::FindNextAttribute(std::uint32_t type, std::size_t after) const {
    if (Buffer.size() < 0x18) return 0;
    std::size_t at = after ? after : GetU16(Buffer.data() + 0x14);
    Attribute a;
    if (after) {
        if (!NextAttribute(at, a)) return 0;  // step over `after`
    }
    while (NextAttribute(at, a))
        if (a.type == type) return a.offset;
    return 0;
}

std::size_t CMftRecordParser::FindAttribute(std::uint32_t type) const { return FindNextAttribute(type, 0); }

bool CMftRecordParser::ResidentContent(std::size_t at, std::size_t& from, std::size_t& size) const {
    const std::uint8_t* a = Buffer.data() + at;
    const std::uint32_t length = GetU32(a + 4);
    if (a[8] != 0 || length < 0x18) return false;
    const std::uint32_t contentLength = GetU32(a + 0x10);
    const std::uint16_t contentOffset = GetU16(a + 0x14);
    if (contentOffset > length || contentLength > length - contentOffset) return false;
    from = at + contentOffset;
    size = contentLength;
    return true;
}

bool CMftRecordParser::DecodeRuns(std::size_t p, std::size_t end, std::uint64_t vcn, std::vector<MFT_RUN>& out) const {
    std::int64_t lcn = 0;
    const std::uint64_t maxClusters = fs_.VolumeClusters ? fs_.VolumeClusters : ~std::uint64_t{0};
    while (p < end && Buffer[p] != 0) {
        const unsigned L = Buffer[p] & 0x0F, O = Buffer[p] >> 4;
        if (L == 0 || L > 8 || O > 8 || p + 1 + L + O > end) return false;
        std::uint64_t length = 0;
        for (unsigned i = 0; i < L; ++i) length |= std::uint64_t{Buffer[p + 1 + i]} << (8 * i);
        std::int64_t delta = 0;
        if (O > 0) {
            std::uint64_t raw = 0;
            for (unsigned i = 0; i < O; ++i) raw |= std::uint64_t{Buffer[p + 1 + L + i]} << (8 * i);
            if (O < 8 && (raw >> (8 * O - 1)) & 1) raw |= ~std::uint64_t{0} << (8 * O);  // negative
            delta = static_cast<std::int64_t>(raw);
        }
        // A run longer than the volume, or one that leaves it, is damage.
        if (length == 0 || length > maxClusters) return false;
        lcn += delta;
        const bool sparse = O == 0 || delta == 0;
        if (!sparse && (lcn < 0 || static_cast<std::uint64_t>(lcn) + length > maxClusters)) return false;
        out.push_back(MFT_RUN{sparse ? 0 : static_cast<std::uint64_t>(lcn), length, sparse ? 1u : 0u, vcn, vcn + length - 1});
        vcn += length;
        p += 1 + L + O;
    }
    return true;
}

void CMftRecordParser::TakeData(const std::vector<std::uint8_t>& record, std::size_t at, bool fromExtension) {
    const std::uint8_t* a = record.data() + at;
    const std::uint32_t length = GetU32(a + 4);
    const bool nonResident = a[8] != 0;
    if (!nonResident) {
        if (fromExtension) return;
        std::size_t from = 0, size = 0;
        if (!ResidentContent(at, from, size)) return;
        HasData = true;
        NonResident = false;
        ResidentOffset = from;
        DataSize = size;
        return;
    }
    if (length < 0x40) return;
    const std::uint64_t startVcn = GetU64(a + 0x10);
    const std::uint16_t pairs = GetU16(a + 0x20);
    if (pairs >= length) return;
    if (startVcn == 0) {
        DataSize = GetU64(a + 0x30);
        HasData = true;
        NonResident = true;
    }
    if (&record == &Buffer) {
        if (!DecodeRuns(at + pairs, at + length, startVcn, Runs)) RunsDamaged = true;
    } else {
        // Decode with the extension's bytes: swap them in for the call.
        CMftRecordParser other(fs_);
        other.Buffer = record;
        if (!other.DecodeRuns(at + pairs, at + length, startVcn, Runs)) RunsDamaged = true;
    }
}

bool CMftRecordParser::Parse() {
    Runs.clear();
    DataSize = 0;
    NonResident = false;
    ResidentOffset = 0;
    DataStreams = 0;
    HasData = false;
    AttributesDamaged = false;
    RunsDamaged = false;
    if (!HasFileMagic(Buffer)) return false;
    FixupsTorn = !ApplyFixups();
    if (Buffer.size() >= 0x18) {
        std::size_t at = GetU16(Buffer.data() + 0x14);
        Attribute a;
        while (NextAttribute(at, a)) {
        }
        AttributesDamaged = at > Buffer.size() - 4 || GetU32(Buffer.data() + at) != kAttrEnd;
    }
    // The unnamed data stream (named ones are alternate streams).
    std::size_t first = 0, unnamed = 0;
    for (std::size_t at = FindAttribute(kAttrData); at; at = FindNextAttribute(kAttrData, at)) {
        ++DataStreams;
        if (!first) first = at;
        if (!unnamed && Buffer[at + 9] == 0) unnamed = at;
    }
    if (const std::size_t at = unnamed ? unnamed : first) TakeData(Buffer, at, false);
    return true;
}

void CMftRecordParser::LoadExtensions() {
    const std::size_t at = FindAttribute(kAttrAttributeList);
    if (!at) return;
    std::vector<std::uint8_t> list;
    std::size_t from = 0, size = 0;
    if (ResidentContent(at, from, size)) {
        list.assign(Buffer.begin() + static_cast<std::ptrdiff_t>(from), Buffer.begin() + static_cast<std::ptrdiff_t>(from + size));
    } else if (Buffer[at + 8] != 0 && GetU32(Buffer.data() + at + 4) >= 0x40) {
        // A long list lives in clusters of its own.
        std::vector<MFT_RUN> runs;
        const std::size_t length = GetU32(Buffer.data() + at + 4);
        const std::uint16_t pairs = GetU16(Buffer.data() + at + 0x20);
        const bool decoded = pairs < length && DecodeRuns(at + pairs, at + length, 0, runs);
        if (!decoded) RunsDamaged = true;
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
        if (type != kAttrData && type != kAttrFileName && type != kAttrStandardInformation) continue;
        if (number == self || extensions_.size() >= kMaxExtensions) continue;
        if (std::find(extensionNumbers_.begin(), extensionNumbers_.end(), number) != extensionNumbers_.end()) continue;
        extensionNumbers_.push_back(number);
        std::vector<std::uint8_t> record = fs_.ReadMftRecord(number);
        CMftRecordParser ext(fs_);
        if (record.empty() || !ext.Load(record) || ext.BaseReference() != (self & kRecordNumberMask)) continue;
        // Data runs of the unnamed stream held in the extension.
        for (std::size_t a = ext.FindAttribute(kAttrData); a; a = ext.FindNextAttribute(kAttrData, a))
            if (ext.Buffer[a + 9] == 0) TakeData(ext.Buffer, a, true);
        extensions_.push_back(std::move(ext.Buffer));
    }
    std::sort(Runs.begin(), Runs.end(), [](const MFT_RUN& a, const MFT_RUN& b) { return a.FirstVcn < b.FirstVcn; });
}

std::uint64_t CMftRecordParser::VcnToLcn(std::uint64_t vcn) const {
    for (const auto& r : Runs)
        if (r.FirstVcn <= vcn && vcn <= r.LastVcn) return r.Lcn + (vcn - r.FirstVcn);
    return ~std::uint64_t{0};
}

std::uint64_t CMftRecordParser::ReadStream(std::uint64_t offset, std::uint64_t length, std::uint8_t* out) const {
    if (!NonResident) {
        if (!HasData || offset > DataSize || ResidentOffset + DataSize > Buffer.size()) return 0;
        const std::uint64_t n = std::min(length, DataSize - offset);
        if (n) std::memcpy(out, Buffer.data() + ResidentOffset + offset, static_cast<std::size_t>(n));
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

void CMftRecordParser::FillRecord(CFoundObject& record) const {
    const auto parts = [&](auto&& visit) {
        visit(Buffer);
        for (const auto& e : extensions_) visit(e);
    };
    bool haveTimes = false, haveParent = false;
    int chosenNamespace = -1;
    parts([&](const std::vector<std::uint8_t>& b) {
        CMftRecordParser view(fs_);
        view.Buffer = b;  // attributes are walked on a copy with the same bounds
        if (const std::size_t at = view.FindAttribute(kAttrStandardInformation); at && !haveTimes) {
            std::size_t from = 0, size = 0;
            if (view.ResidentContent(at, from, size) && size >= 0x20) {
                record.CreationTime = GetU64(b.data() + from);
                record.ModificationTime = GetU64(b.data() + from + 8);
                record.AccessTime = GetU64(b.data() + from + 0x18);
                haveTimes = true;
            }
        }
        for (std::size_t at = view.FindAttribute(kAttrFileName); at; at = view.FindNextAttribute(kAttrFileName, at)) {
            std::size_t from = 0, size = 0;
            if (!view.ResidentContent(at, from, size) || size < 0x42) continue;
            const std::uint8_t* fn = b.data() + from;
            if (!haveParent) {
                record.ParentId = GetU64(fn) & kRecordNumberMask;
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
    });
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
        Log(kLogError, "CFileSystem_NTFS: the run list of the MFT leaves the volume (" + std::to_string(VolumeClusters) +
                           " clusters) or is cut short; only the runs before the damage are read");
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
    return RecordCount > 0;
}

void CFileSystem_NTFS::LoadClusterBitmap() {
    CEventLog* log = volume_.Context().log;
    if (log) log->LogInfo(FormatMessageText(volume_.Context().texts, ids::kLoadingClusterBitmapStart));
    const std::vector<std::uint8_t> record = ReadMftRecord(6);
    CMftRecordParser bitmap(*this);
    if (!record.empty() && bitmap.Load(record)) {
        bitmap.LoadExtensions();
        const std::uint64_t bytes = std::min(bitmap.DataSize, (VolumeClusters + 7) / 8);
        std::vector<std::uint8_t> bits(static_cast<std::size_t>(bytes), 0);
        bits.resize(static_cast<std::size_t>(bitmap.ReadStream(0, bytes, bits.data())));
        const std::uint64_t perCluster = ClusterBytes / 512;
        std::uint64_t start = 0, count = 0;
        for (std::uint64_t c = 0; c < bits.size() * 8 && c < VolumeClusters; ++c) {
            if (bits[c / 8] & (1u << (c % 8))) {
                if (count++ == 0) start = c;
            } else if (count) {
                UsedSpace.push_back({start * perCluster, count * perCluster});
                count = 0;
            }
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
    parser.FillRecord(record);
    if (!parser.Runs.empty()) {
        record.StartPos = parser.Runs.front().Lcn;
        record.DataOffset = record.StartPos * ClusterBytes;
    }
    if (record.Id == kRootRecord) return true;
    if (record.ParentId == 0) return false;
    listed_.insert(number);
    volume_.AddFileSystemObject(record);
    return true;
}

int CFileSystem_NTFS::Initialize() {
    shared_ = std::make_unique<CMftRecordParser>(*this);
    if (!volume_.OpenDrive()) return 0;
    if (!ReadBootParameters() || !LoadMft()) {
        Log(kLogError, "CFileSystem_NTFS: Load MFT failed.");
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
        Log(kLogWarning, "CFileSystem_NTFS: " + std::to_string(tornRecords_) +
                             " MFT records carry torn update sequences; they were read as they stand");
    if (damagedAttributes_.count)
        Log(kLogError, "CFileSystem_NTFS: " + std::to_string(damagedAttributes_.count) +
                           " MFT records hold an attribute whose length leaves the record or runs into another "
                           "attribute (records " + damagedAttributes_.Records() + "); they were read up to the damage");
    if (damagedRuns_.count)
        Log(kLogError, "CFileSystem_NTFS: " + std::to_string(damagedRuns_.count) +
                           " MFT records hold a run list that leaves the volume or is cut short (records " +
                           damagedRuns_.Records() + "); only the runs before the damage are read");
    if (unnamed_.count)
        Log(kLogError, "CFileSystem_NTFS: " + std::to_string(unnamed_.count) +
                           " MFT records in use carry no readable file name (records " + unnamed_.Records() +
                           "); they are not listed");
    return 0;
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
    const auto bytes = ReadMftRecord(record.Id & kRecordNumberMask);
    if (bytes.empty() || !parser.Load(bytes)) return false;
    parser.LoadExtensions();
    if (parser.RunsDamaged)
        Log(kLogError, "CFileSystem_NTFS: the run list of MFT record " + std::to_string(record.Id & kRecordNumberMask) +
                           " leaves the volume or is cut short; only the runs before the damage are read");
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
    const auto bytes = ReadMftRecord(record.Id & kRecordNumberMask);
    if (bytes.empty() || !parser.Load(bytes)) return false;
    parser.LoadExtensions();
    if (!parser.HasData || parser.NonResident || parser.DataSize > RecordSize) return false;
    content.resize(static_cast<std::size_t>(parser.DataSize));
    content.resize(static_cast<std::size_t>(parser.ReadStream(0, parser.DataSize, content.data())));
    return true;
}

}  // namespace tl
