// GUID partition tables made by sgdisk and fdisk, read as The Sleuth Kit's
// mmls reads them, and the same tables damaged by hand.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "fixture_support.h"
#include "storage/gpt_partition_table.h"
#include "storage/little_endian.h"
#include "storage/volume.h"
#include "test_support.h"

namespace tl {
namespace {

struct Reported {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    int type = 0;
    std::string name;
    bool operator==(const Reported&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Reported& r) {
    return out << "{" << r.offset << ", " << r.size << ", " << r.type << ", \"" << r.name << "\"}";
}

// The partitions mmls lists on `image` (not its meta entries, nor the
// protective MBR entry), in bytes, with their descriptions.
std::vector<Reported> MmlsPartitions(const std::filesystem::path& image, const std::string& options = "") {
    std::vector<Reported> out;
    std::istringstream lines(test::CommandOutput("mmls " + options + " " + test::ShellQuote(image.string()) + " 2>/dev/null"));
    std::uint64_t unit = 512;
    for (std::string line; std::getline(lines, line);) {
        unsigned long long n = 0;
        if (std::sscanf(line.c_str(), "Units are in %llu-byte sectors", &n) == 1) unit = n;
        char slot[32] = {}, kind[32] = {};
        unsigned long long start = 0, end = 0, length = 0;
        int used = 0;
        if (std::sscanf(line.c_str(), "%31s %31s %llu %llu %llu %n", slot, kind, &start, &end, &length, &used) < 5) continue;
        const std::string description = line.substr(static_cast<std::size_t>(used));
        if (std::string(kind) == "Meta" || kind[0] == '-' || description.find("(0xee)") != std::string::npos) continue;
        out.push_back({start * unit, length * unit, 0, description});
    }
    return out;
}

class GptTest : public ::testing::Test {
protected:
    GptTest() {
        settings.Reset(SettingsDefaults{});
        log.SetDebugOutput({});
    }
    VolumeContext Context() {
        VolumeContext c{&settings, &log, nullptr, nullptr, {}};
        c.addFoundVolume = [this](const CFoundObject& o) { ADD_FAILURE() << "reported without its entry: " << o.DataOffset; };
        c.addPartition = [this](const CFoundObject& o, const PartitionEntry& e) {
            found.push_back({o.DataOffset, o.Size, o.TypeId, e.Name});
            entries.push_back(e);
        };
        return c;
    }
    // Walks the table of a disk image held in memory.
    void Walk(std::vector<std::uint8_t> bytes) {
        found.clear();
        entries.clear();
        logStart = log.Lines().size();
        CVolume disk(VK_IMAGE, Context());
        disk.DevicePath = "/images/disk.img";
        disk.SetDevice(std::make_shared<MemorySectorDevice>(std::move(bytes)));
        ASSERT_EQ(disk.Analyse_Boot(), 1);
    }
    // The log lines of the last walk.
    std::vector<std::string> WalkLines() const {
        const auto lines = log.Lines();
        return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(std::min(logStart, lines.size())), lines.end());
    }
    bool LogHas(const std::string& text) const {
        for (const auto& l : WalkLines())
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    std::string AllLines() const {
        std::string all;
        for (const auto& l : WalkLines()) all += l + "\n";
        return all;
    }

    AppSettings settings;
    CEventLog log{settings, [] { return platform::WindowId{0}; }};
    std::vector<Reported> found;
    std::vector<PartitionEntry> entries;
    std::size_t logStart = 0;
};

std::vector<std::uint8_t> ReadImage(const std::filesystem::path& p) {
    std::vector<std::uint8_t> bytes(std::filesystem::file_size(p));
    std::ifstream in(p, std::ios::binary);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

TEST_F(GptTest, RealDisksMatchTheOracle) {
    const auto dir = test::FixturePath("gpt");
    TL_REQUIRE_FIXTURE("make_gpt_disks.sh", dir);
    constexpr std::uint64_t M = 1 << 20;
    struct Case {
        const char* image;
        std::vector<Reported> expected;  // type: the code of the boot sector found there
        const char* logLine;
        const char* mmlsOptions = "";  // an MBR does not tell its sector size: mmls is told
    };
    const std::vector<Case> cases = {
        {"gpt.img", {{M, 16 * M, 4, "Docs"}, {17 * M, 16 * M, 7, "Archive"}, {33 * M, M, 0, "Swap"}}, nullptr},
        {"hybrid.img", {{M, 16 * M, 4, "Docs"}, {17 * M, 16 * M, 7, "Archive"}, {33 * M, M, 0, "Swap"}},
         "disk.img: the MBR lists 1 partition(s) besides its GUID partition table (a hybrid MBR); the GUID partition table is used."},
        {"gpt4k.img", {{M, 32 * M, 4, "Docs4K"}}, "disk.img: the partition table counts sectors of 4096 bytes, not 512."},
        // An MBR: its partition has no name, and its type byte is the type.
        {"mbr4k.img", {{M, 32 * M, 6, ""}}, "disk.img: the partition table counts sectors of 4096 bytes, not 512.", "-b 4096"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        const auto image = dir / c.image;
        std::vector<Reported> oracle = MmlsPartitions(image, c.mmlsOptions);
        ASSERT_EQ(oracle.size(), c.expected.size()) << test::CommandOutput("mmls " + image.string());
        for (std::size_t i = 0; i < oracle.size(); ++i) {
            EXPECT_EQ(oracle[i].offset, c.expected[i].offset);
            EXPECT_EQ(oracle[i].size, c.expected[i].size);
            if (!c.expected[i].name.empty()) {
                EXPECT_EQ(oracle[i].name, c.expected[i].name);
            }
        }
        Walk(ReadImage(image));
        EXPECT_EQ(found, c.expected) << AllLines();
        if (c.logLine) {
            EXPECT_TRUE(LogHas(c.logLine)) << AllLines();
        }
        EXPECT_FALSE(LogHas("damaged")) << AllLines();
    }
    // The entries carry what the table says of each partition.
    Walk(ReadImage(dir / "gpt.img"));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].PartitionStyle, kPartitionStyleGpt);
    EXPECT_EQ(entries[2].PartitionNumber, 3u);
    EXPECT_EQ(CGptPartitionTable::TypeText(entries[0].PartitionTypeGuid, nullptr), "Microsoft basic data");
    EXPECT_EQ(CGptPartitionTable::TypeText(entries[2].PartitionTypeGuid, nullptr), "Linux swap");
    const std::string info = test::CommandOutput("sgdisk -i 2 " + test::ShellQuote((dir / "gpt.img").string()));
    EXPECT_NE(info.find("Partition unique GUID: " + CGptPartitionTable::GuidText(entries[1].PartitionId)), std::string::npos)
        << info;
    EXPECT_TRUE(LogHas("DBG: disk.img: GUID partition 3 \"Swap\" (Linux swap) at sector 67584, 2048 sectors.")) << AllLines();
}

// Offsets in gpt.img: 512-byte sectors, 128 entries of 128 bytes.
constexpr std::size_t kPrimary = 512, kPrimaryEntries = 1024;
constexpr std::size_t kDiskBytes = 64u << 20;
constexpr std::size_t kBackup = kDiskBytes - 512, kBackupEntries = kDiskBytes - 33 * 512;
constexpr std::size_t kEntry = 128, kEntriesBytes = 128 * kEntry;

std::uint32_t Crc(const std::uint8_t* p, std::size_t n) {
    return static_cast<std::uint32_t>(::crc32(0L, p, static_cast<uInt>(n)));
}
void FixHeader(std::vector<std::uint8_t>& d, std::size_t header) {
    PutU32(d.data() + header + 16, 0);
    PutU32(d.data() + header + 16, Crc(d.data() + header, GetU32(d.data() + header + 12)));
}
void FixEntries(std::vector<std::uint8_t>& d, std::size_t header, std::size_t entries) {
    PutU32(d.data() + header + 88, Crc(d.data() + entries, kEntriesBytes));
    FixHeader(d, header);
}
// The same change to an entry of both tables, checksums made right again:
// damage no checksum can tell.
void ChangeEntry(std::vector<std::uint8_t>& d, int index, const std::function<void(std::uint8_t*)>& change) {
    for (const auto& [header, entries] : {std::pair{kPrimary, kPrimaryEntries}, std::pair{kBackup, kBackupEntries}}) {
        change(d.data() + entries + index * kEntry);
        FixEntries(d, header, entries);
    }
}
void SetName(std::uint8_t* entry, const std::u16string& name) {
    std::memset(entry + 56, 0, 72);
    for (std::size_t i = 0; i < name.size() && i < 36; ++i) PutU16(entry + 56 + 2 * i, name[i]);
}

TEST_F(GptTest, DamagedTablesFallBackOrStopAndNeverReachBeyondTheDisk) {
    const auto dir = test::FixturePath("gpt");
    TL_REQUIRE_FIXTURE("make_gpt_disks.sh", dir);
    const std::vector<std::uint8_t> intact = ReadImage(dir / "gpt.img");
    ASSERT_EQ(intact.size(), kDiskBytes);
    constexpr std::uint64_t M = 1 << 20;
    const std::vector<Reported> all = {{M, 16 * M, 4, "Docs"}, {17 * M, 16 * M, 7, "Archive"}, {33 * M, M, 0, "Swap"}};
    const std::string backupUsed = "the primary GUID partition table is damaged; its backup at sector 131071 is used.";
    const std::string bothDamaged = "are both damaged; no partition is read from them. A search for lost volumes "
                                    "(analyze --lost-volumes) can still find the volumes.";
    struct Case {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> damage;
        std::vector<Reported> expected;
        std::vector<std::string> logLines;
    };
    const std::vector<Case> cases = {
        {"header checksum wrong", [](auto& d) { d[kPrimary + 60] ^= 1; }, all,
         {"the GUID partition table header at sector 1 fails its checksum.", backupUsed}},
        {"entry checksum wrong", [](auto& d) { d[kPrimaryEntries + 56] ^= 1; }, all,
         {"the GUID partition entries at sector 2 fail their checksum.", backupUsed}},
        {"2^32 - 1 entries",
         [](auto& d) {
             PutU32(d.data() + kPrimary + 80, 0xFFFFFFFF);
             FixHeader(d, kPrimary);
         },
         all, {"lists 4294967295 entries of 128 bytes; only entries of 128 x 2^n bytes and at most 1048576", backupUsed}},
        {"entry size 0",
         [](auto& d) {
             PutU32(d.data() + kPrimary + 84, 0);
             FixHeader(d, kPrimary);
         },
         all, {"lists 128 entries of 0 bytes", backupUsed}},
        {"entry size 200",
         [](auto& d) {
             PutU32(d.data() + kPrimary + 84, 200);
             FixHeader(d, kPrimary);
         },
         all, {"lists 128 entries of 200 bytes", backupUsed}},
        // A valid size, but then the array is another one, which its checksum tells.
        {"entry size 4096",
         [](auto& d) {
             PutU32(d.data() + kPrimary + 84, 4096);
             FixHeader(d, kPrimary);
         },
         all, {"the GUID partition entries at sector 2 fail their checksum.", backupUsed}},
        {"entry array beyond the disk",
         [](auto& d) {
             PutU64(d.data() + kPrimary + 72, 131070);
             FixHeader(d, kPrimary);
         },
         all, {"the GUID partition table header at sector 1 does not fit this disk of 131072 sectors.", backupUsed}},
        {"a stray header (its own sector wrong)",
         [](auto& d) {
             PutU64(d.data() + kPrimary + 24, 7);
             FixHeader(d, kPrimary);
         },
         all, {backupUsed}},
        {"both headers damaged",
         [](auto& d) {
             d[kPrimary + 60] ^= 1;
             d[kBackup + 60] ^= 1;
         },
         {}, {"the GUID partition table header at sector 131071 fails its checksum.", bothDamaged}},
        {"no header at all behind a protective MBR",
         [](auto& d) {
             std::memset(d.data() + kPrimary, 0, 512);
             std::memset(d.data() + kBackup, 0, 512);
         },
         {}, {"there is no GUID partition table header at sector 1.", bothDamaged}},
        {"no MBR in front of the table", [](auto& d) { std::memset(d.data(), 0, 512); }, all,
         {"the disk has no MBR, but a GUID partition table; it is read."}},
        {"entries overlapping",
         [](auto& d) { ChangeEntry(d, 1, [](std::uint8_t* e) { PutU64(e + 32, 30000); }); },
         {all[0], {30000 * 512ULL, (67583 - 30000 + 1) * 512ULL, 0, "Archive"}, all[2]},
         {"GUID partitions 1 and 2 overlap."}},
        {"an entry beyond the disk",
         [](auto& d) {
             ChangeEntry(d, 2, [](std::uint8_t* e) {
                 PutU64(e + 32, 200000);
                 PutU64(e + 40, 200100);
             });
         },
         {all[0], all[1]}, {"GUID partition 3 starts at sector 200000, beyond the end of the disk (131072 sectors); it is skipped."}},
        {"an entry running past the end of the disk",
         [](auto& d) { ChangeEntry(d, 2, [](std::uint8_t* e) { PutU64(e + 40, 500000); }); },
         {all[0], all[1], {33 * M, (131072 - 67584) * 512ULL, 0, "Swap"}},
         {"GUID partition 3 lies outside the usable sectors 34 to 131038 of its table.",
          "GUID partition 3 runs past the end of the disk (131072 sectors); it is cut there."}},
        {"first sector above the last",
         [](auto& d) {
             ChangeEntry(d, 2, [](std::uint8_t* e) {
                 PutU64(e + 32, 69631);
                 PutU64(e + 40, 67584);
             });
         },
         {all[0], all[1]}, {"GUID partition 3 ends before it begins (sectors 69631 to 67584); it is skipped."}},
        {"names without their terminator, and with an escape sequence",
         [](auto& d) {
             ChangeEntry(d, 0, [](std::uint8_t* e) { SetName(e, std::u16string(36, u'N')); });
             ChangeEntry(d, 1, [](std::uint8_t* e) { SetName(e, u"A\x1b[31mB\x202E\xD800"); });
         },
         {{M, 16 * M, 4, std::string(36, 'N')}, {17 * M, 16 * M, 7, "A_[31mB_\xEF\xBF\xBD"}, all[2]}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> d = intact;
        c.damage(d);
        Walk(std::move(d));
        EXPECT_EQ(found, c.expected) << AllLines();
        for (const std::string& line : c.logLines) EXPECT_TRUE(LogHas(line)) << line << "\n" << AllLines();
    }

    // A table on a disk of one sector: its header would lie beyond the end.
    Walk(std::vector<std::uint8_t>(intact.begin(), intact.begin() + 1023));
    EXPECT_TRUE(found.empty());
    EXPECT_TRUE(LogHas("the GUID partition table header at sector 1 does not fit this disk of 1 sectors.")) << AllLines();
    EXPECT_TRUE(LogHas(bothDamaged)) << AllLines();
}

}  // namespace
}  // namespace tl
