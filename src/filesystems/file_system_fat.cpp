#include "filesystems/file_system_fat.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>

#include "app/event_log.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "filesystems/file_system_kinds.h"
#include "filesystems/synthetic_ids.h"
#include "platform/text.h"
#include "platform/time.h"
#include "storage/analysis_busy.h"
#include "storage/little_endian.h"
#include "storage/volume.h"

namespace tl {
namespace {

constexpr std::size_t kEntryBytes = 32;
// A long name of 255 characters takes 20 entries; more are not a name.
constexpr int kMaxLongNameEntries = 20;
constexpr std::size_t kMaxNameChars = 4096;
// The whole table is held in memory; no FAT is larger than this.
constexpr std::uint64_t kMaxFatBytes = 1ULL << 30;

bool IsFat12(std::uint32_t code) { return FatEntryBits(code) == 12; }
bool IsFat16(std::uint32_t code) { return FatEntryBits(code) == 16; }
bool IsFat32(std::uint32_t code) { return FatEntryBits(code) == 32; }

}  // namespace

CFileSystem_FAT::CFileSystem_FAT(CVolume& volume) : CVolumeParser(volume) {}

CFileSystem_FAT::~CFileSystem_FAT() = default;

bool CFileSystem_FAT::ReadBootParameters() {
    if (!IsFat12(TypeCode) && !IsFat16(TypeCode) && !IsFat32(TypeCode)) return false;
    const std::uint8_t* b = volume_.BootSector.data();
    const std::uint16_t bps = GetU16(b + 11);
    if (bps < 512 || bps > 4096 || bps % 512 != 0) {
        Log(kLogError, "CFileSystem_FAT.Initialize.except");
        BytesPerSector = 512;  // the only size a damaged field leaves us to assume
    } else {
        BytesPerSector = bps;
    }
    SectorsPerCluster = b[13];
    if (SectorsPerCluster == 0) {
        Log(kLogError, "CFileSystem_FAT.Initialize.except");
        SectorsPerCluster = 1;
    }
    const std::uint64_t scale = BytesPerSector / 512;
    ClusterBytes = std::uint64_t{BytesPerSector} * SectorsPerCluster;
    ReservedSectors = GetU16(b + 14) * scale;
    NumberOfFats = b[16];
    RootEntries = IsFat32(TypeCode) ? 0 : GetU16(b + 17);
    SectorsPerFat = (IsFat32(TypeCode) ? GetU32(b + 36) : GetU16(b + 22)) * scale;
    RootCluster = IsFat32(TypeCode) ? GetU32(b + 44) : 0;
    FatBytes = SectorsPerFat * 512;
    RootDirSector = ReservedSectors + NumberOfFats * SectorsPerFat;
    // The root directory's size, rounded up to whole sectors of the volume.
    const std::uint64_t rootDirSectors = (std::uint64_t{RootEntries} * kEntryBytes + BytesPerSector - 1) / BytesPerSector;
    FirstDataSector = RootDirSector + rootDirSectors * scale;
    // The data area as the boot sector counts it, or as far as the source
    // goes when it counts less (a damaged count loses no cluster then).
    const std::uint64_t totalSectors =
        std::max<std::uint64_t>((GetU16(b + 19) ? GetU16(b + 19) : GetU32(b + 32)) * scale, volume_.Size / 512);
    DataClusters = totalSectors > FirstDataSector ? (totalSectors - FirstDataSector) / (ClusterBytes / 512) : 0;
    volume_.BytesPerSector = BytesPerSector;
    volume_.SectorsPerCluster = SectorsPerCluster;
    volume_.ClusterSize = static_cast<std::uint32_t>(ClusterBytes);
    return true;
}

std::uint64_t CFileSystem_FAT::RootId() const {
    const FileSystemKind* kind = FindFileSystemKind(TypeCode);
    if (!kind || kind->family != kFamilyFat) return 0;
    return kind->rootId == kRootIdFromBootSector ? RootCluster : kind->rootId;
}

bool CFileSystem_FAT::Reopen() {
    return volume_.OpenDrive() && ReadBootParameters() && LoadTable(false);
}

bool CFileSystem_FAT::LoadTable(bool compareCopies) {
    // The first copy is kept; the second is read a megabyte at a time, only
    // to be compared, so it never doubles the memory the table takes.
    const std::uint64_t volumeBytes = volume_.Size ? volume_.Size : ~std::uint64_t{0};
    const std::uint64_t fatBytes = std::min({FatBytes, kMaxFatBytes, volumeBytes});
    const std::uint32_t copies = compareCopies ? std::min<std::uint32_t>(NumberOfFats, 2) : 1;
    constexpr std::uint64_t kCompareBytes = 1 << 20;
    std::vector<std::uint8_t> second;
    try {
        FatTable.assign(fatBytes, 0);
        if (copies > 1) second.assign(static_cast<std::size_t>(std::min(fatBytes, kCompareBytes)), 0);
    } catch (const std::bad_alloc&) {
        Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kCantAllocateMemory));
        return false;
    }
    if (fatBytes > 0) {
        const std::uint64_t sectors = fatBytes / 512;
        if (volume_.ReadSectors(FatTable.data(), ReservedSectors, sectors) != fatBytes)
            Log(kLogError, "CFileSystem_FAT.Initialize.ReadFAT");
        bool readAll = true, same = true;
        for (std::uint64_t at = 0; copies > 1 && at < fatBytes && same; at += second.size()) {
            const std::uint64_t n = std::min<std::uint64_t>(second.size(), fatBytes - at);
            readAll = volume_.ReadSectors(second.data(), ReservedSectors + SectorsPerFat + at / 512, n / 512) == n;
            same = readAll && std::equal(second.begin(), second.begin() + static_cast<std::ptrdiff_t>(n),
                                         FatTable.begin() + static_cast<std::ptrdiff_t>(at));
        }
        if (!readAll) Log(kLogError, "CFileSystem_FAT.Initialize.ReadFAT");
        if (copies > 1 && !same) Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kFatCopiesDiffer));
    }
    entryCount_ = IsFat12(TypeCode) ? FatTable.size() * 2 / 3 : IsFat16(TypeCode) ? FatTable.size() / 2 : FatTable.size() / 4;
    return true;
}

int CFileSystem_FAT::Initialize() {
    if (!volume_.OpenDrive()) return 0;
    if (!ReadBootParameters() || !LoadTable(true)) return 0;

    ReportClustersInUse();
    // The walk's progress: the 512-byte sectors of the space in use that it
    // has accounted for, those of the directories it read and of the live
    // files it listed, against all the space in use.
    std::uint64_t inUse = 0;
    for (const auto& used : UsedSpace) inUse += used.length;
    accounted_ = 0;
    volume_.ProgressPos = 0;
    volume_.ProgressEnd = inUse;

    dirQueue_.clear();
    queued_.clear();
    nextDirectory_ = 0;
    entriesSeen_.clear();
    if (IsFat32(TypeCode)) {
        if (!IsDataCluster(RootCluster)) {
            Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kFatRootDirectoryNotRead));
            return 0;
        }
        // The root is read first and once: a folder naming its cluster is no way back into it.
        queued_.emplace(RootCluster, 0);
        dirQueue_.push_back({RootCluster, RootId(), true});
    } else {
        const std::uint64_t sectors = FirstDataSector - RootDirSector;
        std::vector<std::uint8_t> root(sectors * 512, 0);
        if (sectors == 0 || volume_.ReadSectors(root.data(), RootDirSector, sectors) == 0) {
            Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kFatRootDirectoryNotRead));
            return 0;
        }
        TakeRootLabel(root);
        ParseDirectory(root, RootId());
    }
    // The queue grows while it is read: every reachable folder is read once, breadth first.
    while (nextDirectory_ < dirQueue_.size() && volume_.State.load() != 0 && Busy()) {
        const QueuedDirectory next = dirQueue_[nextDirectory_++];
        ReadDirectory(next.cluster, next.id);
    }
    return 0;
}

void CFileSystem_FAT::TakeRootLabel(std::span<const std::uint8_t> root) {
    // The boot analysis read the same entry, unless it could not reach it.
    const std::optional<std::string> label = FindVolumeLabel(root);
    if (label && volume_.Label != *label) volume_.Label = *label;
}

std::uint32_t CFileSystem_FAT::FatEntry(std::uint32_t n, bool& ok) const {
    ok = true;
    const std::size_t size = FatTable.size();
    if (IsFat12(TypeCode)) {
        const std::size_t at = std::size_t{n} * 3 / 2;
        if (at + 1 >= size) return ok = false, 0;
        const std::uint16_t v = GetU16(FatTable.data() + at);
        return (n & 1) ? v >> 4 : v & 0x0FFF;
    }
    if (IsFat16(TypeCode)) {
        const std::size_t at = std::size_t{n} * 2;
        if (at + 1 >= size) return ok = false, 0;
        return GetU16(FatTable.data() + at);
    }
    if (IsFat32(TypeCode)) {
        const std::size_t at = std::size_t{n & 0x0FFFFFFF} * 4;
        if (at + 3 >= size) return ok = false, 0;
        return GetU32(FatTable.data() + at) & 0x0FFFFFFF;
    }
    return 0;  // no decoding: a chain ends after its first cluster
}

bool CFileSystem_FAT::IsEndOfChain(std::uint32_t v) const {
    if (IsFat12(TypeCode)) return v >= 0xFF8 && v <= 0xFFF;
    if (IsFat16(TypeCode)) return v >= 0xFFF8 && v <= 0xFFFF;
    if (IsFat32(TypeCode)) return v >= 0x0FFFFFF8 && v <= 0x0FFFFFFF;
    return false;
}

bool CFileSystem_FAT::IsBadCluster(std::uint32_t v) const {
    if (IsFat12(TypeCode)) return v == 0xFF7;
    if (IsFat16(TypeCode)) return v == 0xFFF7;
    if (IsFat32(TypeCode)) return (v & 0x0FFFFFFF) == 0x0FFFFFF7;
    return false;
}

std::uint64_t CFileSystem_FAT::LastCluster() const {
    const std::size_t size = FatTable.size();
    const std::uint64_t entries = IsFat12(TypeCode) ? size * 2 / 3 : IsFat16(TypeCode) ? size / 2 : size / 4;
    if (entries < 3) return 1;  // no data cluster at all
    return DataClusters ? std::min(entries - 1, DataClusters + 1) : entries - 1;
}

std::size_t CFileSystem_FAT::FAT_GetClustersList(std::uint32_t first, std::vector<std::uint32_t>& list) const {
    list.clear();
    std::unordered_set<std::uint32_t> seen;
    // The high nibble of a FAT32 cluster number is reserved.
    std::uint32_t c = IsFat32(TypeCode) ? first & 0x0FFFFFFF : first;
    const CLanguages* texts = volume_.Context().texts;
    std::string text;
    while (c != 0 && !IsEndOfChain(c)) {
        const std::uint32_t last = static_cast<std::uint32_t>(LastCluster());
        if (IsBadCluster(c)) {
            text = FormatMessageText(texts, ids::kFatChainBadCluster, first, list.empty() ? first : list.back());
        } else if (!IsDataCluster(c)) {
            text = FormatMessageText(texts, ids::kFatChainBeyondVolume, first, c, last);
        } else if (!seen.insert(c).second) {
            text = FormatMessageText(texts, ids::kFatChainLoops, first, c);
        } else {
            list.push_back(c);
            bool ok = true;
            c = FatEntry(c, ok);
            if (ok) continue;
            char tag[64];
            std::snprintf(tag, sizeof tag, "FAT_GetClustersList, NextCluster = 0x%X", list.back());
            text = tag;
        }
        Log(kLogError, text);
        break;
    }
    return list.size();
}

void CFileSystem_FAT::ClusterRunsFromList(const std::vector<std::uint32_t>& clusters, std::vector<CLUSTER_RUN>& runs,
                                          const CFoundObject* record) const {
    const std::size_t start = runs.size();
    std::uint64_t bytes = 0;
    for (std::uint32_t c : clusters) {
        if (runs.size() > start && runs.back().FirstCluster + runs.back().ClusterCount == c) {
            ++runs.back().ClusterCount;
        } else {
            runs.push_back(CLUSTER_RUN{c, 1});
        }
        bytes += ClusterBytes;
    }
    // A deleted file's chain stops after its first cluster: it is read on as
    // contiguous clusters for as long as its size says.
    if (record && runs.size() > start && record->Size != CFoundObject::kUnknownSize && record->Size > bytes)
        runs.back().ClusterCount += (record->Size - bytes + ClusterBytes - 1) / ClusterBytes;
}

bool CFileSystem_FAT::BuildClusterRuns(const CFoundObject& record, std::vector<CLUSTER_RUN>& runs) {
    std::vector<std::uint32_t> list;
    if (FAT_GetClustersList(static_cast<std::uint32_t>(record.StartPos), list) == 0) return false;
    ClusterRunsFromList(list, runs, &record);
    return true;
}

bool CFileSystem_FAT::BuildRuns(const CFoundObject& record, std::vector<SECTOR_RUN>& runs) {
    std::vector<CLUSTER_RUN> clusters;
    if (!BuildClusterRuns(record, clusters)) return false;
    for (const auto& c : clusters)
        runs.push_back(SECTOR_RUN{ClusterToSector(c.FirstCluster), c.ClusterCount * (ClusterBytes / 512)});
    return true;
}

std::uint64_t CFileSystem_FAT::ClusterToSector(std::uint64_t cluster) const {
    if (cluster < 2) return FirstDataSector;
    return (cluster - 2) * (ClusterBytes / 512) + FirstDataSector;
}

void CFileSystem_FAT::ReportClustersInUse() {
    // Each cluster in use by its own index, merged into runs of 512-byte
    // sectors: the sector analysis skips or weighs exactly these.
    const std::uint64_t last = std::min<std::uint64_t>(entryCount_, volume_.TotalClusters + 2);
    for (std::uint64_t n = 2; n < last; ++n) {
        bool ok = true;
        if (FatEntry(static_cast<std::uint32_t>(n), ok) != 0 && ok) AddUsedSpace(ClusterToSector(n), ClusterBytes / 512);
    }
}

void CFileSystem_FAT::ReadDirectory(std::uint32_t first, std::uint64_t parent) {
    if (!IsDataCluster(first)) return;  // the entry that named it was logged
    std::vector<std::uint32_t> chain;
    FAT_GetClustersList(first, chain);
    // No directory is larger than 65536 entries.
    const std::size_t maxClusters = static_cast<std::size_t>(kMaxDirectoryBytes / ClusterBytes + 1);
    if (chain.size() > maxClusters) chain.resize(maxClusters);
    std::uint64_t inUse = 0;
    for (std::uint32_t c : chain) {
        bool ok = true;
        if (FatEntry(c, ok) != 0 && ok) ++inUse;  // a deleted directory's clusters are free
    }
    Account(inUse);
    std::vector<CLUSTER_RUN> runs;
    ClusterRunsFromList(chain, runs, nullptr);
    std::vector<std::uint8_t> buffer(chain.size() * ClusterBytes, 0);
    std::size_t at = 0;
    for (const auto& run : runs) {
        if (!Busy()) break;
        const std::uint64_t sectors = run.ClusterCount * (ClusterBytes / 512);
        volume_.ReadSectors(buffer.data() + at, ClusterToSector(run.FirstCluster), sectors);
        at += static_cast<std::size_t>(sectors * 512);
    }
    if (IsFat32(TypeCode) && first == RootCluster) TakeRootLabel(buffer);
    ParseDirectory(buffer, parent, &chain);
}

std::uint64_t CFileSystem_FAT::EntryPlace(std::size_t offset, const std::vector<std::uint32_t>* chain) const {
    if (!chain) return RootDirSector * 512 + offset;
    const std::size_t index = static_cast<std::size_t>(offset / ClusterBytes);
    if (index >= chain->size()) return 0;
    return ClusterToSector((*chain)[index]) * 512 + offset % ClusterBytes;
}

bool CFileSystem_FAT::IsValidEntry(const std::uint8_t* e) {
    const std::uint8_t attr = e[11];
    if ((attr & 0x0F) == 0x0F) return attr < 0x10 && GetU16(e + 26) == 0;
    if (e[0] == 0x00 || e[0] == ' ') return false;
    static constexpr std::string_view kBad = "\"*+,/:;<=>?[\\]|";
    for (int i = 0; i < 11; ++i) {
        const std::uint8_t c = e[i];
        if (i == 0 && (c == 0x05 || c == 0xE5)) continue;  // the deleted and escaped first bytes
        if (c < 0x20 || kBad.find(static_cast<char>(c)) != std::string_view::npos || (c >= 'a' && c <= 'z')) return false;
    }
    return e[13] < 200 && attr < 0x40;
}

std::uint8_t CFileSystem_FAT::ShortNameChecksum(const std::uint8_t* name11) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

std::u16string CFileSystem_FAT::LongName(std::span<const std::uint8_t> buffer, std::size_t entryOffset) {
    const std::uint8_t* e = buffer.data() + entryOffset;
    // The entries of a long name stand before their short entry, the part
    // holding the name's first characters nearest to it. Live parts count
    // 1, 2, ... in their first byte, the farthest one flagged 0x40; deleted
    // parts have lost that byte to the 0xE5 mark and end where the run ends
    // or the name's terminator is. Every part carries the checksum of the
    // short name it was written with.
    std::u16string name;
    int parts = 0;
    bool complete = false;
    bool partsDeleted = false;
    std::uint8_t sum = 0;
    for (std::size_t at = entryOffset; at >= kEntryBytes && parts < kMaxLongNameEntries; at -= kEntryBytes) {
        const std::uint8_t* l = buffer.data() + at - kEntryBytes;
        if (l[11] != 0x0F) break;
        const bool deleted = l[0] == 0xE5;
        if (parts == 0) {
            partsDeleted = deleted;
            sum = l[13];
        } else if (deleted != partsDeleted || l[13] != sum) {
            break;  // another name's parts
        }
        if (!deleted && (l[0] & 0x1F) != parts + 1) break;  // out of order: not one name
        ++parts;
        bool terminated = false;
        for (const auto& [from, bytes] : {std::pair{1, 10}, std::pair{14, 12}, std::pair{28, 4}})
            for (int i = 0; i < bytes; i += 2) {
                const char16_t c = static_cast<char16_t>(GetU16(l + from + i));
                terminated |= c == 0;
                name += c;
            }
        if (deleted ? terminated : (l[0] & 0x40) != 0) {
            complete = true;
            break;
        }
    }
    // A run of deleted parts ends where the entries before it stop being parts.
    if (parts > 0 && partsDeleted) complete = true;
    if (!complete) return {};
    if (const std::size_t end = name.find(u'\0'); end != std::u16string::npos) name.resize(end);
    if (name.size() > kMaxNameChars) name.resize(kMaxNameChars);
    if (name.empty()) return {};

    // A live entry's name is what the file system holds: its live parts only.
    if (!IsDeletedEntry(e)) return !partsDeleted && sum == ShortNameChecksum(e) ? name : std::u16string();
    // A deleted short entry has lost its first byte, and with it the sum:
    // the one first byte that gives the parts' checksum must be what the
    // short name was made of, the long name's first character in upper case.
    std::uint8_t first = sum;
    for (int i = 10; i >= 1; --i) {
        first = static_cast<std::uint8_t>(first - e[i]);
        first = static_cast<std::uint8_t>((first << 1) | (first >> 7));
    }
    const std::size_t lead = name.find_first_not_of(u" .");
    if (lead == std::u16string::npos) return {};
    const char16_t c = name[lead];
    bool fits = first == '_';  // characters a short name cannot hold become '_'
    if (c < 0x80) fits |= first == (c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    else fits |= first >= 0x80 || (first >= 'A' && first <= 'Z');  // the code page's letter, or one without accent
    return fits ? name : std::u16string();
}

std::string CFileSystem_FAT::GetEntryName(std::span<const std::uint8_t> buffer, std::size_t entryOffset,
                                         const char* codePage) {
    const std::uint8_t* e = buffer.data() + entryOffset;
    if (std::u16string name = LongName(buffer, entryOffset); !name.empty()) return platform::Utf16ToUtf8(name);
    std::string bytes;
    std::size_t i = 0;
    if (IsDeletedEntry(e)) {
        bytes += '_';
        i = 1;
    } else if (e[0] == 0x05) {
        bytes += static_cast<char>(0xE5);
        i = 1;
    }
    // Byte 12 marks a short name written in lower case (base 0x08, extension 0x10).
    const auto letter = [](std::uint8_t c, bool lower) {
        return static_cast<char>(lower && c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    };
    for (; i < 8 && e[i] != ' '; ++i) bytes += letter(e[i], e[12] & 0x08);
    if (e[8] != ' ') {
        bytes += '.';
        for (std::size_t j = 8; j < 11 && e[j] != ' '; ++j) bytes += letter(e[j], e[12] & 0x10);
    }
    return platform::CodePageToUtf8(bytes, codePage);
}

std::string CFileSystem_FAT::LabelText(const std::uint8_t* bytes11, const char* codePage) {
    std::string bytes(reinterpret_cast<const char*>(bytes11), 11);
    bytes.erase(std::find(bytes.begin(), bytes.end(), '\0'), bytes.end());
    while (!bytes.empty() && bytes.back() == ' ') bytes.pop_back();
    // A first byte 0x05 stands for 0xE5 in a directory entry's name.
    if (!bytes.empty() && bytes[0] == 0x05) bytes[0] = static_cast<char>(0xE5);
    for (char& c : bytes)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
    return platform::CodePageToUtf8(bytes, codePage);
}

std::optional<std::string> CFileSystem_FAT::FindVolumeLabel(std::span<const std::uint8_t> folder,
                                                            const char* codePage) {
    for (std::size_t off = 0; off + kEntryBytes <= folder.size(); off += kEntryBytes) {
        const std::uint8_t* e = folder.data() + off;
        if (e[0] == 0) break;  // the end of the folder
        if (IsVolumeLabelEntry(e)) return LabelText(e, codePage);
    }
    return std::nullopt;
}

std::optional<std::string> CFileSystem_FAT::ReadRootLabel(CVolume& volume, bool fat32) {
    const std::uint8_t* b = volume.BootSector.data();
    const std::uint32_t bps = GetU16(b + 11), spc = b[13];
    if (bps < 512 || bps > 4096 || bps % 512 != 0 || spc == 0) return std::nullopt;
    const std::uint64_t scale = bps / 512;
    const std::uint64_t reserved = GetU16(b + 14) * scale;
    const std::uint64_t fatSectors = (fat32 ? GetU32(b + 36) : GetU16(b + 22)) * scale;
    const std::uint64_t rootSector = reserved + b[16] * fatSectors;
    // Reads `sectors` at `first` and looks for the label up to the end of the
    // folder; `ended` tells whether the end was met.
    std::vector<std::uint8_t> chunk;
    bool ended = false;
    const auto scan = [&](std::uint64_t first, std::uint64_t sectors) -> std::optional<std::string> {
        chunk.assign(static_cast<std::size_t>(sectors * 512), 0);
        const std::uint32_t got = volume.ReadSectors(chunk.data(), first, sectors);
        chunk.resize(got / kEntryBytes * kEntryBytes);
        ended = got < sectors * 512;
        for (std::size_t off = 0; off < chunk.size(); off += kEntryBytes) {
            const std::uint8_t* e = chunk.data() + off;
            if (e[0] == 0) {
                ended = true;
                break;
            }
            if (IsVolumeLabelEntry(e)) return LabelText(e);
        }
        return std::nullopt;
    };
    if (!fat32) {
        const std::uint64_t rootSectors =
            std::min<std::uint64_t>((GetU16(b + 17) * kEntryBytes + 511) / 512, kMaxDirectoryBytes / 512);
        for (std::uint64_t at = 0; at < rootSectors && !ended; at += 32)
            if (auto label = scan(rootSector + at, std::min<std::uint64_t>(32, rootSectors - at))) return label;
        return std::nullopt;
    }
    // FAT32: the root's chain, cluster by cluster, each next cluster read
    // from the one table sector that holds its entry.
    const std::uint64_t clusterSectors = spc * scale;
    std::uint32_t cluster = GetU32(b + 44) & 0x0FFFFFFF;
    std::array<std::uint8_t, 512> fat{};
    for (std::uint64_t read = 0; read * clusterSectors * 512 < kMaxDirectoryBytes && !ended; ++read) {
        if (cluster < 2 || cluster >= 0x0FFFFFF7) break;
        if (auto label = scan(rootSector + (cluster - 2ULL) * clusterSectors, clusterSectors)) return label;
        if (ended) break;
        const std::uint64_t entryAt = std::uint64_t{cluster} * 4;
        if (volume.ReadSectors(fat.data(), reserved + entryAt / 512, std::uint64_t{1}) != 512) break;
        cluster = GetU32(fat.data() + entryAt % 512) & 0x0FFFFFFF;
    }
    return std::nullopt;
}

void CFileSystem_FAT::ParseDirectory(std::span<const std::uint8_t> buffer, std::uint64_t parent,
                                     const std::vector<std::uint32_t>* chain) {
    std::size_t metBefore = 0;
    for (std::size_t off = 0; off + kEntryBytes <= buffer.size() && Busy(); off += kEntryBytes) {
        const std::uint8_t* e = buffer.data() + off;
        if (!IsValidEntry(e)) continue;
        const std::uint8_t attr = e[11];
        if ((attr & 0x18) == 0x08) continue;  // a long name's part or the volume label
        if (IsDotEntry(e)) continue;

        std::uint64_t place = EntryPlace(off, chain);
        if (!entriesSeen_.insert(place).second) {
            ++metBefore;
            continue;
        }
        // No entry lies where the root node's id would point (the boot sector
        // or the table, on a sound volume): one that does takes an id of its own.
        if (place == RootId()) place = static_cast<std::uint64_t>(NextSyntheticId());

        CFoundObject record;
        record.Init();
        const std::uint32_t cluster = (std::uint32_t{GetU16(e + 20)} << 16) | GetU16(e + 26);
        // The first cluster is a signed 32-bit value widened with its sign.
        record.StartPos = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(cluster)));
        record.Id = place;
        record.ParentId = parent;
        record.DataOffset = cluster >= 2 ? (std::uint64_t{cluster} - 2) * ClusterBytes + FirstDataSector * 512 : 0;
        record.SetName(GetEntryName(buffer, off));
        record.Size = GetU32(e + 28);
        if (auto t = platform::FromDosDateTime(GetU16(e + 16), GetU16(e + 14), e[13])) record.CreationTime = *t;
        if (auto t = platform::FromDosDateTime(GetU16(e + 24), GetU16(e + 22))) record.ModificationTime = *t;
        if (auto t = platform::FromDosDateTime(GetU16(e + 18), 0)) record.AccessTime = *t;
        if (IsDeletedEntry(e)) record.Flags |= FO_DELETED;
        record.Attributes = attr;
        // The high nibble of a FAT32 cluster number is reserved.
        const std::uint32_t start = IsFat32(TypeCode) ? cluster & 0x0FFFFFFF : cluster;
        const bool inVolume = IsDataCluster(start);
        if (start != 0 && !inVolume) {
            Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kFatEntryBeyondVolume, record.GetName(), cluster,
                                             static_cast<std::uint32_t>(LastCluster())));
        }
        if (IsDirectoryEntry(e)) {
            record.Flags |= FO_FOLDER;
            const bool live = !IsDeletedEntry(e);
            if (start == 0 || (IsFat32(TypeCode) && start == RootCluster)) {
                Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kFatFolderNamesRoot, record.GetName()));
            } else if (inVolume) {
                const auto [queued, added] = queued_.try_emplace(start, dirQueue_.size());
                if (added) {
                    dirQueue_.push_back({start, record.Id, live});
                } else if (QueuedDirectory& other = dirQueue_[queued->second]; live && other.live) {
                    // Two live folders never share a cluster: this entry leads
                    // back into a folder listed already, and stays empty.
                    Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kFatFolderHeldByAnother, record.GetName(), cluster));
                } else if (live && queued->second >= nextDirectory_) {
                    // A deleted entry (a renamed folder's old name, or a folder
                    // deleted before this one took its cluster) named it first:
                    // the content belongs to the live folder.
                    other.id = record.Id;
                    other.live = true;
                }
            }
        } else if (!IsDeletedEntry(e) && cluster >= 2) {
            Account((record.Size + ClusterBytes - 1) / ClusterBytes);
        }
        volume_.AddFileSystemObject(record);
    }
    if (metBefore > 0) {
        Log(kLogError, FormatMessageText(volume_.Context().texts, ids::kFatEntriesMetBefore, std::uint64_t{metBefore}));
    }
    // Sizes only estimate the clusters of a file: the walk shows 100 % only
    // once it has ended.
    const std::uint64_t end = volume_.ProgressEnd.load();
    volume_.ProgressPos = end ? std::min(accounted_, end - 1) : 0;
}

void CFileSystem_FAT::Account(std::uint64_t clusters) {
    accounted_ += clusters * (ClusterBytes / 512);
}

}  // namespace tl
