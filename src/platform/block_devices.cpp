#include "platform/block_devices.h"

#include <blkid.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <tuple>

#include "platform/text.h"

namespace tl::platform {
namespace {

// sysfs attributes are a few bytes; a mountinfo file stays well below this
// even with thousands of mounts.
constexpr std::size_t kAttributeLimit = 4096;
constexpr std::size_t kMountInfoLimit = 16u << 20;
// Upper bounds on what one listing looks at.
constexpr std::size_t kMaxDisks = 4096;
constexpr std::size_t kMaxPartitionsPerDisk = 1024;

// Reads at most `limit` bytes. procfs and sysfs files report a size that says
// nothing about their content, so this reads until end of file.
std::optional<std::string> ReadBounded(const std::filesystem::path& path, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::string out;
    char buffer[4096];
    bool failed = false;
    while (out.size() < limit) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit - out.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed = true;
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (failed && out.empty()) return std::nullopt;
    return out;
}

// Blanks of a sysfs attribute: line blanks and the NULs some drivers pad with.
std::string_view TrimBlanks(std::string_view s) {
    return TrimChars(s, std::string_view(" \t\n\r\0", 5));
}

std::optional<std::string> ReadAttribute(const std::filesystem::path& path) {
    auto text = ReadBounded(path, kAttributeLimit);
    if (!text) return std::nullopt;
    return std::string(TrimBlanks(*text));
}

template <typename T>
std::optional<T> ParseUnsigned(std::string_view text, int base = 10) {
    text = TrimBlanks(text);
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

template <typename T>
std::optional<T> ReadNumber(const std::filesystem::path& path) {
    const auto text = ReadAttribute(path);
    if (!text) return std::nullopt;
    return ParseUnsigned<T>(*text);
}

bool ReadFlag(const std::filesystem::path& path) { return ReadNumber<unsigned>(path).value_or(0) != 0; }

// "8:16" as sysfs writes a device number.
std::optional<DeviceNumber> ParseDeviceNumber(std::string_view text) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const auto major = ParseUnsigned<unsigned>(text.substr(0, colon));
    const auto minor = ParseUnsigned<unsigned>(text.substr(colon + 1));
    if (!major || !minor) return std::nullopt;
    return DeviceNumber{*major, *minor};
}

std::string_view FieldValue(const std::vector<std::pair<std::string, std::string>>& fields, std::string_view key) {
    for (const auto& [k, v] : fields)
        if (k == key) return v;
    return {};
}

// Vendor and model texts come from device firmware: keep printable ASCII, and
// drop a bare PCI vendor id ("0x1af4" of virtio), which names no one.
std::string CleanDeviceText(std::string_view raw) {
    std::string out;
    for (char c : raw)
        if (static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F) out += c;
    out = std::string(TrimBlanks(out));
    if (out.size() > 2 && out[0] == '0' && (out[1] == 'x' || out[1] == 'X') &&
        ParseUnsigned<unsigned long long>(std::string_view(out).substr(2), 16))
        return {};
    return out;
}

std::string ToHex(unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%x", value);
    return buffer;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool AllDigits(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), IsDigit); }
bool AllLower(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

// Rank of a whole-disk name in the drive numbering, or -1 when the name is
// not a disk that is listed.
int DiskFamily(std::string_view name) {
    const auto after = [&](std::string_view prefix) -> std::optional<std::string_view> {
        if (name.substr(0, prefix.size()) != prefix) return std::nullopt;
        return name.substr(prefix.size());
    };
    if (auto rest = after("sd"); rest && AllLower(*rest)) return 0;
    if (auto rest = after("nvme")) {
        const auto n = rest->find('n');
        if (n != std::string_view::npos && AllDigits(rest->substr(0, n)) && AllDigits(rest->substr(n + 1)))
            return 1;
    }
    if (auto rest = after("vd"); rest && AllLower(*rest)) return 2;
    if (auto rest = after("xvd"); rest && AllLower(*rest)) return 3;
    if (auto rest = after("mmcblk"); rest && AllDigits(*rest)) return 4;
    if (auto rest = after("hd"); rest && AllLower(*rest)) return 5;
    if (auto rest = after("loop"); rest && AllDigits(*rest)) return 6;
    return -1;
}

// Natural order: digit runs compare as numbers, letter runs by length first
// (sdz < sdaa, as the kernel hands out the names).
bool NaturalLess(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = IsDigit(a[i]);
        const bool digitB = IsDigit(b[j]);
        std::size_t endA = i, endB = j;
        while (endA < a.size() && IsDigit(a[endA]) == digitA) ++endA;
        while (endB < b.size() && IsDigit(b[endB]) == digitB) ++endB;
        std::string_view runA = a.substr(i, endA - i), runB = b.substr(j, endB - j);
        if (digitA != digitB) return digitA;
        if (digitA) {
            while (runA.size() > 1 && runA[0] == '0') runA.remove_prefix(1);
            while (runB.size() > 1 && runB[0] == '0') runB.remove_prefix(1);
        }
        if (runA.size() != runB.size()) return runA.size() < runB.size();
        if (runA != runB) return runA < runB;
        i = endA;
        j = endB;
    }
    return a.size() - i < b.size() - j;
}

// Fields every block device has: number, size, node path, read-only flag.
BlockDeviceInfo ReadCommon(const std::filesystem::path& dir, const std::string& name) {
    BlockDeviceInfo info;
    info.name = name;
    const auto uevent = ParseUeventFields(ReadBounded(dir / "uevent", kAttributeLimit).value_or(""));
    const std::string_view devName = FieldValue(uevent, "DEVNAME");
    if (!devName.empty() && devName.find("..") == std::string_view::npos)
        info.devicePath = "/dev/" + std::string(devName);
    else {
        // Names with a slash in the node path are written with '!' in sysfs.
        std::string node = name;
        std::replace(node.begin(), node.end(), '!', '/');
        info.devicePath = "/dev/" + node;
    }
    // The kernel names the partitions of GUID tables it scanned itself.
    info.partitionName = std::string(FieldValue(uevent, "PARTNAME"));
    std::optional<DeviceNumber> number;
    if (auto dev = ReadAttribute(dir / "dev")) number = ParseDeviceNumber(*dev);
    if (!number) {
        const auto major = ParseUnsigned<unsigned>(FieldValue(uevent, "MAJOR"));
        const auto minor = ParseUnsigned<unsigned>(FieldValue(uevent, "MINOR"));
        if (major && minor) number = DeviceNumber{*major, *minor};
    }
    if (number) {
        info.major = number->major;
        info.minor = number->minor;
    }
    // sysfs counts the size in 512-byte units whatever the sector size.
    const std::uint64_t sectors = ReadNumber<std::uint64_t>(dir / "size").value_or(0);
    info.sizeBytes = sectors <= UINT64_MAX / 512 ? sectors * 512 : 0;
    info.readOnly = ReadFlag(dir / "ro");
    if (auto partn = ParseUnsigned<unsigned>(FieldValue(uevent, "PARTN"))) info.partitionNumber = *partn;
    return info;
}

std::vector<BlockDeviceInfo> PartitionsIn(const std::filesystem::path& diskDir, const BlockDeviceInfo& disk) {
    std::vector<BlockDeviceInfo> parts;
    std::error_code ec;
    std::filesystem::directory_iterator it(diskDir, ec), end;
    for (; !ec && it != end && parts.size() < kMaxPartitionsPerDisk; it.increment(ec)) {
        const std::filesystem::path dir = it->path();
        std::error_code statError;
        if (!std::filesystem::exists(dir / "partition", statError)) continue;
        BlockDeviceInfo part = ReadCommon(dir, dir.filename().string());
        part.isPartition = true;
        part.parentName = disk.name;
        if (auto number = ReadNumber<unsigned>(dir / "partition")) part.partitionNumber = *number;
        part.startSector = ReadNumber<std::uint64_t>(dir / "start").value_or(0);
        part.logicalSectorSize = disk.logicalSectorSize;
        part.removable = disk.removable;
        part.readOnly = part.readOnly || disk.readOnly;
        parts.push_back(std::move(part));
    }
    std::sort(parts.begin(), parts.end(), [](const BlockDeviceInfo& a, const BlockDeviceInfo& b) {
        if (a.partitionNumber != b.partitionNumber) return a.partitionNumber < b.partitionNumber;
        return NaturalLess(a.name, b.name);
    });
    return parts;
}

std::optional<BlockDeviceInfo> ReadDisk(const std::filesystem::path& blockDir, const std::string& name) {
    const std::filesystem::path dir = blockDir / name;
    const bool isLoop = DiskFamily(name) == 6;
    std::string backing;
    if (isLoop) {
        backing = ReadAttribute(dir / "loop" / "backing_file").value_or("");
        if (backing.empty()) return std::nullopt;
    }
    BlockDeviceInfo disk = ReadCommon(dir, name);
    disk.partitionNumber = 0;
    disk.loopBackingFile = std::move(backing);
    if (auto size = ReadNumber<std::uint32_t>(dir / "queue" / "logical_block_size"); size && *size >= 512)
        disk.logicalSectorSize = *size;
    disk.removable = ReadFlag(dir / "removable");
    disk.vendor = CleanDeviceText(ReadAttribute(dir / "device" / "vendor").value_or(""));
    disk.model = CleanDeviceText(ReadAttribute(dir / "device" / "model").value_or(""));
    if (disk.model.empty()) disk.model = CleanDeviceText(ReadAttribute(dir / "device" / "name").value_or(""));
    disk.partitions = PartitionsIn(dir, disk);
    return disk;
}

// The partition table's own words on each partition of `disk`: its kind,
// and each entry's name, type and GUID, matched by number and start.
void AddTableDetails(BlockDeviceInfo& disk) {
    if (disk.partitions.empty()) return;
    blkid_probe probe = blkid_new_probe_from_filename(disk.devicePath.c_str());
    if (!probe) return;
    blkid_probe_enable_superblocks(probe, 0);
    blkid_probe_enable_partitions(probe, 1);
    blkid_probe_set_partitions_flags(probe, BLKID_PARTS_ENTRY_DETAILS);
    if (blkid_partlist list = blkid_probe_get_partitions(probe)) {
        const blkid_parttable table = blkid_partlist_get_table(list);
        const char* tableType = table ? blkid_parttable_get_type(table) : nullptr;
        const int count = std::min(blkid_partlist_numof_partitions(list), static_cast<int>(kMaxPartitionsPerDisk));
        const auto text = [](const char* s) { return s ? std::string(s, ::strnlen(s, kAttributeLimit)) : std::string(); };
        for (int i = 0; i < count; ++i) {
            const blkid_partition p = blkid_partlist_get_partition(list, i);
            if (!p) continue;
            const int number = blkid_partition_get_partno(p);
            const blkid_loff_t start = blkid_partition_get_start(p);  // 512-byte sectors
            for (BlockDeviceInfo& part : disk.partitions) {
                if (number < 0 || part.partitionNumber != static_cast<unsigned>(number) || start < 0 ||
                    part.startSector != static_cast<std::uint64_t>(start))
                    continue;
                part.partitionTable = text(tableType);
                if (part.partitionName.empty()) part.partitionName = text(blkid_partition_get_name(p));
                if (const char* type = blkid_partition_get_type_string(p)) part.partitionType = text(type);
                else part.partitionType = "0x" + ToHex(static_cast<unsigned>(blkid_partition_get_type(p)));
                part.partitionUuid = text(blkid_partition_get_uuid(p));
            }
        }
    }
    blkid_free_probe(probe);
}

struct Fd {
    int fd = -1;
    explicit Fd(const std::filesystem::path& path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

bool IsBlockDevice(int fd) {
    struct stat st{};
    return fd >= 0 && ::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode);
}

std::optional<std::uint32_t> ParseHex32(std::string_view text) {
    if (text.size() != 8) return std::nullopt;
    return ParseUnsigned<std::uint32_t>(text, 16);
}

// Unescapes the octal forms (\040 space, \011 tab, \012 newline, \134
// backslash) that the kernel writes into mountinfo fields.
std::string DecodeMountField(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string_view digits = field.substr(i + 1, 3);
            if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                out += static_cast<char>(((digits[0] - '0') << 6) | ((digits[1] - '0') << 3) | (digits[2] - '0'));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

std::vector<std::string_view> SplitBlanks(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ParseUeventFields(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> fields;
    std::size_t pos = 0;
    bool first = true;
    while (pos <= text.size()) {
        std::size_t end = text.find_first_of(std::string_view("\n\0", 2), pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view field = text.substr(pos, end - pos);
        pos = end + 1;
        const auto eq = field.find('=');
        if (first && eq == std::string_view::npos && field.find('@') != std::string_view::npos) {
            first = false;  // "add@/devices/..." header of a netlink message
            continue;
        }
        if (!field.empty()) first = false;
        if (eq == std::string_view::npos || eq == 0) continue;
        fields.emplace_back(std::string(field.substr(0, eq)), std::string(field.substr(eq + 1)));
    }
    return fields;
}

std::vector<BlockDeviceInfo> ListDisks(const std::filesystem::path& sysRoot) {
    const std::filesystem::path blockDir = sysRoot / "block";
    std::vector<std::string> names;
    std::error_code ec;
    std::filesystem::directory_iterator it(blockDir, ec), end;
    for (; !ec && it != end && names.size() < kMaxDisks; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (DiskFamily(name) >= 0) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const int fa = DiskFamily(a), fb = DiskFamily(b);
        if (fa != fb) return fa < fb;
        return NaturalLess(a, b);
    });
    std::vector<BlockDeviceInfo> disks;
    // A recorded tree names devices of another machine: they are not read.
    const bool realSysfs = sysRoot == "/sys";
    for (const std::string& name : names) {
        if (auto disk = ReadDisk(blockDir, name)) {
            if (realSysfs) AddTableDetails(*disk);
            disks.push_back(std::move(*disk));
        }
    }
    return disks;
}

std::vector<BlockDeviceInfo> ListPartitions(const std::string& diskName, const std::filesystem::path& sysRoot) {
    if (diskName.empty() || diskName.find('/') != std::string::npos || diskName == "." || diskName == "..") return {};
    const std::filesystem::path dir = sysRoot / "block" / diskName;
    BlockDeviceInfo disk;
    disk.name = diskName;
    if (auto size = ReadNumber<std::uint32_t>(dir / "queue" / "logical_block_size"); size && *size >= 512)
        disk.logicalSectorSize = *size;
    disk.removable = ReadFlag(dir / "removable");
    disk.readOnly = ReadFlag(dir / "ro");
    return PartitionsIn(dir, disk);
}

std::optional<DeviceNumber> DeviceNumberOf(const std::filesystem::path& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return std::nullopt;
    return DeviceNumber{::major(st.st_rdev), ::minor(st.st_rdev)};
}

DiskIdentity DiskIdentityOf(const std::filesystem::path& node, const std::filesystem::path& sysRoot) {
    DiskIdentity identity;
    const auto number = DeviceNumberOf(node);
    if (!number) return identity;
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::canonical(
        sysRoot / "dev" / "block" / (std::to_string(number->major) + ":" + std::to_string(number->minor)), ec);
    if (ec) return identity;
    if (std::filesystem::exists(dir / "partition", ec)) dir = dir.parent_path();
    identity.model = CleanDeviceText(ReadAttribute(dir / "device" / "model").value_or(""));
    // NVMe and memory cards name their serial; SCSI disks give it in their
    // unit serial number page (a four-byte header, then the text).
    std::string serial = ReadAttribute(dir / "device" / "serial").value_or("");
    if (serial.empty())
        if (const auto page = ReadAttribute(dir / "device" / "vpd_pg80"); page && page->size() > 4)
            serial = page->substr(4);
    identity.serial = CleanDeviceText(serial);
    return identity;
}

std::optional<std::uint64_t> BlockDeviceSize(int fd) {
    if (!IsBlockDevice(fd)) return std::nullopt;
    std::uint64_t size = 0;
    if (::ioctl(fd, BLKGETSIZE64, &size) != 0) return std::nullopt;
    return size;
}

std::optional<std::uint32_t> BlockDeviceSectorSize(int fd) {
    if (!IsBlockDevice(fd)) return std::nullopt;
    int size = 0;
    if (::ioctl(fd, BLKSSZGET, &size) != 0 || size <= 0) return std::nullopt;
    return static_cast<std::uint32_t>(size);
}

std::optional<std::uint64_t> BlockDeviceSize(const std::filesystem::path& path) { return BlockDeviceSize(Fd(path).fd); }

std::optional<std::uint32_t> BlockDeviceSectorSize(const std::filesystem::path& path) {
    return BlockDeviceSectorSize(Fd(path).fd);
}

DiskGeometry DeriveGeometry(std::uint64_t sizeBytes, std::uint32_t bytesPerSector) {
    DiskGeometry g;
    g.bytesPerSector = bytesPerSector ? bytesPerSector : 512;
    g.tracksPerCylinder = 255;
    g.sectorsPerTrack = 63;
    g.cylinders = sizeBytes / (std::uint64_t{255} * 63 * g.bytesPerSector);
    g.derived = true;
    return g;
}

std::optional<DiskGeometry> GetGeometry(int fd) {
    const auto size = BlockDeviceSize(fd);
    if (!size) return std::nullopt;
    const std::uint32_t sectorSize = BlockDeviceSectorSize(fd).value_or(512);
    hd_geometry geo{};
    if (::ioctl(fd, HDIO_GETGEO, &geo) != 0 || geo.heads == 0 || geo.sectors == 0)
        return DeriveGeometry(*size, sectorSize);
    DiskGeometry g;
    g.bytesPerSector = sectorSize;
    g.tracksPerCylinder = geo.heads;
    g.sectorsPerTrack = geo.sectors;
    g.cylinders = *size / (std::uint64_t{geo.heads} * geo.sectors * sectorSize);
    return g;
}

std::optional<DiskGeometry> GetGeometry(const std::filesystem::path& path) { return GetGeometry(Fd(path).fd); }

std::pair<std::uint32_t, std::uint32_t> SerialFromUuid(std::string_view type, std::string_view uuid) {
    if (type == "vfat" || type == "exfat" || type == "msdos") {
        if (uuid.size() != 9 || uuid[4] != '-') return {0, 0};
        const auto value = ParseHex32(std::string(uuid.substr(0, 4)) + std::string(uuid.substr(5)));
        return {value.value_or(0), 0};
    }
    if (type == "ntfs") {
        if (uuid.size() != 16) return {0, 0};
        const auto high = ParseHex32(uuid.substr(0, 8));
        const auto low = ParseHex32(uuid.substr(8));
        if (!high || !low) return {0, 0};
        return {*low, *high};
    }
    return {0, 0};
}

namespace {

// The type, label and serial a finished probe found; nullopt without a type.
std::optional<VolumeProbe> ProbeResult(blkid_probe probe) {
    const auto lookup = [&](const char* key) {
        const char* data = nullptr;
        std::size_t length = 0;
        if (blkid_probe_lookup_value(probe, key, &data, &length) != 0 || !data) return std::string();
        // The length counts the terminating NUL.
        return std::string(data, ::strnlen(data, length));
    };
    VolumeProbe v;
    v.type = lookup("TYPE");
    v.label = lookup("LABEL");
    v.uuid = lookup("UUID");
    std::tie(v.serial, v.serialHigh) = SerialFromUuid(v.type, v.uuid);
    if (v.type.empty()) return std::nullopt;
    return v;
}

}  // namespace

std::optional<VolumeProbe> ProbeVolume(const std::string& devicePath) {
    blkid_probe probe = blkid_new_probe_from_filename(devicePath.c_str());
    if (!probe) return std::nullopt;
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID);
    blkid_probe_enable_partitions(probe, 0);
    std::optional<VolumeProbe> result;
    if (blkid_do_safeprobe(probe) == 0) result = ProbeResult(probe);
    blkid_free_probe(probe);
    return result;
}

std::optional<VolumeProbe> ProbeVolumeBytes(std::span<const std::uint8_t> head) {
    if (head.empty()) return std::nullopt;
    const int fd = ::memfd_create("tessa-loft-probe", MFD_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::size_t written = 0;
    while (written < head.size()) {
        const ssize_t n = ::write(fd, head.data() + written, head.size() - written);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    std::optional<VolumeProbe> result;
    blkid_probe probe = written == head.size() ? blkid_new_probe() : nullptr;
    if (probe && blkid_probe_set_device(probe, fd, 0, static_cast<blkid_loff_t>(head.size())) == 0) {
        blkid_probe_enable_superblocks(probe, 1);
        blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID);
        blkid_probe_enable_partitions(probe, 0);
        // The full probe: a volume that carries two signatures (an old one
        // left by an earlier format) is still named by the first that fits.
        if (blkid_do_probe(probe) == 0) result = ProbeResult(probe);
    }
    if (probe) blkid_free_probe(probe);
    ::close(fd);
    return result;
}

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
    std::vector<MountEntry> mounts;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const auto fields = SplitBlanks(text.substr(pos, end - pos));
        pos = end + 1;
        // id parent major:minor root mount-point options [optional...] - type source super-options
        if (fields.size() < 9) continue;
        const auto separator = std::find(fields.begin() + 6, fields.end(), std::string_view("-"));
        if (separator == fields.end() || fields.end() - separator < 3) continue;
        const auto device = ParseDeviceNumber(fields[2]);
        if (!device) continue;
        MountEntry entry;
        entry.device = *device;
        entry.root = DecodeMountField(fields[3]);
        entry.mountPoint = DecodeMountField(fields[4]);
        entry.fsType = DecodeMountField(separator[1]);
        entry.source = DecodeMountField(separator[2]);
        mounts.push_back(std::move(entry));
    }
    return mounts;
}

std::optional<MountInfo> FindMount(const std::vector<MountEntry>& mounts, DeviceNumber device,
                                   std::string_view devicePath) {
    const auto matches = [&](const MountEntry& m) {
        // Device number 0 belongs to no block device (tmpfs, proc, FUSE).
        if (m.device.major != 0 && m.device == device) return true;
        return !devicePath.empty() && m.source == devicePath;
    };
    for (int pass = 0; pass < 2; ++pass)
        for (const MountEntry& m : mounts)
            if (matches(m) && (pass == 1 || m.root == "/")) return MountInfo{m.mountPoint, m.fsType};
    return std::nullopt;
}

std::optional<MountInfo> MountOf(unsigned major, unsigned minor, std::string_view devicePath,
                                 const std::filesystem::path& mountInfoPath) {
    const DeviceNumber device{major, minor};
    if (const auto text = ReadBounded(mountInfoPath, kMountInfoLimit))
        if (auto listed = FindMount(ParseMountInfo(*text), device, devicePath)) return listed;
    struct stat root{};
    if (major != 0 && ::stat("/", &root) == 0 && DeviceNumber{::major(root.st_dev), ::minor(root.st_dev)} == device)
        return MountInfo{"/", {}};
    return std::nullopt;
}

std::optional<std::uint64_t> FreeBytes(const std::string& mountPoint) {
    struct statvfs st{};
    if (::statvfs(mountPoint.c_str(), &st) != 0) return std::nullopt;
    const std::uint64_t unit = st.f_frsize ? st.f_frsize : st.f_bsize;
    return static_cast<std::uint64_t>(st.f_bfree) * unit;
}

std::optional<DeviceNumber> DeviceHoldingFolder(const std::filesystem::path& folder,
                                                const std::filesystem::path& mountInfoPath) {
    struct stat st{};
    if (::stat(folder.c_str(), &st) != 0) return std::nullopt;
    const DeviceNumber own{::major(st.st_dev), ::minor(st.st_dev)};
    if (own.major != 0) return own;
    const auto text = ReadBounded(mountInfoPath, kMountInfoLimit);
    if (!text) return std::nullopt;
    for (const MountEntry& m : ParseMountInfo(*text))
        if (m.device == own && !m.source.empty() && m.source.front() == '/')
            if (const auto device = DeviceNumberOf(m.source)) return device;
    return std::nullopt;
}

std::optional<DeviceNumber> DeviceHoldingPath(const std::filesystem::path& path, const std::filesystem::path& mountInfoPath) {
    std::error_code ec;
    std::filesystem::path at = std::filesystem::absolute(path, ec).lexically_normal();
    for (int up = 0; up < 4096 && !std::filesystem::exists(at, ec) && at != at.parent_path(); ++up) at = at.parent_path();
    return DeviceHoldingFolder(at, mountInfoPath);
}

std::optional<DiskExtent> ExtentOnDisk(DeviceNumber device, const std::filesystem::path& sysRoot) {
    std::error_code ec;
    const std::filesystem::path link = sysRoot / "dev" / "block" / (std::to_string(device.major) + ":" + std::to_string(device.minor));
    const std::filesystem::path dir = std::filesystem::canonical(link, ec);
    if (ec) return std::nullopt;
    const auto sectors = ReadNumber<std::uint64_t>(dir / "size");
    if (!sectors) return std::nullopt;
    DiskExtent extent;
    extent.disk = device;
    extent.length = *sectors * 512;
    if (std::filesystem::exists(dir / "partition", ec)) {
        const auto start = ReadNumber<std::uint64_t>(dir / "start");
        const auto disk = ReadAttribute(dir.parent_path() / "dev");
        const auto diskNumber = disk ? ParseDeviceNumber(*disk) : std::nullopt;
        if (!start || !diskNumber) return std::nullopt;
        extent.disk = *diskNumber;
        extent.start = *start * 512;
    }
    return extent;
}

}  // namespace tl::platform
