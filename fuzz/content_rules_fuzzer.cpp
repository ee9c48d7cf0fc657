// Every content rule on hostile bytes: the first two bytes name the type
// (little-endian; a type without a rule takes one of the rules' types), the
// third the size of the pieces the file is fed in, the rest is the file. A
// scanner that answers Found must not claim bytes it was never shown.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "signatures/content_rules.h"
#include "signatures/document_recognisers.h"

using namespace tl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    static const std::vector<std::int16_t> types = ContentRuleTypes();
    std::int16_t type = static_cast<std::int16_t>(data[0] | (data[1] << 8));
    if (!HasContentRule(type)) type = types[static_cast<std::uint16_t>(type) % types.size()];
    const std::size_t piece = std::size_t{data[2]} * 37 + 1;
    const std::span<const std::uint8_t> file(data + 3, size - 3);

    CFoundObject record;
    record.Init();
    record.TypeId = type;
    ApplySizeRules(record, file);
    std::unique_ptr<EndScanner> scanner = ApplyContentRules(record, file);
    if (!scanner) return 0;
    std::size_t fed = 0;
    EndScanner::State state = EndScanner::State::Searching;
    while (state == EndScanner::State::Searching && fed < file.size()) {
        const std::size_t n = std::min(piece, file.size() - fed);
        state = scanner->Feed(file.subspan(fed, n));
        fed += n;
    }
    const auto found = scanner->Size();
    if (state == EndScanner::State::Found && (!found || *found > fed)) __builtin_trap();
    return 0;
}
