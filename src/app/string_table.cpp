#include "app/string_table.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "app/string_ids.h"

namespace tl {
namespace {

// Sorted by identifier; BuiltinString relies on it (checked below at compile time).
constexpr StringTableEntry kEntries[] = {
    {ids::kFoundFile, "Found file: %s"},
    {ids::kAnalysisDuration, "Analysis duration: %d minute(s), %d second(s)."},
    {ids::kAnalysisCompletedCounts, "Analysis completed. Found %d folder(s) and %d file(s)."},
    {ids::kBytes, "bytes"},
    {ids::kErrorAdminAccessNecessary, "Error: Administrator access necessary"},
    {ids::kAdminAccessPleaseRunAsAdmin,
     "Administrator access necessary. Please run the program using an administrator's account on your computer."},
    {ids::kConfirmation, "Confirmation"},
    {ids::kConfirmExitApplication, "Are you sure you want to exit the application?"},
    {ids::kBusy, "Busy"},
    {ids::kIdle, "Idle"},
    {ids::kSearch, "Search"},
    {ids::kColumnName, "Name"},
    {ids::kColumnSize, "Size"},
    {ids::kColumnType, "Type"},
    {ids::kColumnDateModified, "Date Modified"},
    {ids::kColumnInFolder, "In Folder"},
    {ids::kConfirmStopScanning, "Are you sure you want to stop scanning?"},
    {ids::kVolumeReadFailed, "Volume %s at position %I64d not read, retry %d"},
    {ids::kCantReadBootSector, "Can't read boot sector on [%s]"},
    {ids::kGetPartitionInfoError, "GetPartitionInfo error on volume [%s]"},
    {ids::kKBytes, "KBytes"},
    {ids::kConditionDeleted, "Deleted"},
    {ids::kConditionLive, "Live"},
    {ids::kAnalyzingMftTable, "Analyzing MFT table"},
    {ids::kFoundVolumeAt, "Found %s volume at: %I64d"},
    {ids::kMediumConnected, "Volume %s: Medium connected!"},
    {ids::kMediumRemoved, "Drive %s: Medium removed!"},
    {ids::kNoFilesFound, "No files found"},
    {ids::kRecoveryListEmpty, "Recovery list is empty!"},
    {ids::kRecoveryStarted, "Recovery started."},
    {ids::kCreatingRecoveryList, "Creating recovery list."},
    {ids::kCantCreateTemporaryFile, "Can't create temporary file"},
    {ids::kLegend, "Legend"},
    {ids::kImageCantReadSector, "Image_Create: Can't read sector: 0x%I64x"},
    {ids::kImageCantWriteSector, "Image_Create: Can't write sector: 0x%I64x"},
    {ids::kCantAllocateMemory, "Can't allocate memory!"},
    {ids::kFatRootDirectoryNotRead, "FAT Root directory not read!"},
    {ids::kRecoveryCreateFileFailed, "CRecovery::FileRecovery.CreateFile '%s' failed"},
    {ids::kRecoveryShortWrite, "CRecovery::FileRecovery.WriteError: WritedSize = %d, ReqSize = %d"},
    {ids::kDeleteTemporaryFiles, "Delete temporary files?"},
    {ids::kRecoveringFile, "FileRecovery: Recovering file: %s [from '%s' to '%s']"},
    {ids::kRecoverySkipped, "FileRecovery: File '%s' recovery skipped"},
    {ids::kRecoveryCancelled, "FileRecovery: File '%s' recovery cancelled"},
    {ids::kFileOpenedSuccessfully, "File '%s'  opened successfully"},
    {ids::kOpenFailedNoApplication,
     "Opening file: \"%s\" failed! No application associated with this file"},
    {ids::kOpenFailedSystemError, "Opening file: \"%s\" failed! System error code: %d"},
    {ids::kCantCreateFolder, "Can't create folder: %s"},
    {ids::kRecoveryWriteSystemError, "FileRecovery: Write system error %d"},
    {ids::kFileExists, "File: %s exists"},
    {ids::kRecoveryAborted, "Recovery aborted."},
    {ids::kRecoveryCompleted, "Recovery completed."},
    {ids::kRecoveryNothingWritten, "CRecovery::FileRecovery of '%s' failed because file size == 0"},
    {ids::kConfirmStopRecovery, "Are you sure you want to stop recovery?"},
    {ids::kYes, "Yes"},
    {ids::kConfirmNextWithoutRecovery,
     "No files have been recovered yet.\n"
     "To recover files, mark them in the list and press \"Recover\".\n"
     "\n"
     "Do you want to go on to the next step anyway?"},
    {ids::kProgramSettings, "Program Settings"},
    {ids::kPageCommonSettings, "Common Settings"},
    {ids::kPageConfirmations, "Confirmations"},
    {ids::kPageDriveAccess, "Drive Access"},
    {ids::kPageInterfaceLanguages, "Intrface Languages"},
    {ids::kPageLogging, "Logging"},
    {ids::kPageFileTypes, "File Types"},
    {ids::kPageTemporaryFolder, "Tempoarary Folder"},
    {ids::kVolumeInformation, "Volume Information"},
    {ids::kPageCapabilities, "Capabilities"},
    {ids::kPageGeneral, "General"},
    {ids::kPageInformation, "Information"},
    {ids::kInfoDeviceNumber, "Device Number"},
    {ids::kInfoMediaType, "Media Type"},
    {ids::kInfoDriveGeometry, "Drive Geometry:"},
    {ids::kInfoCylinders, "Cylinders"},
    {ids::kInfoTracksPerCylinder, "Tracks Per Cylinder"},
    {ids::kInfoSectorsPerTrack, "Sectors Per Track"},
    {ids::kInfoBytesPerSector, "Bytes Per Sector"},
    {ids::kInfoDriveLetter, "Drive letter"},
    {ids::kInfoLabel, "Label"},
    {ids::kInfoFileSystem, "File System"},
    {ids::kInfoClusterSize, "Cluster size"},
    {ids::kInfoTotalClusters, "Total Clusters"},
    {ids::kInfoTotalSectors, "Total Sectors"},
    {ids::kInfoSystemPath, "System Path"},
    {ids::kInfoCategory, "Category"},
    {ids::kCategoryVirtual, "Virtual"},
    {ids::kTypeOsFile, "OS File"},
    {ids::kTypeFound, "Found"},
    {ids::kTypeVolumeImage, "Volume Image"},
    {ids::kCategoryLogical, "Logical"},
    {ids::kCategoryPhysical, "Physical"},
    {ids::kTypeCdDvd, "CD/DVD"},
    {ids::kTypeRemovable, "Removable"},
    {ids::kTypeFixed, "Fixed"},
    {ids::kInfoType, "Type"},
    {ids::kMediaFixedHardDisk, "Fixed hard disk"},
    {ids::kMediaRemovableNotFloppy, "Removable media other than floppy"},
    {ids::kRecoveringItemWithSize, "%s [size: %I64d]"},
    {ids::kDriveNumber, "Drive %d"},
    {ids::kLoadingClusterBitmapStart, "Loading clusters bitmap start"},
    {ids::kLoadingClusterBitmapComplete, "Loading clusters bitmap complete"},
    {ids::kDestinationOnSourceDrive,
     "The destination folder is on the same drive with the source.\n"
     "You should change the destination location for recovered files.\n"
     "\n"
     "Select another destination folder for recovered files?"},
    {ids::kWarning, "Warning!"},
    {ids::kSelectDestinationFolder, "Select destination folder for recovered files"},
    {ids::kProgramRunning, "Program running."},
    {ids::kVolumeReadTimeout, "Volume %s at position %I64d read timeout, retry %d"},
    {ids::kDataViewer, "Data viewer"},
    {ids::kInfoTotalSpace, "Total Space"},
    {ids::kStateNotReady, "Not Ready"},
    {ids::kStateAnalyzing, "Analyzing"},
    {ids::kStateInformationRequest, "Information request"},
    {ids::kInfoState, "State"},
    {ids::kInfoSerialNumber, "Serial Number"},
    {ids::kAnalysisStopped, "Analysis of %s stoped"},
    {ids::kLostFragmentsNode, "Filesystem (lost fragments)"},
    {ids::kLostFileName, "lost_file_%I64d"},
    {ids::kLostFilesNode, "Lost files"},
    {ids::kLostFolderName, "lost_folder_%d"},
    {ids::kStatusStartAnalyzing,
     "Start drive analysis\n"
     "Start analyzing"},
    {ids::kStatusStopAnalyzing,
     "Stop drive analysis\n"
     "Stop analyzing"},
    {ids::kStatusToggleLog,
     "Show or hide log\n"
     "Toggle log"},
    {ids::kStatusRescanDrives,
     "Rescan drives\n"
     "Rescan drives"},
    {ids::kStatusCreateDriveImage,
     "Save drive image to file\n"
     "Create drive image"},
    {ids::kStatusLoadDriveImage,
     "Load drive image from file\n"
     "Load drive image"},
    {ids::kStatusRecover,
     "Recover selected files\n"
     "Recover selected files"},
    {ids::kStatusFind,
     "Find files\n"
     "Find files"},
    {ids::kStatusToggleLegend,
     "Show or hide button.\n"
     "Toggle button appearance"},
    {ids::kStatusFileInformation,
     "Information...\n"
     "Information..."},
    {ids::kStatusSettings,
     "Program settings\n"
     "Program settings"},
    {ids::kStatusFilters,
     "Filters\n"
     "Filters"},
    {ids::kStatusCheckAll,
     "Check all\n"
     "Check all"},
    {ids::kStatusUncheckAll,
     "Uncheck all\n"
     "Uncheck all"},
    {ids::kStatusTryToOpen,
     "Try to open...\n"
     "Try to open..."},
    {ids::kStatusSetNewSize, "Change file size"},
    {ids::kStatusWizardMode,
     "Wizard Mode\n"
     "Wizard Mode"},
    {ids::kStatusResetSize, "Set file size as 'unknown'"},
    {ids::kStatusSearchLostDrives, "Find Lost Disks"},
    {ids::kInitializingDrive, "Initializing drive %s"},
    {ids::kAborting, "Aborting..."},
    {ids::kOperationAborted, "Operation aborted. Incomplete drive analysis!"},
    {ids::kUnknown, "unknown"},
    {ids::kReindexingFiles, "Re-indexing files..."},
    {ids::kFolder, "Folder"},
    {ids::kAnalyzingFileSystem, "Analyzing file system."},
    {ids::kBeginningFileSystemAnalysis, "Beginning file system analysis."},
    {ids::kNoFileSystemDetected, "No file system detected! File system analysis skipped."},
    {ids::kAnalyzingDriveSectors, "Analyzing drive sectors."},
    {ids::kStartingSectorAnalysis, "Starting drive sector analysis, searching for lost files."},
    {ids::kReady, "Ready"},
    {ids::kMyComputer, "My Computer"},
    {ids::kRecycleBin, "Recycle Bin"},
    {ids::kStatusAbout,
     "About\n"
     "About"},
    {ids::kProgramStarted, "Documents Tessa-Loft %s started."},
    {ids::kSettingsStoreProblem, "Settings: %s. The program runs on its default settings."},
    {ids::kLanguageFileUnreadable, "Language file '%s' could not be read; the built-in English texts are used."},
    {ids::kLanguageFileUnknownEncoding, "Language file '%s' is in an encoding that cannot be recognised; the built-in English texts are used."},
    {ids::kLogFileNotOpened, "Log file '%s' could not be opened; \"Save log in file\" is switched off."},
    {ids::kSettingsReset, "Settings were reset to their defaults."},
    {ids::kLanguageApplied, "Interface language: %s"},
    {ids::kSignatureFileCantOpen, "Signature file '%s' can't open!"},
    {ids::kErrorCaption, "Error!"},
    {ids::kSignatureFileUpdated, "Signature file '%s' updated!"},
    {ids::kSignatureFileAdded, "Signature file '%s' added!"},
    {ids::kOkCaption, "ok"},
    {ids::kSignatureFileRefused, "Signature file '%s' is not a valid signature file: %s."},
    {ids::kFirstSetInstalled, "The first signature set was installed from '%s' (%d file types)."},
    {ids::kFirstSetMissing, "No signature set was found (%s); the sector scan knows no file types."},
    {ids::kSignaturesLoaded, "Signature database: %d file types in %d groups."},
    {ids::kWindowsErrorSuffix, " WindwsError: %d"},
    {ids::kCantOpenVolume, "Can't open volume '%s', System Error: %s"},
    {ids::kVolumeAt, "Volume at: %I64d"},
    {ids::kReadTooLarge, "Volume %s: a read of %I64d sectors at %I64d is refused (too large or beyond 64-bit positions)."},
    {ids::kFatTypeByParametersOnly, "Volume %s: the boot sector names no FAT type; its parameters describe %s with %I64d clusters."},
    {ids::kFatTypeTextDisagrees, "Volume %s: the boot sector names %s, but its %I64d clusters make it %s; the clusters decide."},
    {ids::kImageRunZeroed, " (%I64d sector(s) written as zeros)"},
    {ids::kImageComplete, "Image '%s' complete: %I64d sectors copied."},
    {ids::kImageSectorsMissing, "Image '%s' has all %I64d sectors, but %I64d of them could not be read and are zeros."},
    {ids::kImageStopped, "Image '%s' stopped after %I64d of %I64d sectors; the partial image is not loaded."},
    {ids::kImageWriteFailed, "Image '%s' could not be written after %I64d of %I64d sectors (%s); it is not loaded."},
    {ids::kImageCantCreate, "Image_Create: can't create '%s': %s"},
    {ids::kImageNoSpace, "The image of %s needs %s, but only %s are free where '%s' would be written."},
    {ids::kImageTooLarge, "The image of %s needs %s, but a file there can hold at most %s: '%s' cannot be written."},
    {ids::kImageIsSource, "'%s' is the source %s itself; choose another image file."},
    {ids::kImageOnSource, "'%s' would be written onto the source %s; choose a folder on another drive."},
    {ids::kImageNotAFile, "'%s' is not a regular file; an image is written only to a file."},
    {ids::kImageNoSectors, "%s has no sectors to copy."},
    {ids::kImageDefaultName, "Image from drive %s"},
    {ids::kImageDefaultNameWithLabel, "Image from drive %s (%s)"},
    {ids::kGptHeaderMissing, "%s: there is no GUID partition table header at sector %I64d."},
    {ids::kGptHeaderChecksum, "%s: the GUID partition table header at sector %I64d fails its checksum."},
    {ids::kGptHeaderInvalid, "%s: the GUID partition table header at sector %I64d does not fit this disk of %I64d sectors."},
    {ids::kGptEntryLayout, "%s: the GUID partition table header at sector %I64d lists %I64d entries of %I64d bytes; only entries of 128 x 2^n bytes and at most %I64d bytes in all are read."},
    {ids::kGptEntriesChecksum, "%s: the GUID partition entries at sector %I64d fail their checksum."},
    {ids::kGptUnreadable, "%s: sector %I64d of the GUID partition table cannot be read."},
    {ids::kGptBackupUsed, "%s: the primary GUID partition table is damaged; its backup at sector %I64d is used."},
    {ids::kGptBothDamaged, "%s: the primary and the backup GUID partition table are both damaged; no partition is read from them. A search for lost volumes (analyze --lost-volumes) can still find the volumes."},
    {ids::kGptHybridMbr, "%s: the MBR lists %d partition(s) besides its GUID partition table (a hybrid MBR); the GUID partition table is used."},
    {ids::kTableSectorSize, "%s: the partition table counts sectors of %d bytes, not %d."},
    {ids::kGptEntryReversed, "%s: GUID partition %d ends before it begins (sectors %I64d to %I64d); it is skipped."},
    {ids::kGptEntryBeyondDisk, "%s: GUID partition %d starts at sector %I64d, beyond the end of the disk (%I64d sectors); it is skipped."},
    {ids::kGptEntryPastEnd, "%s: GUID partition %d runs past the end of the disk (%I64d sectors); it is cut there."},
    {ids::kGptEntryOutsideUsable, "%s: GUID partition %d lies outside the usable sectors %I64d to %I64d of its table."},
    {ids::kGptEntriesOverlap, "%s: GUID partitions %d and %d overlap."},
    {ids::kGptPartitionFound, "%s: GUID partition %d \"%s\" (%s) at sector %I64d, %I64d sectors."},
    {ids::kGptNoProtectiveMbr, "%s: the disk has no MBR, but a GUID partition table; it is read."},
    {ids::kInfoPartitionName, "Partition name"},
    {ids::kInfoPartitionType, "Partition type"},
    {ids::kGptTypeBasicData, "Microsoft basic data"},
    {ids::kGptTypeEfiSystem, "EFI system"},
    {ids::kGptTypeMicrosoftReserved, "Microsoft reserved"},
    {ids::kGptTypeLinuxFileSystem, "Linux file system"},
    {ids::kGptTypeLinuxSwap, "Linux swap"},
    {ids::kGptTypeWindowsRecovery, "Windows recovery environment"},
    {ids::kPartitionTableVolumes, "Partition table: %d volumes"},
    {ids::kFileSystemNotRead, "%s volume: its file system is not read; the sector scan can still find lost files"},
    {ids::kFoundVolumeInside, "The %s volume found at: %I64d lies inside %s, which is analysed already; it is not analysed again"},
    {ids::kVolumesNotRead, "Not read: %s: %s"},
    {ids::kNtfsMftRunsDamaged, "CFileSystem_NTFS: the run list of the MFT leaves the volume (%I64d clusters) or is cut short; only the runs before the damage are read"},
    {ids::kNtfsTooManyStreams, "CFileSystem_NTFS: MFT record %I64d holds more than %d named data streams; only the first ones are listed"},
    {ids::kNtfsStoredUnreadable, "CFileSystem_NTFS: '%s' (MFT record %I64d) cannot be recovered as it is stored: %s"},
    {ids::kNtfsLoadMftFailed, "CFileSystem_NTFS: Load MFT failed."},
    {ids::kNtfsTornRecords, "CFileSystem_NTFS: %I64d MFT records carry torn update sequences; they were read as they stand"},
    {ids::kNtfsDamagedAttributes, "CFileSystem_NTFS: %I64d MFT records hold an attribute whose length leaves the record or runs into another attribute (records %s); they were read up to the damage"},
    {ids::kNtfsDamagedRuns, "CFileSystem_NTFS: %I64d MFT records hold a run list that leaves the volume or is cut short (records %s); only the runs before the damage are read"},
    {ids::kNtfsUnnamedRecords, "CFileSystem_NTFS: %I64d MFT records in use carry no readable file name (records %s); they are not listed"},
    {ids::kNtfsMoreStoredUnreadable, "CFileSystem_NTFS: %I64d more files cannot be recovered as they are stored (encrypted, or compressed in a way that cannot be decoded)"},
    {ids::kNtfsRecordRunsDamaged, "CFileSystem_NTFS: the run list of MFT record %I64d leaves the volume or is cut short; only the runs before the damage are read"},
    {ids::kFatCopiesDiffer, "CFileSystem_FAT.Initialize: FAT1 and FAT2 not equal! (FAT1 or FAT2 corruppted"},
    {ids::kFatChainBadCluster, "FAT_GetClustersList: the chain from cluster 0x%X reaches a bad cluster mark after cluster 0x%X; it ends there"},
    {ids::kFatChainBeyondVolume, "FAT_GetClustersList: the chain from cluster 0x%X reaches cluster 0x%X, beyond the volume (its clusters are 2 to 0x%X); it ends there"},
    {ids::kFatChainLoops, "FAT_GetClustersList: the chain from cluster 0x%X loops back to cluster 0x%X; it ends there"},
    {ids::kFatEntryBeyondVolume, "CFileSystem_FAT: the entry '%s' starts at cluster 0x%X, beyond the volume (its clusters are 2 to 0x%X)"},
    {ids::kFatFolderNamesRoot, "CFileSystem_FAT: the folder '%s' names the root directory as its content; it is not read again"},
    {ids::kFatFolderHeldByAnother, "CFileSystem_FAT: the folder '%s' starts at cluster 0x%X, which another folder already holds (a loop); it is read once"},
    {ids::kFatEntriesMetBefore, "CFileSystem_FAT: %I64d entries of a folder lie in clusters of another folder read before (their chains join); they are listed once"},
    {ids::kExtendedChainCut, "CVolume::ProcessPartitionTable: the chain of extended partitions loops or is deeper than %d tables; it is cut at sector %I64d"},
    {ids::kPartitionBeyondDisk, "CVolume::ProcessPartitionTable: the partition of type %d at sector %I64d lies beyond the end of the disk (%I64d sectors); it is not read"},
    {ids::kSourceEndsShort, "%s: a read of %I64d bytes at byte %I64d came back with %I64d: the source ends there, short of what its structures say"},
    {ids::kRecoveryTargetOutside, "CRecovery::FileRecovery: the target of '%s' would lie outside %s"},
    {ids::kRecoveryIncomplete, "CRecovery::FileRecovery: only %I64d of the %I64d bytes of '%s' could be read; the copy is incomplete"},
    {ids::kRecoveryUnreadable, "CRecovery::FileRecovery: '%s' cannot be read: %s"},
    {ids::kRecoveryNotReadWhole, "CRecovery::FileRecovery: '%s' cannot be read whole: %s"},
    {ids::kCommandLineIgnored, "Command line: '%s' is ignored"},
};

constexpr bool IdsStrictlyAscending() {
    for (std::size_t i = 1; i < std::size(kEntries); ++i) {
        if (kEntries[i - 1].id >= kEntries[i].id) return false;
    }
    return true;
}
static_assert(IdsStrictlyAscending(), "string table must be sorted by id without duplicates");

constexpr bool NoEmptyTexts() {
    for (const auto& e : kEntries) {
        if (e.text.empty()) return false;
    }
    return true;
}
static_assert(NoEmptyTexts(), "an empty built-in text could not be told from a missing one");

}  // namespace

std::span<const StringTableEntry> StringTableEntries() { return kEntries; }

std::string_view BuiltinString(unsigned id) {
    const auto it = std::lower_bound(std::begin(kEntries), std::end(kEntries), id,
                                     [](const StringTableEntry& e, unsigned key) { return e.id < key; });
    if (it == std::end(kEntries) || it->id != id) return {};
    return it->text;
}

}  // namespace tl
