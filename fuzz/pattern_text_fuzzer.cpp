// Pattern texts as they come from a signature set or the settings store:
// the parser, and the parsed pattern's signature-file form read back and
// matched against a block of the input.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "signatures/signature_pattern.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto pattern = ParsePatternText(text);
    if (!pattern) return 0;
    std::uint8_t block[512] = {};
    std::memcpy(block, data, std::min<std::size_t>(size, sizeof block));
    const bool matches = pattern->Matches(block, sizeof block);
    std::vector<std::uint8_t> image(pattern->Serialize({}));
    if (pattern->Serialize(image) != image.size()) std::abort();
    std::size_t consumed = 0;
    std::string error;
    const auto reread = SignaturePattern::Deserialize(image, consumed, error);
    if (!reread || consumed != image.size() || reread->Matches(block, sizeof block) != matches) std::abort();
    return 0;
}
