#include "filesystems/found_object.h"

namespace tl {

void CFoundObject::Init() { *this = CFoundObject(); }

void CFoundObject::SetName(std::string_view text) {
    Name.assign(text);
    Flags |= FO_NAMED | FO_NAME_OWNED;
}

void CFoundObject::SetName(const char* text) {
    if (text) SetName(std::string_view(text));
}

std::string CFoundObject::GetName() const { return Name.empty() ? std::string("Unknown") : Name; }

std::int32_t CFoundObject::CheckBounds(std::uint64_t volumeSize) const {
    return Size <= volumeSize && DataOffset <= volumeSize ? 0 : kFoundObjectOutOfBounds;
}

}  // namespace tl
