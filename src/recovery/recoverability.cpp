#include "recovery/recoverability.h"

#include <vector>

#include "filesystems/file_system.h"
#include "storage/volume.h"

namespace tl {

Recoverability JudgeRecoverability(CVolume& volume, const CFoundObject& record) {
    if (record.Flags & FO_BY_SIGNATURE)
        return record.Size == CFoundObject::kUnknownSize || record.HasEstimatedSize() ? Recoverability::UnknownSize
                                                                                         : Recoverability::Recoverable;
    if (!record.IsDeleted() || record.IsFolder()) return Recoverability::Recoverable;
    std::vector<SECTOR_RUN> runs;
    if (!volume.FileSystem().BuildRuns(record, runs)) return Recoverability::Recoverable;  // held in its record
    for (const SECTOR_RUN& run : runs)
        if (volume.OverlapsUsedSpace(run)) return Recoverability::PartlyOverwritten;
    return Recoverability::Recoverable;
}

}  // namespace tl
