// Block devices: the disks and partitions of the machine as sysfs lists them,
// the size and geometry of an open device, what file system a device or image
// holds, and where a device is mounted. Every query answers with a value or
// nullopt; nothing here throws or logs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tl::platform {

struct DeviceNumber {
    unsigned major = 0;
    unsigned minor = 0;
    friend bool operator==(const DeviceNumber&, const DeviceNumber&) = default;
};

struct BlockDeviceInfo {
    std::string name;        // sdb, nvme0n1, loop0, sdb1
    std::string devicePath;  // /dev/sdb
    unsigned major = 0;
    unsigned minor = 0;
    std::uint64_t sizeBytes = 0;
    std::uint32_t logicalSectorSize = 512;
    bool removable = false;
    bool readOnly = false;
    std::string vendor;  // blank-trimmed; empty when sysfs has no readable text
    std::string model;
    std::string loopBackingFile;  // loop devices only
    bool isPartition = false;
    std::string parentName;  // partitions: the disk they lie on
    unsigned partitionNumber = 0;
    std::uint64_t startSector = 0;  // partitions: first sector on the disk, 512-byte units
    // Partitions: what the disk's partition table says of them, as far as
    // the kernel (the name of a GUID partition) or libblkid can tell.
    std::string partitionTable;  // "gpt", "dos"; empty when unknown
    std::string partitionName;   // raw text of the table; empty when none
    std::string partitionType;   // GUID text ("EBD0A0A2-...") or "0x7"
    std::string partitionUuid;   // GUID text of a GUID partition
    std::vector<BlockDeviceInfo> partitions;  // disks: their partitions by number
};

// The whole disks under `<sysRoot>/block`, in the order drives are numbered:
// SCSI/SATA/USB (sd*), NVMe namespaces (nvme*n*), virtio (vd*), Xen (xvd*),
// memory cards (mmcblk*), IDE (hd*), then loop devices that have a backing
// file; within a family in natural order (sdz before sdaa, loop2 before
// loop10). RAM disks, zram, optical drives, device mapper, the path devices
// of multipath NVMe (nvme0c0n1), memory-card boot areas and loop devices
// without a backing file are left out; a disk without a medium (size 0) is
// listed. Each disk carries its partitions. Unreadable attributes leave the
// field at its default. With the real sysfs, a disk's partition table is
// read (by libblkid, read-only) for the table's details of each partition;
// a disk that cannot be opened keeps what sysfs says.
std::vector<BlockDeviceInfo> ListDisks(const std::filesystem::path& sysRoot = "/sys");

// The partitions of one disk (by its sysfs name), ordered by partition number.
std::vector<BlockDeviceInfo> ListPartitions(const std::string& diskName, const std::filesystem::path& sysRoot = "/sys");

// KEY=VALUE pairs of a uevent in the kernel's form: lines of a sysfs `uevent`
// file, or the NUL-separated fields of a netlink message (whose leading
// "action@devpath" header is skipped). Malformed fields are dropped.
std::vector<std::pair<std::string, std::string>> ParseUeventFields(std::string_view text);

// The model and serial number of the disk a block-device node lies on (a
// partition's disk), as sysfs tells them; a field sysfs has no text for is
// empty, and both are for anything but a block device.
struct DiskIdentity {
    std::string model;
    std::string serial;
};
DiskIdentity DiskIdentityOf(const std::filesystem::path& node, const std::filesystem::path& sysRoot = "/sys");

// The device number of a block-device node; nullopt for anything else
// (regular files, missing paths).
std::optional<DeviceNumber> DeviceNumberOf(const std::filesystem::path& path);

// Size in bytes (BLKGETSIZE64) and logical sector size (BLKSSZGET) of an open
// block device; nullopt when the descriptor is not a block device.
std::optional<std::uint64_t> BlockDeviceSize(int fd);
std::optional<std::uint32_t> BlockDeviceSectorSize(int fd);
// The same, opening `path` read-only for the question.
std::optional<std::uint64_t> BlockDeviceSize(const std::filesystem::path& path);
std::optional<std::uint32_t> BlockDeviceSectorSize(const std::filesystem::path& path);

struct DiskGeometry {
    std::uint64_t cylinders = 0;
    std::uint32_t tracksPerCylinder = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t bytesPerSector = 0;
    // True when the device had no geometry of its own (loop and most virtual
    // disks) and the values were derived from its size.
    bool derived = false;
};

// Geometry of an open block device. The kernel's cylinder field is 16 bits
// wide, so the cylinders always come from the 64-bit size; heads and sectors
// per track come from HDIO_GETGEO, or are 255 and 63 when the device has none.
// Like every C/H/S geometry it may cover less than the whole device: the size
// is what BlockDeviceSize says.
std::optional<DiskGeometry> GetGeometry(int fd);
std::optional<DiskGeometry> GetGeometry(const std::filesystem::path& path);
// The geometry a device of `sizeBytes` gets when it reports none.
DiskGeometry DeriveGeometry(std::uint64_t sizeBytes, std::uint32_t bytesPerSector);

struct VolumeProbe {
    std::string type;  // vfat, ntfs, exfat, ext4 ...
    std::string label;
    std::string uuid;
    std::uint32_t serial = 0;      // FAT/exFAT serial, low half of the NTFS serial, else 0
    std::uint32_t serialHigh = 0;  // high half of the NTFS serial, else 0
};

// Looks for a file-system superblock at the start of a device or image file
// (read-only). nullopt when nothing is recognised, the result is ambiguous,
// or the path cannot be opened.
std::optional<VolumeProbe> ProbeVolume(const std::string& devicePath);
// The same for the first bytes of a volume read through the program's own
// reads (an image, a region of a disk, memory): libblkid probes a private
// in-memory copy of them (the first megabyte holds every superblock it
// looks for at the start).
std::optional<VolumeProbe> ProbeVolumeBytes(std::span<const std::uint8_t> head);
// The volume serial as the file system stores it, from the text libblkid
// gives as UUID: "ABCD-1234" for FAT and exFAT, 16 hex digits for NTFS.
// {low, high}; zeros for other types or malformed text.
std::pair<std::uint32_t, std::uint32_t> SerialFromUuid(std::string_view type, std::string_view uuid);

struct MountInfo {
    std::string mountPoint;
    std::string fsType;
};

struct MountEntry {
    DeviceNumber device;
    std::string root;  // the folder of the file system that is mounted ("/" unless a bind mount)
    std::string mountPoint;
    std::string fsType;
    std::string source;
};

// The lines of a mountinfo file, escapes (\040 ...) decoded. Malformed lines
// are skipped.
std::vector<MountEntry> ParseMountInfo(std::string_view text);

// Where the device `device` is mounted: the first mount of the whole file
// system (root "/"), else the first mount of a folder of it. FUSE mounts carry
// no device number of their own; they match when their source is `devicePath`.
std::optional<MountInfo> FindMount(const std::vector<MountEntry>& mounts, DeviceNumber device,
                                   std::string_view devicePath = {});
// FindMount on the mount table at `mountInfoPath`. The table lists only the
// mounts a process can reach from its root: in a chroot whose root folder is
// no mount point, the device that holds the root is listed nowhere, yet it
// is mounted, at "/" as this process sees it (its type then unknown).
std::optional<MountInfo> MountOf(unsigned major, unsigned minor, std::string_view devicePath = {},
                                 const std::filesystem::path& mountInfoPath = "/proc/self/mountinfo");

// Free bytes of the file system mounted at `mountPoint` (all free blocks,
// including those reserved for root); nullopt when statvfs fails.
std::optional<std::uint64_t> FreeBytes(const std::string& mountPoint);

// The block device that holds the file system of `folder`: the device number
// of the folder itself, or, for file systems without one of their own (FUSE
// mounts such as ntfs-3g, btrfs subvolumes), the block device the mount
// table names as their source. nullopt for file systems on no block device
// (tmpfs, network file systems) and folders that cannot be examined.
std::optional<DeviceNumber> DeviceHoldingFolder(const std::filesystem::path& folder,
                                                const std::filesystem::path& mountInfoPath = "/proc/self/mountinfo");
// The same for a path that need not exist yet: its nearest existing folder counts.
std::optional<DeviceNumber> DeviceHoldingPath(const std::filesystem::path& path,
                                              const std::filesystem::path& mountInfoPath = "/proc/self/mountinfo");

// Where a block device lies: the whole disk it belongs to (itself for a
// disk) and its bytes on that disk. nullopt when sysfs does not know it.
struct DiskExtent {
    DeviceNumber disk;
    std::uint64_t start = 0;   // bytes from the disk's start
    std::uint64_t length = 0;  // bytes
};
std::optional<DiskExtent> ExtentOnDisk(DeviceNumber device, const std::filesystem::path& sysRoot = "/sys");

}  // namespace tl::platform
