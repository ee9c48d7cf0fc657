#include "signatures/content_rules.h"

#include "signatures/content/rules.h"

namespace tl {
namespace {

using namespace content;

struct Row {
    std::int16_t type;
    Rule rule;
    bool readsAhead;  // looks at more than the matched block
};

// One line a type. Compound documents carry their refined type by the time
// the rule runs (the recogniser reads their directory first).
constexpr Row kRules[] = {
    // compound documents
    {100, CompoundDocumentRule, false}, {101, CompoundDocumentRule, false}, {104, CompoundDocumentRule, false},
    {105, CompoundDocumentRule, false}, {106, CompoundDocumentRule, false}, {107, CompoundDocumentRule, false},
    {109, CompoundDocumentRule, false}, {500, CompoundDocumentRule, false}, {501, CompoundDocumentRule, false},
    {520, CompoundDocumentRule, false}, {521, CompoundDocumentRule, false},
    {504, IsoRule, false},
    // documents
    {1001, PdfRule, false}, {1002, RtfRule, false}, {1003, PostScriptRule, false}, {1004, EpsPreviewRule, false},
    {1005, PostScriptRule, false}, {1007, HtmlRule, false}, {1008, XmlRule, false}, {1009, DjvuRule, false},
    {1011, HelpFileRule, false},
    {1101, ZipRule, false}, {1102, ZipRule, false}, {1103, ZipRule, false}, {1104, ZipRule, false},
    {1105, ZipRule, false}, {1106, ZipRule, false}, {1107, ZipRule, false}, {1108, ZipRule, false},
    {1109, ZipRule, false}, {1110, ZipDocumentRule, true}, {1111, ZipRule, false}, {1112, ZipDocumentRule, true},
    // archives and compressed streams
    {1201, SevenZipRule, false}, {1204, GzipRule, false}, {1205, Bzip2Rule, false}, {1206, XzRule, false},
    {1207, ZstdRule, false}, {1208, CabinetRule, false},
    // pictures
    {1301, JpegRule, false}, {1302, PngRule, false}, {1303, GifRule, false}, {1304, TiffRule, false},
    {1305, TiffRule, false}, {1306, RiffRule, false}, {1307, IsoMediaRule, false}, {1308, IsoMediaRule, false},
    {1309, IsoMediaRule, false}, {1310, PsdRule, false}, {1311, IsoMediaRule, false}, {1313, EmfRule, false},
    {1314, WmfRule, false},
    // sound
    {1401, Mp3Rule, false}, {1402, RiffRule, false}, {1403, FlacRule, false}, {1404, OggRule, false},
    {1405, MidiRule, false}, {1406, IffRule, false}, {1407, IsoMediaRule, false},
    // video
    {1501, AviRule, false}, {1502, IsoMediaRule, false}, {1503, IsoMediaRule, false}, {1504, IsoMediaRule, false},
    {1505, MatroskaRule, false}, {1506, FlvRule, false}, {1507, AsfRule, false},
    // databases, mail and contacts, drawings
    {1601, SqliteRule, false}, {1701, PstRule, false}, {1702, VCardRule, false}, {1703, CalendarRule, false},
    {1802, RiffRule, false},
};

const Row* RowOf(std::int16_t type) {
    for (const Row& row : kRules)
        if (row.type == type) return &row;
    return nullptr;
}

}  // namespace

std::unique_ptr<EndScanner> ApplyContentRules(CFoundObject& record, std::span<const std::uint8_t> head) {
    const Row* row = RowOf(record.TypeId);
    return row ? row->rule(record, head) : nullptr;
}

bool ContentRuleReadsAhead(std::int16_t typeId) {
    const Row* row = RowOf(typeId);
    return row && row->readsAhead;
}

bool HasContentRule(std::int16_t typeId) { return RowOf(typeId) != nullptr; }

std::vector<std::int16_t> ContentRuleTypes() {
    std::vector<std::int16_t> types;
    for (const Row& row : kRules) types.push_back(row.type);
    return types;
}

}  // namespace tl
