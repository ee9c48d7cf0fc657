// Structured damage to real fixture images: the structures are found by
// parsing the image's own boot sector, tables, directories and MFT records,
// so every damage hits exactly the field it names on whatever fixture it is
// given.
#pragma once

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "storage/little_endian.h"

namespace tl::test {

using Image = std::vector<std::uint8_t>;

// A FAT12/16/32 volume image: its layout from the boot sector, its table
// entries (written to every copy), its directory entries by short name.
class FatImage {
public:
    explicit FatImage(Image& b) : b_(b) {
        const std::uint8_t* p = b.data();
        bps = GetU16(p + 11);
        spc = p[13];
        reserved = GetU16(p + 14);
        fats = p[16];
        rootEntries = GetU16(p + 17);
        const std::uint32_t total = GetU16(p + 19) ? GetU16(p + 19) : GetU32(p + 32);
        sectorsPerFat = GetU16(p + 22) ? GetU16(p + 22) : GetU32(p + 36);
        rootSector = reserved + fats * sectorsPerFat;
        firstDataSector = rootSector + (rootEntries * 32 + bps - 1) / bps;
        clusters = (total - firstDataSector) / spc;
        bits = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
        rootCluster = bits == 32 ? GetU32(p + 44) : 0;
    }

    std::uint64_t FatOffset(std::uint32_t copy) const { return std::uint64_t{reserved + copy * sectorsPerFat} * bps; }
    std::uint64_t ClusterOffset(std::uint32_t c) const {
        return (std::uint64_t{firstDataSector} + std::uint64_t{c - 2} * spc) * bps;
    }
    std::uint32_t LastCluster() const { return clusters + 1; }
    // Table entries the FAT sectors hold (more than the clusters: the last
    // sector is padded).
    std::uint32_t TableEntries() const { return sectorsPerFat * bps * 8 / bits; }
    // The marker of a bad cluster; on FAT32 with the reserved high nibble set.
    std::uint32_t BadCluster() const { return bits == 12 ? 0xFF7 : bits == 16 ? 0xFFF7 : 0xFFFFFFF7; }

    std::uint32_t Entry(std::uint32_t n) const {
        const std::uint8_t* fat = b_.data() + FatOffset(0);
        if (bits == 12) {
            const std::uint16_t v = GetU16(fat + n * 3 / 2);
            return (n & 1) ? v >> 4 : v & 0x0FFF;
        }
        return bits == 16 ? GetU16(fat + n * 2) : GetU32(fat + n * 4) & 0x0FFFFFFF;
    }
    void SetEntry(std::uint32_t n, std::uint32_t v) {
        for (std::uint32_t i = 0; i < fats; ++i) {
            std::uint8_t* fat = b_.data() + FatOffset(i);
            if (bits == 12) {
                std::uint8_t* at = fat + n * 3 / 2;
                const std::uint16_t w = GetU16(at);
                PutU16(at, static_cast<std::uint16_t>((n & 1) ? (w & 0x000F) | ((v & 0xFFF) << 4) : (w & 0xF000) | (v & 0xFFF)));
            } else if (bits == 16) {
                PutU16(fat + n * 2, static_cast<std::uint16_t>(v));
            } else {
                PutU32(fat + n * 4, v);
            }
        }
    }
    std::vector<std::uint32_t> Chain(std::uint32_t first) const {
        std::vector<std::uint32_t> out;
        for (std::uint32_t c = first; c >= 2 && c <= LastCluster() && out.size() <= clusters; c = Entry(c)) out.push_back(c);
        return out;
    }

    // The offset in the image of the short entry `name11` in the directory
    // starting at `cluster` (0: the root), or nullopt.
    std::optional<std::size_t> Find(std::uint32_t cluster, const char* name11) const {
        std::vector<std::size_t> slots;
        if (cluster == 0 && bits != 32) {
            for (std::uint32_t i = 0; i < rootEntries; ++i) slots.push_back(std::size_t{rootSector} * bps + i * 32);
        } else {
            for (std::uint32_t c : Chain(cluster ? cluster : rootCluster))
                for (std::uint32_t i = 0; i < spc * bps / 32; ++i) slots.push_back(ClusterOffset(c) + i * 32);
        }
        for (std::size_t at : slots)
            if (at + 32 <= b_.size() && b_[at + 11] != 0x0F && std::memcmp(b_.data() + at, name11, 11) == 0) return at;
        return std::nullopt;
    }
    // The entry's start cluster (its offset must come from Find).
    std::uint32_t StartCluster(std::size_t entry) const {
        return (std::uint32_t{GetU16(b_.data() + entry + 20)} << 16) | GetU16(b_.data() + entry + 26);
    }
    void SetStartCluster(std::size_t entry, std::uint32_t c) {
        PutU16(b_.data() + entry + 20, static_cast<std::uint16_t>(c >> 16));
        PutU16(b_.data() + entry + 26, static_cast<std::uint16_t>(c));
    }
    // Docs, Docs/Reports and Docs/Multi Cluster.bin of the fixtures.
    std::size_t Docs() const { return Must(Find(0, "DOCS       ")); }
    std::size_t Reports() const { return Must(Find(StartCluster(Docs()), "REPORTS    ")); }
    std::size_t MultiCluster() const { return Must(Find(StartCluster(Docs()), "MULTIC~1BIN")); }

    std::uint32_t bps, spc, reserved, fats, rootEntries, sectorsPerFat, rootSector, firstDataSector, clusters, bits,
        rootCluster;

private:
    static std::size_t Must(std::optional<std::size_t> at) {
        EXPECT_TRUE(at.has_value()) << "the fixture lacks an entry the damage needs";
        return at.value_or(0);
    }
    Image& b_;
};

// An NTFS volume image: its MFT records, read with the update sequence put
// back and written with it applied again, so a damaged record is torn only
// where the damage says.
class NtfsImage {
public:
    struct Attribute {
        std::size_t offset;
        std::uint32_t type, length;
    };

    explicit NtfsImage(Image& b) : b_(b) {
        clusterBytes = std::uint64_t{GetU16(b.data() + 11)} * b[13];
        mftOffset = GetU64(b.data() + 0x30) * clusterBytes;
        const auto perRecord = static_cast<std::int8_t>(b[0x40]);
        recordBytes = perRecord < 0 ? std::size_t{1} << -perRecord : perRecord * clusterBytes;
    }

    // The offset of record `n` (the fixtures' MFT starts contiguous: the
    // records of interest lie in its first run).
    std::size_t RecordOffset(std::uint64_t n) const { return static_cast<std::size_t>(mftOffset + n * recordBytes); }
    std::vector<std::uint8_t> Record(std::uint64_t n) const {
        std::vector<std::uint8_t> r(b_.begin() + RecordOffset(n), b_.begin() + RecordOffset(n) + recordBytes);
        const std::size_t usa = GetU16(r.data() + 4), count = GetU16(r.data() + 6);
        for (std::size_t i = 1; i < count; ++i) std::memcpy(r.data() + i * 512 - 2, r.data() + usa + 2 * i, 2);
        return r;
    }
    void Store(std::uint64_t n, std::vector<std::uint8_t> r) {
        const std::size_t usa = GetU16(r.data() + 4), count = GetU16(r.data() + 6);
        for (std::size_t i = 1; i < count; ++i) {
            std::memcpy(r.data() + usa + 2 * i, r.data() + i * 512 - 2, 2);
            std::memcpy(r.data() + i * 512 - 2, r.data() + usa, 2);
        }
        std::copy(r.begin(), r.end(), b_.begin() + RecordOffset(n));
    }
    static std::vector<Attribute> Attributes(const std::vector<std::uint8_t>& r) {
        std::vector<Attribute> out;
        for (std::size_t at = GetU16(r.data() + 0x14); at + 8 <= r.size();) {
            const std::uint32_t type = GetU32(r.data() + at), length = GetU32(r.data() + at + 4);
            if (type == 0xFFFFFFFF || length == 0) break;
            out.push_back({at, type, length});
            at += length;
        }
        return out;
    }
    static Attribute Find(const std::vector<std::uint8_t>& r, std::uint32_t type) {
        for (const Attribute& a : Attributes(r))
            if (a.type == type) return a;
        ADD_FAILURE() << "the record lacks attribute 0x" << std::hex << type;
        return {0, 0, 0};
    }
    // The first cluster of a non-resident attribute's first run.
    static std::uint64_t FirstLcn(const std::vector<std::uint8_t>& r, const Attribute& a) {
        const std::uint8_t* run = r.data() + a.offset + GetU16(r.data() + a.offset + 0x20);
        const unsigned l = run[0] & 0x0F, o = run[0] >> 4;
        std::uint64_t lcn = 0;
        for (unsigned i = 0; i < o; ++i) lcn |= std::uint64_t{run[1 + l + i]} << (8 * i);
        return lcn;
    }

    std::uint64_t clusterBytes, mftOffset;
    std::size_t recordBytes;

private:
    Image& b_;
};

// An exFAT volume image: its layout from the boot sector, the entries of
// its root folder by type, and the boot regions' checksums made whole again
// after a change.
struct ExFatImage {
    explicit ExFatImage(Image& b) : b_(b) {
        const std::uint8_t* p = b.data();
        fatOffset = std::uint64_t{GetU32(p + 80)} << p[108];
        heapOffset = std::uint64_t{GetU32(p + 88)} << p[108];
        rootCluster = GetU32(p + 96);
        bytesPerSector = std::size_t{1} << p[108];
        clusterBytes = std::uint64_t{1} << (p[108] + p[109]);
    }
    std::uint64_t ClusterOffset(std::uint32_t c) const { return heapOffset + std::uint64_t{c - 2} * clusterBytes; }
    void SetFatEntry(std::uint32_t n, std::uint32_t value) { PutU32(b_.data() + fatOffset + 4 * n, value); }
    // The first entry of the root's first cluster of `type` (0x81 the
    // allocation bitmap, 0x82 the up-case table).
    std::uint8_t* RootEntry(std::uint8_t type) {
        std::uint8_t* root = b_.data() + ClusterOffset(rootCluster);
        for (std::uint64_t at = 0; at + 32 <= clusterBytes; at += 32)
            if (root[at] == type) return root + at;
        ADD_FAILURE() << "no root entry of type " << int{type};
        return nullptr;
    }
    // Writes the checksum sector of both boot regions from their sectors as
    // they are now.
    void SealBootRegions() {
        for (std::size_t region = 0; region < 2; ++region) {
            std::uint8_t* r = b_.data() + region * 12 * bytesPerSector;
            std::uint32_t sum = 0;
            for (std::size_t i = 0; i < 11 * bytesPerSector; ++i)
                if (i != 106 && i != 107 && i != 112) sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + r[i];
            for (std::size_t at = 11 * bytesPerSector; at < 12 * bytesPerSector; at += 4) PutU32(r + at, sum);
        }
    }

    std::uint64_t fatOffset = 0, heapOffset = 0, clusterBytes = 512;
    std::uint32_t rootCluster = 0;
    std::size_t bytesPerSector = 512;

private:
    Image& b_;
};

// A partition table sector (the MBR or an EBR) of a disk image.
struct PartitionTable {
    Image& b;
    std::uint64_t sector;
    std::uint8_t* Entry(int i) const { return b.data() + sector * 512 + 446 + 16 * i; }
    std::uint8_t Type(int i) const { return Entry(i)[4]; }
    std::uint32_t First(int i) const { return GetU32(Entry(i) + 8); }
    void Set(int i, std::uint8_t type, std::uint32_t first, std::uint32_t count) const {
        Entry(i)[4] = type;
        PutU32(Entry(i) + 8, first);
        PutU32(Entry(i) + 12, count);
    }
};

// The sectors of the EBRs of the disk's extended chain, in order.
inline std::vector<std::uint64_t> ExtendedChain(Image& b) {
    std::vector<std::uint64_t> chain;
    std::uint64_t outer = 0;
    for (int i = 0; i < 4; ++i)
        if (const PartitionTable mbr{b, 0}; mbr.Type(i) == 5 || mbr.Type(i) == 15) outer = mbr.First(i);
    for (std::uint64_t at = outer; at != 0 && chain.size() < 16;) {
        chain.push_back(at);
        const PartitionTable ebr{b, at};
        at = ebr.Type(1) == 5 || ebr.Type(1) == 15 ? outer + ebr.First(1) : 0;
    }
    return chain;
}

// Both GUID partition tables of a disk image of 512-byte sectors (the
// primary behind the MBR, the backup in the last sector), changed alike and
// their checksums made right again: damage that no checksum tells.
struct GuidTables {
    Image& b;
    // `change` gets each header and its entries; true when the entries'
    // checksum is to be taken again (of an array that can be read).
    void Change(const std::function<bool(std::uint8_t* header, std::uint8_t* entries)>& change) const {
        for (const std::size_t header : {std::size_t{512}, b.size() - 512}) {
            std::uint8_t* h = b.data() + header;
            std::uint8_t* entries = b.data() + GetU64(h + 72) * 512;
            if (change(h, entries))  // where the header now says the entries lie
                PutU32(h + 88, static_cast<std::uint32_t>(
                                   ::crc32(0L, b.data() + GetU64(h + 72) * 512, GetU32(h + 80) * GetU32(h + 84))));
            PutU32(h + 16, 0);
            PutU32(h + 16, static_cast<std::uint32_t>(::crc32(0L, h, GetU32(h + 12))));
        }
    }
};

}  // namespace tl::test
