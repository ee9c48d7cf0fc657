// Whether a found file can come back as it was, as the listings tell it.
#pragma once

#include <cstdint>
#include <string>

namespace tl {

class CVolume;
struct CFoundObject;

enum class Recoverability : std::uint8_t {
    Recoverable,        // its content is where the file system or the scan says
    PartlyOverwritten,  // deleted, and live files hold some of its sectors again
    UnknownSize,        // found by its signature; it comes back at an estimated size
};

// Judged after the volume's analysis, from the space its live files hold.
Recoverability JudgeRecoverability(CVolume& volume, const CFoundObject& record);
// The verdict on a deleted file in the interface's language, naming how its
// clusters were found where the file system tells it ("its clusters follow
// each other; it can be recovered from its first cluster and length");
// empty for a live file, a folder or a file found by its signature.
std::string ExplainRecoverability(CVolume& volume, const CFoundObject& record);

}  // namespace tl
