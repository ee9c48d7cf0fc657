// Whether a found file can come back as it was, as the listings tell it.
#pragma once

#include <cstdint>

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

}  // namespace tl
