#include "recovery/recoverability.h"

#include <vector>

#include "app/string_ids.h"
#include "app/languages.h"
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

std::string ExplainRecoverability(CVolume& volume, const CFoundObject& record) {
    if (!record.IsDeleted() || record.IsFolder() || (record.Flags & FO_BY_SIGNATURE)) return {};
    const CLanguages* texts = volume.Context().texts;
    if (JudgeRecoverability(volume, record) == Recoverability::PartlyOverwritten)
        return FormatMessageText(texts, ids::kVerdictOverwritten);
    switch (volume.FileSystem().PlacementOf(record)) {
    case ClusterPlacement::Consecutive: return FormatMessageText(texts, ids::kVerdictConsecutive);
    case ClusterPlacement::Chain: return FormatMessageText(texts, ids::kVerdictChain);
    case ClusterPlacement::FreeAfterFirst: return FormatMessageText(texts, ids::kVerdictFreeAfterFirst);
    case ClusterPlacement::Unknown: break;
    }
    return FormatMessageText(texts, ids::kVerdictFree);
}

}  // namespace tl
