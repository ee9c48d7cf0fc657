#include "platform/block_devices.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/loop_device.h"
#include "test_support.h"

namespace tl::platform {
namespace {

using tl::test::ScratchDir;

// Writes one attribute of a recorded sysfs tree, creating its folders.
void Put(const std::filesystem::path& root, const std::string& relative, const std::string& content) {
    const auto path = root / relative;
    std::filesystem::create_directories(path.parent_path());
    tl::test::WriteFileBytes(path, content);
}

// Recorded from real machines (values shortened): a SATA disk with two
// partitions, a card reader without a medium, an NVMe namespace with the path
// device of a multipath controller, a virtio disk, a memory card with its
// boot area, two attached loop devices and an empty one, and the devices that
// are never listed: RAM disk, zram, optical drive, device mapper.
void RecordMachine(const std::filesystem::path& sys) {
    Put(sys, "block/sda/dev", "8:0\n");
    Put(sys, "block/sda/size", "1953525168\n");
    Put(sys, "block/sda/removable", "0\n");
    Put(sys, "block/sda/ro", "0\n");
    Put(sys, "block/sda/uevent", "MAJOR=8\nMINOR=0\nDEVNAME=sda\nDEVTYPE=disk\nDISKSEQ=1\n");
    Put(sys, "block/sda/queue/logical_block_size", "512\n");
    Put(sys, "block/sda/device/vendor", "ATA     \n");
    Put(sys, "block/sda/device/model", "TL-SSD 1TB      \n");
    Put(sys, "block/sda/sda2/partition", "2\n");
    Put(sys, "block/sda/sda2/start", "1050624\n");
    Put(sys, "block/sda/sda2/size", "1952472064\n");
    Put(sys, "block/sda/sda2/dev", "8:2\n");
    Put(sys, "block/sda/sda2/ro", "0\n");
    Put(sys, "block/sda/sda2/uevent", "MAJOR=8\nMINOR=2\nDEVNAME=sda2\nDEVTYPE=partition\nDISKSEQ=1\nPARTN=2\n");
    Put(sys, "block/sda/sda1/partition", "1\n");
    Put(sys, "block/sda/sda1/start", "2048\n");
    Put(sys, "block/sda/sda1/size", "1048576\n");
    Put(sys, "block/sda/sda1/dev", "8:1\n");
    Put(sys, "block/sda/sda1/ro", "1\n");
    Put(sys, "block/sda/sda1/uevent", "MAJOR=8\nMINOR=1\nDEVNAME=sda1\nDEVTYPE=partition\nPARTN=1\n");
    // Folders of a disk that are not partitions.
    Put(sys, "block/sda/holders/.keep", "");
    Put(sys, "block/sda/power/control", "auto\n");

    Put(sys, "block/sdb/dev", "8:16\n");
    Put(sys, "block/sdb/size", "0\n");
    Put(sys, "block/sdb/removable", "1\n");
    Put(sys, "block/sdb/uevent", "MAJOR=8\nMINOR=16\nDEVNAME=sdb\nDEVTYPE=disk\n");
    Put(sys, "block/sdb/queue/logical_block_size", "512\n");
    Put(sys, "block/sdb/device/vendor", "Generic-\n");
    Put(sys, "block/sdb/device/model", "SD/MMC \x01Reader\n");

    Put(sys, "block/nvme0n1/dev", "259:0\n");
    Put(sys, "block/nvme0n1/size", "1000215216\n");
    Put(sys, "block/nvme0n1/removable", "0\n");
    Put(sys, "block/nvme0n1/uevent", "MAJOR=259\nMINOR=0\nDEVNAME=nvme0n1\nDEVTYPE=disk\n");
    Put(sys, "block/nvme0n1/queue/logical_block_size", "4096\n");
    Put(sys, "block/nvme0n1/device/model", "TL NVMe 512GB                           \n");
    Put(sys, "block/nvme0n1/nvme0n1p1/partition", "1\n");
    Put(sys, "block/nvme0n1/nvme0n1p1/start", "256\n");
    Put(sys, "block/nvme0n1/nvme0n1p1/size", "2048\n");
    Put(sys, "block/nvme0n1/nvme0n1p1/dev", "259:1\n");
    Put(sys, "block/nvme0c0n1/dev", "259:9\n");
    Put(sys, "block/nvme0c0n1/size", "1000215216\n");

    Put(sys, "block/vda/dev", "254:0\n");
    Put(sys, "block/vda/size", "536870912\n");
    Put(sys, "block/vda/uevent", "MAJOR=254\nMINOR=0\nDEVNAME=vda\nDEVTYPE=disk\nDISKSEQ=9\n");
    Put(sys, "block/vda/device/vendor", "0x1af4\n");

    Put(sys, "block/mmcblk0/dev", "179:0\n");
    Put(sys, "block/mmcblk0/size", "62333952\n");
    Put(sys, "block/mmcblk0/device/name", "SD32G\n");
    Put(sys, "block/mmcblk0boot0/dev", "179:8\n");
    Put(sys, "block/mmcblk0boot0/size", "8192\n");

    Put(sys, "block/loop10/dev", "7:10\n");
    Put(sys, "block/loop10/size", "2048\n");
    Put(sys, "block/loop10/loop/backing_file", "/home/user/disk ten.img\n");
    Put(sys, "block/loop2/dev", "7:2\n");
    Put(sys, "block/loop2/size", "32768\n");
    Put(sys, "block/loop2/ro", "1\n");
    Put(sys, "block/loop2/uevent", "MAJOR=7\nMINOR=2\nDEVNAME=loop2\nDEVTYPE=disk\n");
    Put(sys, "block/loop2/loop/backing_file", "/images/stick.dsk\n");
    // No DEVNAME and no dev file: the node name and the number come from
    // what is there.
    Put(sys, "block/loop2/loop2p1/partition", "1\n");
    Put(sys, "block/loop2/loop2p1/start", "2048\n");
    Put(sys, "block/loop2/loop2p1/size", "30720\n");
    Put(sys, "block/loop2/loop2p1/uevent", "MAJOR=259\nMINOR=4\nDEVTYPE=partition\nPARTN=1\n");
    Put(sys, "block/loop3/dev", "7:3\n");
    Put(sys, "block/loop3/size", "0\n");

    Put(sys, "block/ram0/dev", "1:0\n");
    Put(sys, "block/ram0/size", "8192\n");
    Put(sys, "block/zram0/dev", "252:0\n");
    Put(sys, "block/zram0/size", "16777216\n");
    Put(sys, "block/sr0/dev", "11:0\n");
    Put(sys, "block/sr0/size", "2097151\n");
    Put(sys, "block/sr0/removable", "1\n");
    Put(sys, "block/dm-0/dev", "253:0\n");
}

std::vector<std::string> Names(const std::vector<BlockDeviceInfo>& devices) {
    std::vector<std::string> names;
    for (const auto& d : devices) names.push_back(d.name);
    return names;
}

TEST(BlockDevices, RecordedMachineListsDisksInDriveOrder) {
    ScratchDir dir;
    RecordMachine(dir.path());
    const auto disks = ListDisks(dir.path());
    EXPECT_EQ(Names(disks), (std::vector<std::string>{"sda", "sdb", "nvme0n1", "vda", "mmcblk0", "loop2", "loop10"}));
}

TEST(BlockDevices, RecordedDisksCarryTheirAttributes) {
    ScratchDir dir;
    RecordMachine(dir.path());
    const auto disks = ListDisks(dir.path());
    ASSERT_EQ(disks.size(), 7u);

    const BlockDeviceInfo& sda = disks[0];
    EXPECT_EQ(sda.devicePath, "/dev/sda");
    EXPECT_EQ(sda.major, 8u);
    EXPECT_EQ(sda.minor, 0u);
    EXPECT_EQ(sda.sizeBytes, 1953525168ull * 512);
    EXPECT_EQ(sda.logicalSectorSize, 512u);
    EXPECT_FALSE(sda.removable);
    EXPECT_FALSE(sda.isPartition);
    EXPECT_EQ(sda.vendor, "ATA");
    EXPECT_EQ(sda.model, "TL-SSD 1TB");
    EXPECT_TRUE(sda.loopBackingFile.empty());

    // A card reader without a medium is listed, with size 0; control bytes in
    // the firmware's text are dropped.
    const BlockDeviceInfo& sdb = disks[1];
    EXPECT_EQ(sdb.sizeBytes, 0u);
    EXPECT_TRUE(sdb.removable);
    EXPECT_EQ(sdb.vendor, "Generic-");
    EXPECT_EQ(sdb.model, "SD/MMC Reader");
    EXPECT_TRUE(sdb.partitions.empty());

    // The size counts 512-byte units even on a 4096-byte-sector disk.
    const BlockDeviceInfo& nvme = disks[2];
    EXPECT_EQ(nvme.sizeBytes, 1000215216ull * 512);
    EXPECT_EQ(nvme.logicalSectorSize, 4096u);
    EXPECT_EQ(nvme.vendor, "");
    EXPECT_EQ(nvme.model, "TL NVMe 512GB");
    ASSERT_EQ(nvme.partitions.size(), 1u);
    EXPECT_EQ(nvme.partitions[0].logicalSectorSize, 4096u);
    EXPECT_EQ(nvme.partitions[0].startSector, 256u);

    // A bare PCI vendor id is no vendor name; a card's name stands in for a model.
    EXPECT_EQ(disks[3].vendor, "");
    EXPECT_EQ(disks[3].sizeBytes, 536870912ull * 512);
    EXPECT_EQ(disks[4].model, "SD32G");
    EXPECT_EQ(disks[4].major, 179u);

    const BlockDeviceInfo& loop2 = disks[5];
    EXPECT_EQ(loop2.loopBackingFile, "/images/stick.dsk");
    EXPECT_TRUE(loop2.readOnly);
    EXPECT_EQ(loop2.sizeBytes, 32768u * 512);
    EXPECT_EQ(disks[6].loopBackingFile, "/home/user/disk ten.img");
    EXPECT_EQ(disks[6].devicePath, "/dev/loop10");
}

TEST(BlockDevices, RecordedPartitionsComeInNumberOrderWithStartAndSize) {
    ScratchDir dir;
    RecordMachine(dir.path());
    const auto disks = ListDisks(dir.path());
    ASSERT_FALSE(disks.empty());
    const auto& parts = disks[0].partitions;
    ASSERT_EQ(Names(parts), (std::vector<std::string>{"sda1", "sda2"}));
    EXPECT_TRUE(parts[0].isPartition);
    EXPECT_EQ(parts[0].parentName, "sda");
    EXPECT_EQ(parts[0].devicePath, "/dev/sda1");
    EXPECT_EQ(parts[0].partitionNumber, 1u);
    EXPECT_EQ(parts[0].startSector, 2048u);
    EXPECT_EQ(parts[0].sizeBytes, 1048576ull * 512);
    EXPECT_EQ(parts[0].minor, 1u);
    EXPECT_TRUE(parts[0].readOnly);
    EXPECT_EQ(parts[1].partitionNumber, 2u);
    EXPECT_EQ(parts[1].startSector, 1050624u);
    EXPECT_FALSE(parts[1].readOnly);

    // Without DEVNAME and `dev`, the node path and the number come from the
    // folder name and the uevent; a read-only disk makes its partitions read-only.
    const auto loop2 = std::find_if(disks.begin(), disks.end(), [](const auto& d) { return d.name == "loop2"; });
    ASSERT_NE(loop2, disks.end());
    ASSERT_EQ(loop2->partitions.size(), 1u);
    EXPECT_EQ(loop2->partitions[0].devicePath, "/dev/loop2p1");
    EXPECT_EQ(loop2->partitions[0].major, 259u);
    EXPECT_EQ(loop2->partitions[0].minor, 4u);
    EXPECT_TRUE(loop2->partitions[0].readOnly);

    EXPECT_EQ(Names(ListPartitions("sda", dir.path())), (std::vector<std::string>{"sda1", "sda2"}));
    EXPECT_TRUE(ListPartitions("../block/sda", dir.path()).empty());
    EXPECT_TRUE(ListPartitions("sdq", dir.path()).empty());
}

TEST(BlockDevices, NamesSortTheWayTheKernelHandsThemOut) {
    ScratchDir dir;
    for (const char* name :
         {"sdaa", "sdz", "sdb", "hda", "xvda", "nvme10n1", "nvme2n1", "nvme1n2", "nvme1n1", "mmcblk1", "mmcblk0"})
        std::filesystem::create_directories(dir.path() / "block" / name);
    for (const char* name : {"loop10", "loop9", "loop0"})
        Put(dir.path(), std::string("block/") + name + "/loop/backing_file", "/x\n");
    // Look-alikes that are not whole disks.
    for (const char* name : {"sd", "sd1", "nvme0", "nvme0n", "mmcblk", "loop", "loopx", "ramdisk"})
        std::filesystem::create_directories(dir.path() / "block" / name);
    EXPECT_EQ(Names(ListDisks(dir.path())),
              (std::vector<std::string>{"sdb", "sdz", "sdaa", "nvme1n1", "nvme1n2", "nvme2n1", "nvme10n1", "xvda",
                                        "mmcblk0", "mmcblk1", "hda", "loop0", "loop9", "loop10"}));
}

TEST(BlockDevices, BrokenOrMissingAttributesLeaveDefaults) {
    ScratchDir dir;
    EXPECT_TRUE(ListDisks(dir.path() / "nothing-here").empty());
    Put(dir.path(), "block/sdc/size", "lots\n");
    Put(dir.path(), "block/sdc/dev", "8:x\n");
    Put(dir.path(), "block/sdc/queue/logical_block_size", "7\n");
    Put(dir.path(), "block/sdc/uevent", "garbage\n=nokey\nDEVNAME=../../etc/passwd\n");
    Put(dir.path(), "block/sdc/sdc1/partition", "1\n");
    Put(dir.path(), "block/sdc/sdc1/start", "-5\n");
    Put(dir.path(), "block/sdc/sdc1/size", "18446744073709551615\n");  // would overflow in bytes
    const auto disks = ListDisks(dir.path());
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].devicePath, "/dev/sdc");
    EXPECT_EQ(disks[0].sizeBytes, 0u);
    EXPECT_EQ(disks[0].major, 0u);
    EXPECT_EQ(disks[0].logicalSectorSize, 512u);
    ASSERT_EQ(disks[0].partitions.size(), 1u);
    EXPECT_EQ(disks[0].partitions[0].startSector, 0u);
    EXPECT_EQ(disks[0].partitions[0].sizeBytes, 0u);
}

const char* const kMountInfo =
    "22 27 0:21 / /proc rw,relatime - proc proc rw\n"
    "27 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw,discard\n"
    "40 27 8:1 /sub /srv/bind rw,relatime shared:5 - vfat /dev/sda1 rw\n"
    "41 27 8:1 / /media/USB\\040STICK rw,nosuid shared:6 master:3 - vfat /dev/sda1 rw,fmask=0022\n"
    "42 27 0:45 / /media/win rw,nosuid,nodev,relatime shared:7 - fuseblk /dev/sdb1 rw,user_id=0\n"
    "43 27 0:46 / /tmp rw - tmpfs tmpfs rw\n"
    "this line is not a mount\n"
    "44 27 8:2 / /mnt/half rw\n"
    "45 27 8:3 /photos /srv/photos rw - ext4 /dev/sda3 rw";  // no final line break

TEST(BlockDevices, RecordedMountInfoFindsWhereAVolumeIsMounted) {
    const auto mounts = ParseMountInfo(kMountInfo);
    ASSERT_EQ(mounts.size(), 7u);
    EXPECT_EQ(mounts[3].mountPoint, "/media/USB STICK");
    EXPECT_EQ(mounts[4].source, "/dev/sdb1");

    // The whole file system wins over a bind mount of one of its folders,
    // whichever comes first; a bind mount alone still tells where it is.
    const auto usb = FindMount(mounts, {8, 1});
    ASSERT_TRUE(usb);
    EXPECT_EQ(usb->mountPoint, "/media/USB STICK");
    EXPECT_EQ(usb->fsType, "vfat");
    EXPECT_EQ(FindMount(mounts, {8, 3}).value_or(MountInfo{}).mountPoint, "/srv/photos");
    // A FUSE mount is found by its source only.
    EXPECT_EQ(FindMount(mounts, {8, 17}, "/dev/sdb1").value_or(MountInfo{}).fsType, "fuseblk");
    EXPECT_FALSE(FindMount(mounts, {8, 17}));
    // Not mounted, the malformed line, and device number 0 of a memory file system.
    EXPECT_FALSE(FindMount(mounts, {8, 2}));
    EXPECT_FALSE(FindMount(mounts, {0, 46}));

    ScratchDir dir;
    tl::test::WriteFileBytes(dir / "mountinfo", kMountInfo);
    EXPECT_EQ(MountOf(254, 0, {}, dir / "mountinfo").value_or(MountInfo{}).mountPoint, "/");
    // Without a table, a device is mounted nowhere, unless it holds the root.
    struct stat root{};
    ASSERT_EQ(::stat("/", &root), 0);
    const unsigned minor = ::major(root.st_dev) == 254 && ::minor(root.st_dev) == 0 ? 1 : 0;
    EXPECT_FALSE(MountOf(254, minor, {}, dir / "missing"));
}

TEST(BlockDevices, TheRootsDeviceIsMountedAtTheRootEvenWhereTheTableListsItNowhere) {
    struct stat st{};
    ASSERT_EQ(::stat("/", &st), 0);
    EXPECT_TRUE(FreeBytes("/").has_value());
    EXPECT_FALSE(FreeBytes("/no/such/folder"));
    const unsigned major = ::major(st.st_dev), minor = ::minor(st.st_dev);
    const std::string number = std::to_string(major) + ":" + std::to_string(minor);
    ScratchDir dir;
    // A chroot whose root folder is no mount point: only its /proc is listed.
    tl::test::WriteFileBytes(dir / "chroot", "40 30 0:5 / /proc rw - proc proc rw\n");
    // The device listed where it is mounted, and again inside a bind mount.
    tl::test::WriteFileBytes(dir / "listed", "41 30 " + number + " /srv/data /data rw - ext4 /dev/sdz1 rw\n" +
                                                 "42 30 " + number + " / /mnt/whole rw - ext4 /dev/sdz1 rw\n");
    const auto unlisted = MountOf(major, minor, {}, dir / "chroot");
    if (major != 0) {
        ASSERT_TRUE(unlisted);
        EXPECT_EQ(unlisted->mountPoint, "/");
    } else {
        EXPECT_FALSE(unlisted) << "a root on no block device (overlay, tmpfs) is the mount of no volume";
    }
    EXPECT_EQ(MountOf(major, minor, {}, dir / "listed")->mountPoint, "/mnt/whole");
    EXPECT_FALSE(MountOf(major, minor + 1000, {}, dir / "chroot")) << "a device mounted nowhere";
}

TEST(BlockDevices, TheDeviceHoldingAFolderComesFromTheMountTableWhenItHasNoNumber) {
    struct stat root{};
    ASSERT_EQ(::stat("/", &root), 0);
    if (::major(root.st_dev) != 0) {
        EXPECT_EQ(DeviceHoldingFolder("/"), (std::optional<DeviceNumber>{DeviceNumber{::major(root.st_dev), ::minor(root.st_dev)}}));
    }
    EXPECT_FALSE(DeviceHoldingFolder("/no/such/folder"));
    // A file system without a device number of its own (FUSE, btrfs) is on
    // the block device its mount names as source; a memory file system is on none.
    struct stat shm{}, loop{};
    if (::stat("/dev/shm", &shm) != 0 || ::major(shm.st_dev) != 0 || ::stat("/dev/loop0", &loop) != 0 || !S_ISBLK(loop.st_mode))
        GTEST_SKIP() << "needs /dev/shm on a memory file system and the node /dev/loop0";
    ScratchDir dir;
    const std::string number = std::to_string(::major(shm.st_dev)) + ":" + std::to_string(::minor(shm.st_dev));
    tl::test::WriteFileBytes(dir / "fuse", "30 26 " + number + " / /dev/shm rw - fuse /dev/loop0 rw\n");
    tl::test::WriteFileBytes(dir / "memory", "30 26 " + number + " / /dev/shm rw - tmpfs tmpfs rw\n");
    EXPECT_EQ(DeviceHoldingFolder("/dev/shm", dir / "fuse"),
              (std::optional<DeviceNumber>{DeviceNumber{::major(loop.st_rdev), ::minor(loop.st_rdev)}}));
    EXPECT_FALSE(DeviceHoldingFolder("/dev/shm", dir / "memory"));
}

TEST(BlockDevices, SerialNumbersFromBlkidUuids) {
    EXPECT_EQ(SerialFromUuid("vfat", "ABCD-1234"), (std::pair<std::uint32_t, std::uint32_t>{0xABCD1234u, 0u}));
    EXPECT_EQ(SerialFromUuid("exfat", "0001-00ff").first, 0x000100FFu);
    // An NTFS serial of high part 1234ABCD and low part 5.
    EXPECT_EQ(SerialFromUuid("ntfs", "1234ABCD00000005"), (std::pair<std::uint32_t, std::uint32_t>{5u, 0x1234ABCDu}));
    EXPECT_EQ(SerialFromUuid("ext4", "4f3a8c2e-1b7d-4e0f-9a61-3c2d5e7f8a90").first, 0u);
    for (const char* bad : {"ABCD1234", "ABCD-12345", "XYZW-1234", "+BCD-1234", ""})
        EXPECT_EQ(SerialFromUuid("vfat", bad).first, 0u) << bad;
    EXPECT_EQ(SerialFromUuid("ntfs", "1234ABCD0000000G").first, 0u);
}

TEST(BlockDevices, DerivedGeometryIsNotLimitedTo16BitCylinders) {
    const auto terabyte = DeriveGeometry(1'000'204'886'016ull, 512);
    EXPECT_TRUE(terabyte.derived);
    EXPECT_EQ(terabyte.tracksPerCylinder, 255u);
    EXPECT_EQ(terabyte.sectorsPerTrack, 63u);
    EXPECT_EQ(terabyte.cylinders, 121601u);
    EXPECT_EQ(DeriveGeometry(8225280 * 8, 4096).cylinders, 1u);
    EXPECT_EQ(DeriveGeometry(1 << 20, 0).bytesPerSector, 512u);
}

TEST(BlockDevices, ProbeFatAndNtfsImageFiles) {
    ScratchDir dir;
    const auto fat = dir / "fat.img";
    const auto r = tl::test::RunCommand("mkfs.fat -C -F 12 -i 1234ABCD -n SERIALTEST '" + fat.string() + "' 1024");
    if (!tl::test::HaveTool("mkfs.fat")) GTEST_SKIP() << "missing tool: mkfs.fat";
    ASSERT_EQ(r.status, 0) << r.output;
    const auto probe = ProbeVolume(fat.string());
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->type, "vfat");
    EXPECT_EQ(probe->label, "SERIALTEST");
    EXPECT_EQ(probe->uuid, "1234-ABCD");
    EXPECT_EQ(probe->serial, 0x1234ABCDu);
    EXPECT_EQ(probe->serialHigh, 0u);

    // Nothing recognisable, or nothing at all.
    tl::test::WriteFileBytes(dir / "zeros.img", std::string(1 << 20, '\0'));
    EXPECT_FALSE(ProbeVolume((dir / "zeros.img").string()));
    EXPECT_FALSE(ProbeVolume((dir / "missing.img").string()));

    // A regular file answers none of the block-device questions.
    EXPECT_FALSE(DeviceNumberOf(fat));
    EXPECT_FALSE(DeviceNumberOf(dir / "missing.img"));
    EXPECT_FALSE(BlockDeviceSize(fat));
    EXPECT_FALSE(BlockDeviceSectorSize(fat));
    EXPECT_FALSE(GetGeometry(fat));

    // NTFS: the serial must be the 64-bit number of the boot sector at 0x48.
    if (!tl::test::HaveTool("mkntfs")) return;
    const auto ntfs = dir / "ntfs.img";
    tl::test::RunCommand("truncate -s 8M '" + ntfs.string() + "'");
    const auto made = tl::test::RunCommand("mkntfs -F -Q -q -L NTFSLABEL '" + ntfs.string() + "'", 60);
    ASSERT_EQ(made.status, 0) << made.output;
    const std::string boot = tl::test::ReadFileBytes(ntfs).substr(0, 512);
    std::uint64_t serial = 0;
    for (int i = 7; i >= 0; --i) serial = (serial << 8) | static_cast<unsigned char>(boot[0x48 + i]);
    const auto nt = ProbeVolume(ntfs.string());
    ASSERT_TRUE(nt);
    EXPECT_EQ(nt->type, "ntfs");
    EXPECT_EQ(nt->label, "NTFSLABEL");
    EXPECT_EQ(nt->serial, static_cast<std::uint32_t>(serial));
    EXPECT_EQ(nt->serialHigh, static_cast<std::uint32_t>(serial >> 32));
}

// A real loop device over a partitioned image: the same answers from sysfs,
// the device node, the ioctls and libblkid.
TEST(BlockDevices, LoopDeviceWithTwoPartitions) {
    ScratchDir dir;
    const auto image = dir / "disk.img";
    TL_REQUIRE_MADE(tl::test::MakePartitionedDisk(image));
    tl::test::LoopDevice loop(image);
    if (!loop.attached()) GTEST_SKIP() << "no loop device: " << loop.error();
    ASSERT_TRUE(loop.AddPartitions()) << loop.error();

    const auto disks = ListDisks();
    const auto it = std::find_if(disks.begin(), disks.end(), [&](const auto& d) { return d.name == loop.name(); });
    ASSERT_NE(it, disks.end()) << loop.name() << " is not listed";
    EXPECT_EQ(it->devicePath, loop.path());
    EXPECT_EQ(std::filesystem::path(it->loopBackingFile), std::filesystem::canonical(image));
    EXPECT_EQ(it->sizeBytes, tl::test::kDiskBytes);
    ASSERT_EQ(it->partitions.size(), 2u);
    const auto& p1 = it->partitions[0];
    const auto& p2 = it->partitions[1];
    EXPECT_EQ(p1.name, loop.name() + "p1");
    EXPECT_EQ(p1.devicePath, loop.path() + "p1");
    EXPECT_EQ(p1.parentName, loop.name());
    EXPECT_EQ(p1.partitionNumber, 1u);
    EXPECT_EQ(p1.startSector, tl::test::kPart1Start);
    EXPECT_EQ(p1.sizeBytes, tl::test::kPart1Sectors * 512);
    EXPECT_EQ(p2.partitionNumber, 2u);
    EXPECT_EQ(p2.startSector, tl::test::kPart2Start);
    EXPECT_EQ(p2.sizeBytes, tl::test::kPart2Sectors * 512);

    // The device numbers of the nodes agree with sysfs.
    const auto diskNumber = DeviceNumberOf(loop.path());
    ASSERT_TRUE(diskNumber);
    EXPECT_EQ(*diskNumber, (DeviceNumber{it->major, it->minor}));
    EXPECT_EQ(DeviceNumberOf(p1.devicePath), (std::optional<DeviceNumber>{DeviceNumber{p1.major, p1.minor}}));

    // Where each lies on the disk, as the image checks see it.
    const auto p1Extent = ExtentOnDisk({p1.major, p1.minor});
    ASSERT_TRUE(p1Extent);
    EXPECT_EQ(p1Extent->disk, *diskNumber);
    EXPECT_EQ(p1Extent->start, tl::test::kPart1Start * 512);
    EXPECT_EQ(p1Extent->length, tl::test::kPart1Sectors * 512);
    const auto diskExtent = ExtentOnDisk(*diskNumber);
    ASSERT_TRUE(diskExtent);
    EXPECT_EQ(diskExtent->disk, *diskNumber);
    EXPECT_EQ(diskExtent->start, 0u);
    EXPECT_EQ(diskExtent->length, tl::test::kDiskBytes);
    EXPECT_FALSE(ExtentOnDisk({it->major, 1u << 19})) << "a number sysfs does not know";

    EXPECT_EQ(BlockDeviceSize(loop.path()), tl::test::kDiskBytes);
    EXPECT_EQ(BlockDeviceSize(p1.devicePath), tl::test::kPart1Sectors * 512);
    EXPECT_EQ(BlockDeviceSectorSize(loop.path()), 512u);
    const auto geometry = GetGeometry(loop.path());
    ASSERT_TRUE(geometry);
    EXPECT_TRUE(geometry->derived);
    EXPECT_EQ(geometry->tracksPerCylinder, 255u);
    EXPECT_EQ(geometry->sectorsPerTrack, 63u);
    EXPECT_EQ(geometry->bytesPerSector, 512u);
    EXPECT_EQ(geometry->cylinders, tl::test::kDiskBytes / (255 * 63 * 512));

    const auto volume = ProbeVolume(p1.devicePath);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->type, "vfat");
    EXPECT_EQ(volume->label, tl::test::kPart1Label);
    EXPECT_NE(volume->serial, 0u);
    // The second partition holds no file system; the disk itself only a table.
    EXPECT_FALSE(ProbeVolume(p2.devicePath));
    EXPECT_FALSE(ProbeVolume(loop.path()));

    loop.Detach();
    const auto after = ListDisks();
    EXPECT_TRUE(std::none_of(after.begin(), after.end(), [&](const auto& d) { return d.name == it->name; }));
}

}  // namespace
}  // namespace tl::platform
