// ".filesig" signature files: the reader, then what an import does with the
// type (its patterns compiled into the matcher and written to the settings
// store and read back). The compiled matcher must agree with the plain rules
// on a block taken from the input, and the type must read back the same.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/settings_store.h"
#include "signatures/file_signature.h"
#include "signatures/signature_matcher.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    auto type = FileSignature::Deserialize(std::span<const std::uint8_t>(data, size), error);
    if (!type) return 0;
    // The block: the input's last 512 bytes (or fewer).
    const std::size_t length = std::min<std::size_t>(size, 512);
    std::uint8_t block[512] = {};
    std::memcpy(block, data + size - length, length);

    const bool plain = type->Matches(block, length);
    SignatureMatcher matcher({&*type});
    std::vector<std::uint32_t> hits;
    matcher.Match(block, length, hits);
    if (plain != !hits.empty()) std::abort();  // the compiled matcher disagrees with the rules

    const std::vector<std::uint8_t> image = type->Serialize();
    std::string again;
    auto reread = FileSignature::Deserialize(image, again);
    if (image.size() <= FileSignature::kMaxFileBytes && (!reread || reread->Matches(block, length) != plain)) std::abort();

    platform::SettingsStore store;
    type->Id = 9999;
    type->IsGroup = 0;  // an import always makes a type
    type->SaveToStore(store, "Root");
    FileSignature loaded;
    if (loaded.LoadFromKey(store, "Root\\Signatures", SignatureKeyName(9999)) && loaded.Matches(block, length) != plain)
        std::abort();
    return 0;
}
