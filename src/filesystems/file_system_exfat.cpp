#include "filesystems/file_system_exfat.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "app/event_log.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "filesystems/synthetic_ids.h"
#include "platform/text.h"
#include "platform/time.h"
#include "storage/little_endian.h"
#include "storage/volume.h"

namespace tl {
namespace {

constexpr std::size_t kEntryBytes = 32;
constexpr std::size_t kRegionSectors = 12;  // boot, 8 extended boot, OEM, reserved, checksum
constexpr std::uint64_t kMaxFatBytes = 1ULL << 30;
constexpr std::uint64_t kMaxUpcaseBytes = 128 * 1024;
constexpr std::size_t kNameCharsPerEntry = 15;

// Entry types: the in-use bit (0x80) cleared marks a deleted entry.
constexpr std::uint8_t kInUse = 0x80;
constexpr std::uint8_t kSecondary = 0x40;
constexpr std::uint8_t kBitmapEntry = 0x81;
constexpr std::uint8_t kUpcaseEntry = 0x82;
constexpr std::uint8_t kLabelEntry = 0x83;
constexpr std::uint8_t kFileEntry = 0x85;
constexpr std::uint8_t kStreamEntry = 0xC0;
constexpr std::uint8_t kNameEntry = 0xC1;

constexpr std::uint32_t kBadCluster = 0xFFFFFFF7;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFF;
constexpr std::uint16_t kDirectoryAttribute = 0x10;
constexpr std::uint8_t kNoFatChainFlag = 0x02;

// A timestamp of a file entry: DOS date and time in one value, a 10 ms
// increment, and the offset from UTC in 15-minute steps when its high bit
// is set (else the time is local, as FAT's).
std::uint64_t EntryTime(const std::uint8_t* e, std::size_t stampAt, int incrementAt, std::size_t offsetAt) {
    const std::uint32_t stamp = GetU32(e + stampAt);
    const std::uint8_t increment = incrementAt >= 0 ? e[incrementAt] : 0;
    const std::uint8_t offset = e[offsetAt];
    std::optional<platform::FileTime> t;
    if (offset & 0x80) {
        // Seven bits of signed 15-minute steps.
        const int steps = (offset & 0x40) ? static_cast<int>(offset & 0x7F) - 128 : offset & 0x7F;
        t = platform::FromDosDateTimeAtOffset(static_cast<std::uint16_t>(stamp >> 16), static_cast<std::uint16_t>(stamp),
                                              increment, steps * 15);
    } else {
        t = platform::FromDosDateTime(static_cast<std::uint16_t>(stamp >> 16), static_cast<std::uint16_t>(stamp), increment);
    }
    return t.value_or(0);
}

}  // namespace

CFileSystem_exFAT::CFileSystem_exFAT(CVolume& volume) : CVolumeParser(volume) {
    TypeCode = kTypeCode;
    TypeName = "exFAT";
}

CFileSystem_exFAT::~CFileSystem_exFAT() = default;

std::optional<CFileSystem_exFAT::BootParameters> CFileSystem_exFAT::ReadBootSector(std::span<const std::uint8_t> s) {
    if (s.size() < 512 || std::memcmp(s.data() + 3, "EXFAT   ", 8) != 0) return std::nullopt;
    BootParameters p;
    p.volumeLength = GetU64(s.data() + 72);
    p.fatOffset = GetU32(s.data() + 80);
    p.fatLength = GetU32(s.data() + 84);
    p.clusterHeapOffset = GetU32(s.data() + 88);
    p.clusterCount = GetU32(s.data() + 92);
    p.rootCluster = GetU32(s.data() + 96);
    p.serial = GetU32(s.data() + 100);
    p.volumeFlags = GetU16(s.data() + 106);
    p.bytesPerSectorShift = s[108];
    p.sectorsPerClusterShift = s[109];
    p.numberOfFats = s[110];
    // Sectors of 512 to 4096 bytes, clusters of at most 32 MiB.
    if (p.bytesPerSectorShift < 9 || p.bytesPerSectorShift > 12) return std::nullopt;
    if (p.sectorsPerClusterShift > 25 - p.bytesPerSectorShift) return std::nullopt;
    if (p.numberOfFats != 1 && p.numberOfFats != 2) return std::nullopt;
    // The table lies after both boot regions, the heap after the tables.
    if (p.fatOffset < 2 * kRegionSectors || p.fatLength == 0) return std::nullopt;
    if (std::uint64_t{p.clusterHeapOffset} < std::uint64_t{p.fatOffset} + std::uint64_t{p.fatLength} * p.numberOfFats)
        return std::nullopt;
    if (p.clusterCount == 0 || p.clusterCount > 0xFFFFFFF5u) return std::nullopt;
    // The table must hold an entry for every cluster.
    if (std::uint64_t{p.fatLength} << p.bytesPerSectorShift < (std::uint64_t{p.clusterCount} + 2) * 4) return std::nullopt;
    if (p.rootCluster < 2 || p.rootCluster >= std::uint64_t{p.clusterCount} + 2) return std::nullopt;
    return p;
}

std::uint32_t CFileSystem_exFAT::BootChecksum(std::span<const std::uint8_t> region, std::size_t bytesPerSector) {
    std::uint32_t sum = 0;
    const std::size_t end = std::min(region.size(), 11 * bytesPerSector);
    for (std::size_t i = 0; i < end; ++i) {
        if (i == 106 || i == 107 || i == 112) continue;  // the volume flags and the percentage in use
        sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
    }
    return sum;
}

std::uint16_t CFileSystem_exFAT::SetChecksum(std::span<const std::uint8_t> entries) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i == 2 || i == 3) continue;  // the checksum itself
        std::uint8_t byte = entries[i];
        if (i % kEntryBytes == 0) byte |= kInUse;  // a deleted set as it was written
        sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000u : 0u) + (sum >> 1) + byte);
    }
    return sum;
}

std::uint32_t CFileSystem_exFAT::TableChecksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    for (const std::uint8_t b : bytes) sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + b;
    return sum;
}

std::string CFileSystem_exFAT::LabelText(const std::uint8_t* entry) {
    const std::size_t chars = std::min<std::size_t>(entry[1], 11);
    std::u16string label;
    for (std::size_t i = 0; i < chars; ++i) label += static_cast<char16_t>(GetU16(entry + 2 + 2 * i));
    std::string text = platform::Utf16ToUtf8(label);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
    return text;
}

std::optional<std::string> CFileSystem_exFAT::ReadVolumeLabel(CVolume& volume) {
    const auto boot = ReadBootSector(std::span<const std::uint8_t>(volume.BootSector.data(), 512));
    if (!boot) return std::nullopt;
    // The label entry stands among the root's first entries: its first
    // cluster is read, at most 64 KiB of it.
    const std::uint64_t scale = (std::uint64_t{1} << boot->bytesPerSectorShift) / 512;
    const std::uint64_t clusterSectors = scale << boot->sectorsPerClusterShift;
    const std::uint64_t sector = std::uint64_t{boot->clusterHeapOffset} * scale + (boot->rootCluster - 2ULL) * clusterSectors;
    std::vector<std::uint8_t> root(static_cast<std::size_t>(std::min<std::uint64_t>(clusterSectors, 128) * 512), 0);
    const std::uint32_t got = volume.ReadSectors(root.data(), sector, std::uint64_t{root.size() / 512});
    for (std::size_t off = 0; off + kEntryBytes <= got; off += kEntryBytes) {
        if (root[off] == 0) break;
        if (root[off] == kLabelEntry) return LabelText(root.data() + off);
    }
    return std::nullopt;
}

bool CFileSystem_exFAT::ReadBootRegion() {
    // One boot region at `first` (512-byte sectors): its parameters, and
    // whether its checksum sector agrees with its first eleven sectors.
    const auto region = [&](std::uint64_t first, bool& sound) -> std::optional<BootParameters> {
        sound = false;
        std::vector<std::uint8_t> boot(512, 0);
        if (volume_.ReadSectors(boot.data(), first, std::uint64_t{1}) != 512) return std::nullopt;
        auto p = ReadBootSector(boot);
        if (!p) return std::nullopt;
        const std::size_t bps = std::size_t{1} << p->bytesPerSectorShift;
        std::vector<std::uint8_t> bytes(kRegionSectors * bps, 0);
        if (volume_.ReadSectors(bytes.data(), first, std::uint64_t{bytes.size() / 512}) != bytes.size()) return p;
        const std::uint32_t sum = BootChecksum(bytes, bps);
        sound = true;
        for (std::size_t at = 11 * bps; at < 12 * bps && sound; at += 4) sound = GetU32(bytes.data() + at) == sum;
        return p;
    };
    bool mainSound = false, backupSound = false;
    const std::optional<BootParameters> main = region(0, mainSound);
    std::optional<BootParameters> chosen = main;
    if (!mainSound) {
        // The backup region follows the main one: 12 sectors of the volume's size.
        std::optional<BootParameters> backup;
        for (std::uint32_t shift = 9; shift <= 12 && !backupSound; ++shift) {
            if (main && main->bytesPerSectorShift != shift) continue;
            backup = region(kRegionSectors << (shift - 9), backupSound);
        }
        const std::string name = volume_.GetName();
        if (backupSound) {
            Log(kLogWarning, FormatMessageText(volume_.Context().texts, ids::kExFatBootRegionDamaged, name));
            chosen = backup;
        } else {
            Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kExFatBootRegionsDamaged, name));
            if (!chosen) chosen = backup;
        }
    }
    if (!chosen) return false;
    Boot = *chosen;
    const std::uint64_t scale = (std::uint64_t{1} << Boot.bytesPerSectorShift) / 512;
    ClusterBytes = std::uint64_t{1} << (Boot.bytesPerSectorShift + Boot.sectorsPerClusterShift);
    // The second table is the active one when the flags say so.
    const bool secondActive = Boot.numberOfFats == 2 && (Boot.volumeFlags & 1) != 0;
    FatSector = (std::uint64_t{Boot.fatOffset} + (secondActive ? Boot.fatLength : 0)) * scale;
    HeapSector = std::uint64_t{Boot.clusterHeapOffset} * scale;
    ClusterCount = Boot.clusterCount;
    RootCluster = Boot.rootCluster;
    volume_.BytesPerSector = 1u << Boot.bytesPerSectorShift;
    volume_.SectorsPerCluster = 1u << Boot.sectorsPerClusterShift;
    volume_.ClusterSize = static_cast<std::uint32_t>(ClusterBytes);
    return true;
}

std::uint32_t CFileSystem_exFAT::FatEntry(std::uint32_t cluster, bool& ok) const {
    const std::size_t at = std::size_t{cluster} * 4;
    ok = at + 4 <= FatTable.size();
    return ok ? GetU32(FatTable.data() + at) : 0;
}

bool CFileSystem_exFAT::ClusterInUse(std::uint64_t cluster) const {
    if (Bitmap.empty()) {
        bool ok = true;
        return cluster > 0xFFFFFFFFull || FatEntry(static_cast<std::uint32_t>(cluster), ok) != 0 || !ok;
    }
    if (!IsHeapCluster(cluster)) return true;
    const std::uint64_t bit = cluster - 2;
    return bit / 8 < Bitmap.size() && (Bitmap[bit / 8] >> (bit % 8)) & 1;
}

std::uint64_t CFileSystem_exFAT::ClusterToSector(std::uint64_t cluster) const {
    if (cluster < 2) return HeapSector;
    return (cluster - 2) * (ClusterBytes / 512) + HeapSector;
}

std::size_t CFileSystem_exFAT::ChainOf(std::uint32_t first, std::size_t limit, std::vector<std::uint32_t>& list) const {
    list.clear();
    std::unordered_set<std::uint32_t> seen;
    const CLanguages* texts = volume_.Context().texts;
    const std::uint32_t last = ClusterCount + 1;
    std::uint32_t c = first;
    while (list.size() < limit) {
        std::string damage;
        if (!IsHeapCluster(c)) {
            damage = FormatMessageText(texts, ids::kFatChainBeyondVolume, first, c, last);
        } else if (!seen.insert(c).second) {
            damage = FormatMessageText(texts, ids::kFatChainLoops, first, c);
        } else {
            list.push_back(c);
            bool ok = true;
            const std::uint32_t next = FatEntry(c, ok);
            if (!ok || next == kEndOfChain || next == 0) break;  // the end, or a chain a deletion freed
            if (next == kBadCluster) {
                damage = FormatMessageText(texts, ids::kFatChainBadCluster, first, c);
            } else {
                c = next;
                continue;
            }
        }
        Log(kLogError, damage);
        break;
    }
    return list.size();
}

bool CFileSystem_exFAT::BuildClusterRuns(const CFoundObject& record, std::vector<CLUSTER_RUN>& runs) {
    const auto first = static_cast<std::uint32_t>(record.StartPos);
    if (record.StartPos != first || !IsHeapCluster(first) || record.Size == 0) return false;
    // Never more clusters than the heap holds, whatever length the entry claims.
    const std::uint64_t heapLeft = std::uint64_t{ClusterCount} + 2 - first;
    const std::uint64_t wanted =
        record.Size == CFoundObject::kUnknownSize ? 1 : std::min(heapLeft, (record.Size + ClusterBytes - 1) / ClusterBytes);
    if (record.Attributes & kNoFatChain) {
        runs.push_back(CLUSTER_RUN{first, wanted});
        return true;
    }
    std::vector<std::uint32_t> chain;
    ChainOf(first, static_cast<std::size_t>(std::min<std::uint64_t>(wanted, ClusterCount)), chain);
    const std::size_t start = runs.size();
    for (const std::uint32_t c : chain) {
        if (runs.size() > start && runs.back().FirstCluster + runs.back().ClusterCount == c) ++runs.back().ClusterCount;
        else runs.push_back(CLUSTER_RUN{c, 1});
    }
    // A deleted file whose chain was cleared with it goes on in the free
    // clusters after its first one, for as long as its length says: the
    // clusters in use between them belonged to files written beside it.
    if (record.IsDeleted() && !chain.empty() && chain.size() < wanted) {
        bool ok = true;
        std::uint64_t missing = wanted - chain.size();
        if (FatEntry(chain.back(), ok) == 0 && ok) {
            for (std::uint64_t c = std::uint64_t{chain.back()} + 1; missing > 0 && c < std::uint64_t{PresentClusters} + 2; ++c) {
                if (ClusterInUse(c)) continue;
                if (runs.back().FirstCluster + runs.back().ClusterCount == c) ++runs.back().ClusterCount;
                else runs.push_back(CLUSTER_RUN{c, 1});
                --missing;
            }
        }
    }
    return runs.size() > start;
}

bool CFileSystem_exFAT::BuildRuns(const CFoundObject& record, std::vector<SECTOR_RUN>& runs) {
    std::vector<CLUSTER_RUN> clusters;
    if (!BuildClusterRuns(record, clusters)) return false;
    for (const auto& c : clusters)
        runs.push_back(SECTOR_RUN{ClusterToSector(c.FirstCluster), c.ClusterCount * (ClusterBytes / 512)});
    return true;
}

void CFileSystem_exFAT::DescribeContent(const CFoundObject& record, CONTENT_FORM& form) {
    // Bytes past the valid data length read as zeros, as the file system
    // shows them. The length is read from the file's stream extension entry,
    // which follows its file entry at the place the record's id names.
    if (record.IsFolder() || (record.Flags & FO_BY_SIGNATURE) || record.Id % kEntryBytes != 0 ||
        record.Id / 512 >= volume_.Size / 512)
        return;
    std::uint8_t sectors[1024] = {};
    if (volume_.ReadSectors(sectors, record.Id / 512, std::uint64_t{2}) < record.Id % 512 + 2 * kEntryBytes) return;
    const std::uint8_t* s = sectors + record.Id % 512 + kEntryBytes;
    if ((s[0] | kInUse) != kStreamEntry || GetU32(s + 20) != record.StartPos || GetU64(s + 24) != record.Size) return;
    if (const std::uint64_t valid = GetU64(s + 8); valid < record.Size) form.ValidBytes = valid;
}

ClusterPlacement CFileSystem_exFAT::PlacementOf(const CFoundObject& record) {
    if (record.Attributes & kNoFatChain) return ClusterPlacement::Consecutive;
    const auto first = static_cast<std::uint32_t>(record.StartPos);
    if (record.StartPos != first || !IsHeapCluster(first)) return ClusterPlacement::Unknown;
    // A file of one cluster has no chain to clear: its entry reads as an end.
    bool ok = true;
    const std::uint32_t next = FatEntry(first, ok);
    return ok && (next != 0 || record.Size <= ClusterBytes) ? ClusterPlacement::Chain : ClusterPlacement::FreeAfterFirst;
}

std::vector<std::uint32_t> CFileSystem_exFAT::ClustersOf(std::uint32_t first, std::uint64_t bytes, bool contiguous) const {
    std::vector<std::uint32_t> list;
    if (!IsHeapCluster(first)) return list;
    const std::uint64_t limit = std::min<std::uint64_t>(
        bytes ? (bytes + ClusterBytes - 1) / ClusterBytes : kMaxDirectoryBytes / ClusterBytes, kMaxDirectoryBytes / ClusterBytes);
    if (contiguous) {
        // Clusters past the source's end hold nothing to read.
        const std::uint64_t end = std::max<std::uint64_t>(PresentClusters, first - 1) + 2;
        const std::uint64_t n = std::min<std::uint64_t>(limit, end - first);
        for (std::uint64_t i = 0; i < n; ++i) list.push_back(static_cast<std::uint32_t>(first + i));
    } else {
        ChainOf(first, static_cast<std::size_t>(limit), list);
    }
    return list;
}

std::vector<std::uint8_t> CFileSystem_exFAT::ReadClusters(const std::vector<std::uint32_t>& clusters) const {
    std::vector<std::uint8_t> bytes;
    try {
        bytes.assign(clusters.size() * ClusterBytes, 0);
    } catch (const std::bad_alloc&) {
        Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kCantAllocateMemory));
        return {};
    }
    // Clusters that follow each other are read at once.
    for (std::size_t i = 0; i < clusters.size() && Busy();) {
        std::size_t n = 1;
        while (i + n < clusters.size() && clusters[i + n] == clusters[i] + n) ++n;
        volume_.ReadSectors(bytes.data() + i * ClusterBytes, ClusterToSector(clusters[i]), n * (ClusterBytes / 512));
        i += n;
    }
    return bytes;
}

void CFileSystem_exFAT::ReadRootEntries(std::span<const std::uint8_t> root) {
    const std::string name = volume_.GetName();
    bool bitmapFound = false, upcaseSound = false;
    for (std::size_t off = 0; off + kEntryBytes <= root.size(); off += kEntryBytes) {
        const std::uint8_t* e = root.data() + off;
        if (e[0] == 0) break;  // the end of the folder
        if (e[0] == kLabelEntry) {
            volume_.Label = LabelText(e);
        } else if (e[0] == kBitmapEntry && !bitmapFound) {
            const std::uint32_t first = GetU32(e + 20);
            const std::uint64_t length = GetU64(e + 24);
            const std::uint64_t needed = (std::uint64_t{ClusterCount} + 7) / 8;
            // The bitmap's own length is its cluster count's; a longer one is cut to it.
            if (length < needed || !IsHeapCluster(first)) continue;
            std::vector<std::uint8_t> bytes = ReadClusters(ClustersOf(first, needed, false));
            if (bytes.size() < needed) continue;
            bytes.resize(needed);
            Bitmap = std::move(bytes);
            bitmapFound = true;
        } else if (e[0] == kUpcaseEntry) {
            const std::uint32_t first = GetU32(e + 20);
            const std::uint64_t length = GetU64(e + 24);
            if (length == 0 || length > kMaxUpcaseBytes || !IsHeapCluster(first)) continue;
            const std::vector<std::uint8_t> bytes = ReadClusters(ClustersOf(first, length, false));
            if (bytes.size() >= length)
                upcaseSound = TableChecksum(std::span<const std::uint8_t>(bytes.data(), length)) == GetU32(e + 4);
        }
    }
    if (!bitmapFound)
        Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kExFatNoBitmap, name, ClusterCount));
    if (!upcaseSound) Log(kLogWarning, FormatMessageText(volume_.Context().texts, ids::kExFatUpcase, name));
}

void CFileSystem_exFAT::ReportClustersInUse() {
    // Each cluster in use, merged into runs of 512-byte sectors: the sector
    // analysis skips or weighs exactly these.
    // Without a bitmap, ClusterInUse reads the table. Clusters the source
    // does not hold are in no one's use.
    for (std::uint64_t n = 2; n < std::uint64_t{PresentClusters} + 2; ++n)
        if (ClusterInUse(n)) AddUsedSpace(ClusterToSector(n), ClusterBytes / 512);
}

void CFileSystem_exFAT::ClaimClusters(const std::vector<CLUSTER_RUN>& runs, const std::string& name) {
    bool shared = false;
    for (const auto& run : runs)
        for (std::uint64_t bit = run.FirstCluster - 2; bit < run.FirstCluster - 2 + run.ClusterCount && bit < claimed_.size(); ++bit) {
            shared |= claimed_[bit];
            claimed_[bit] = true;
        }
    if (shared && shared_++ == 0) firstShared_ = name;
}

bool CFileSystem_exFAT::LoadTables(std::vector<std::uint32_t>& rootClusters, std::vector<std::uint8_t>& root) {
    if (!volume_.OpenDrive() || !ReadBootRegion()) return false;
    const CLanguages* texts = volume_.Context().texts;

    // The table: an entry for every cluster, never more than the volume holds.
    const std::uint64_t volumeBytes = volume_.Size ? volume_.Size : ~std::uint64_t{0};
    // A boot sector may claim far more than the source holds: walks over
    // every cluster stop where the source ends.
    const std::uint64_t heapBytes = volumeBytes / 512 > HeapSector ? (volumeBytes / 512 - HeapSector) * 512 : 0;
    PresentClusters = static_cast<std::uint32_t>(std::min<std::uint64_t>(ClusterCount, heapBytes / ClusterBytes + 1));
    const std::uint64_t fatBytes = std::min({(std::uint64_t{ClusterCount} + 2) * 4, kMaxFatBytes, volumeBytes});
    try {
        FatTable.assign((fatBytes + 511) / 512 * 512, 0);
    } catch (const std::bad_alloc&) {
        Log(kLogError, FormatMessageText(texts, ids::kCantAllocateMemory));
        return false;
    }
    if (volume_.ReadSectors(FatTable.data(), FatSector, std::uint64_t{FatTable.size() / 512}) != FatTable.size())
        Log(kLogError, "CFileSystem_exFAT.Initialize.ReadFAT");
    // The root has no entry of its own: its length is where its chain ends.
    rootClusters = ClustersOf(RootCluster, 0, false);
    root = ReadClusters(rootClusters);
    if (root.empty()) {
        Log(kLogError, FormatMessageText(texts, ids::kFatRootDirectoryNotRead));
        return false;
    }
    ReadRootEntries(root);
    return true;
}

bool CFileSystem_exFAT::Reopen() {
    // No analysis runs while a saved scan is reopened: no stop flag may cut
    // the reads of the bitmap and the root short.
    static const std::atomic<std::uint32_t> kReading{1};
    const std::atomic<std::uint32_t>* busy = busy_;
    busy_ = &kReading;
    std::vector<std::uint32_t> rootClusters;
    std::vector<std::uint8_t> root;
    const bool read = LoadTables(rootClusters, root);
    busy_ = busy;
    return read;
}

int CFileSystem_exFAT::Initialize() {
    const CLanguages* texts = volume_.Context().texts;
    std::vector<std::uint32_t> rootClusters;
    std::vector<std::uint8_t> root;
    if (!LoadTables(rootClusters, root)) return 0;
    try {
        claimed_.assign(PresentClusters, false);
    } catch (const std::bad_alloc&) {
        Log(kLogError, FormatMessageText(texts, ids::kCantAllocateMemory));
        return 0;
    }
    dirQueue_.clear();
    queued_.clear();
    entriesSeen_.clear();
    queued_.insert(RootCluster);
    dirQueue_.push_back({RootCluster, RootId(), 0, false, true});
    ReportClustersInUse();
    std::uint64_t inUse = 0;
    for (const auto& used : UsedSpace) inUse += used.length;
    accounted_ = 0;
    volume_.ProgressPos = 0;
    volume_.ProgressEnd = inUse;

    ParseDirectory(root, RootId(), rootClusters, true);
    // The queue grows while it is read: every reachable folder is read once, breadth first.
    for (std::size_t next = 1; next < dirQueue_.size() && volume_.State.load() != 0 && Busy(); ++next)
        ReadDirectory(dirQueue_[next]);

    if (shared_ > 0) Log(kLogError, FormatMessageText(texts, ids::kExFatClustersShared, shared_, firstShared_));
    if (deletedContiguous_ + deletedChained_ > 0)
        Log(kLogInfo, FormatMessageText(texts, ids::kExFatDeletedKinds, deletedContiguous_, deletedChained_, deletedReused_));
    return 0;
}

void CFileSystem_exFAT::ReadDirectory(const QueuedDirectory& directory) {
    const std::vector<std::uint32_t> clusters = ClustersOf(directory.cluster, directory.bytes, directory.contiguous);
    std::uint64_t inUse = 0;
    for (const std::uint32_t c : clusters) inUse += ClusterInUse(c) ? 1 : 0;  // a deleted folder's clusters are free
    accounted_ += inUse * (ClusterBytes / 512);
    ParseDirectory(ReadClusters(clusters), directory.id, clusters, directory.live);
}

void CFileSystem_exFAT::ParseDirectory(std::span<const std::uint8_t> buffer, std::uint64_t parent,
                                       const std::vector<std::uint32_t>& clusters, bool liveFolder) {
    const CLanguages* texts = volume_.Context().texts;
    const auto placeOf = [&](std::size_t offset) -> std::uint64_t {
        const std::size_t index = static_cast<std::size_t>(offset / ClusterBytes);
        return index < clusters.size() ? ClusterToSector(clusters[index]) * 512 + offset % ClusterBytes : 0;
    };
    std::size_t off = 0;
    while (off + kEntryBytes <= buffer.size() && Busy()) {
        const std::uint8_t* e = buffer.data() + off;
        if (e[0] == 0) break;  // the end of the folder
        if ((e[0] & 0x7F) != (kFileEntry & 0x7F)) {
            off += kEntryBytes;
            continue;
        }
        const bool live = (e[0] & kInUse) != 0;
        const std::uint64_t place = placeOf(off);
        const std::size_t secondaries = e[1];
        const std::size_t setBytes = (secondaries + 1) * kEntryBytes;
        // Why the set cannot be read; a deleted set whose slots a later set
        // took is no damage, and is passed over without a word.
        std::string broken;
        if (secondaries < 2) {
            broken = "it has fewer than two secondary entries";
        } else if (off + setBytes > buffer.size()) {
            broken = "it runs past the end of its folder";
        } else {
            for (std::size_t k = 1; k <= secondaries && broken.empty(); ++k) {
                const std::uint8_t type = e[k * kEntryBytes];
                if (!(type & kSecondary) || ((type & kInUse) != 0) != live) broken = "an entry of the set is not one of its own";
            }
            const std::uint8_t stream = e[kEntryBytes] | kInUse;
            if (broken.empty() && stream != kStreamEntry) broken = "the stream extension entry is missing";
            if (broken.empty() && SetChecksum(buffer.subspan(off, setBytes)) != GetU16(e + 2))
                broken = "its checksum does not match";
        }
        if (!broken.empty()) {
            if (live) Log(kLogError, FormatMessageText(texts, ids::kExFatSetSkipped, place, broken));
            off += kEntryBytes;
            continue;
        }
        const std::uint8_t* s = e + kEntryBytes;
        // The name: its length from the stream extension, its characters from
        // the name entries that follow it.
        std::size_t nameEntries = 0;
        while (nameEntries + 2 <= secondaries && (e[(nameEntries + 2) * kEntryBytes] | kInUse) == kNameEntry) ++nameEntries;
        const std::size_t nameLength = s[3];
        std::u16string name16;
        bool ended = false;  // a NUL ends a name that claims more characters
        for (std::size_t k = 0; k < nameEntries && name16.size() < nameLength && !ended; ++k) {
            const std::uint8_t* n = e + (k + 2) * kEntryBytes;
            for (std::size_t c = 0; c < kNameCharsPerEntry && name16.size() < nameLength && !ended; ++c) {
                const auto ch = static_cast<char16_t>(GetU16(n + 2 + 2 * c));
                ended = ch == 0;
                if (!ended) name16 += ch;
            }
        }
        std::string name = platform::Utf16ToUtf8(name16);
        for (char& c : name)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
        if (name.empty()) name = "_";
        if (name16.size() < nameLength) Log(kLogError, FormatMessageText(texts, ids::kExFatNameCut, name));
        off += setBytes;
        if (!entriesSeen_.insert(place).second) continue;

        const std::uint16_t attributes = GetU16(e + 4);
        const bool folder = (attributes & kDirectoryAttribute) != 0;
        const bool contiguous = (s[1] & kNoFatChainFlag) != 0;
        const std::uint32_t first = GetU32(s + 20);
        const std::uint64_t length = GetU64(s + 24);

        CFoundObject record;
        record.Init();
        record.Id = place == RootId() ? static_cast<std::uint64_t>(NextSyntheticId()) : place;
        record.ParentId = parent;
        record.StartPos = first;
        record.SetName(name);
        record.Size = folder ? 0 : length;
        record.DataOffset = IsHeapCluster(first) ? ClusterToSector(first) * 512 : 0;
        record.CreationTime = EntryTime(e, 8, 20, 22);
        record.ModificationTime = EntryTime(e, 12, 21, 23);
        record.AccessTime = EntryTime(e, 16, -1, 24);
        record.Attributes = static_cast<std::uint16_t>((attributes & 0x3F) | (contiguous ? kNoFatChain : 0));
        if (!live || !liveFolder) record.Flags |= FO_DELETED;
        if (folder) record.Flags |= FO_FOLDER;
        if (first != 0 && !IsHeapCluster(first))
            Log(kLogError, FormatMessageText(texts, ids::kExFatEntryBeyondHeap, name, first, ClusterCount + 1));
        // Read as far as the heap goes: a length beyond it is damage.
        if (!folder && length > std::uint64_t{ClusterCount} * ClusterBytes)
            Log(kLogError, FormatMessageText(texts, ids::kExFatLengthBeyondHeap, name, length));

        if (folder && IsHeapCluster(first)) {
            if (queued_.insert(first).second) {
                dirQueue_.push_back({first, record.Id, length, contiguous, live && liveFolder});
            } else if (live) {
                Log(kLogError, FormatMessageText(texts, ids::kExFatFolderLoop, name, first));
            }
        } else if (!folder && IsHeapCluster(first) && length > 0) {
            std::vector<CLUSTER_RUN> runs;
            BuildClusterRuns(record, runs);
            if (!record.IsDeleted()) {
                ClaimClusters(runs, name);
                for (const auto& run : runs) accounted_ += run.ClusterCount * (ClusterBytes / 512);
            } else if (contiguous) {
                ++deletedContiguous_;
            } else {
                ++deletedChained_;
                bool reused = false;
                for (const auto& run : runs)
                    for (std::uint64_t c = run.FirstCluster; c < run.FirstCluster + run.ClusterCount && !reused; ++c)
                        reused = ClusterInUse(c);
                deletedReused_ += reused ? 1 : 0;
            }
        }
        volume_.AddFileSystemObject(record);
    }
    // Sizes only estimate the clusters of a file: the walk shows 100 % only
    // once it has ended.
    const std::uint64_t end = volume_.ProgressEnd.load();
    volume_.ProgressPos = end ? std::min(accounted_, end - 1) : 0;
}

}  // namespace tl
