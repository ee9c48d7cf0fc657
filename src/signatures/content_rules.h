// Content rules of the sector scan beside the fixed ones of
// document_recognisers.h: what the bytes of a signature-found file tell
// about its exact type and its length.
//
// One table row per file type. A rule sees the file's first bytes that are
// already in memory (the rest of the scanned chunk) and may
// - refine the record's type (a ZIP archive that holds the parts of a
//   word-processor document is that document),
// - set the record's size when the header states it (RIFF, AIFF, ISO 9660),
// - or return an end scanner when the length is only known where the file
//   ends (an end-of-central-directory record, an end marker, a last chunk).
//
// An end scanner is fed the file's bytes in order, from its first byte, as
// the scan itself passes over the following blocks: no block is read twice.
// It answers as soon as it has seen the end, gives up when the bytes stop
// looking like its format, and is closed (with whatever end it holds by
// then) when the bytes stop being contiguous or the type's default size has
// been passed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "filesystems/found_object.h"

namespace tl {

class EndScanner {
public:
    enum class State { Searching, Found, GaveUp };

    virtual ~EndScanner() = default;
    // The next bytes of the file. After Found, Size() is the file's length;
    // after Found or GaveUp nothing more is fed.
    virtual State Feed(std::span<const std::uint8_t> bytes) = 0;
    // The length once found; at a close, the best end seen so far (a PDF's
    // last "%%EOF"), or nothing.
    virtual std::optional<std::uint64_t> Size() const = 0;
    // The length the file's own header says it cannot pass (a compound
    // document's allocation table describes so many sectors), 0 when it says
    // nothing: the file is followed that far even past its type's default size.
    virtual std::uint64_t Reach() const { return 0; }
    // Whether the length found holds what the scan finds inside it: a
    // length a walk through the file's structure gave (a compound
    // document's allocation table, an archive's directory, a picture's
    // chunks) does, and a file found inside it (a picture in an ISO image or
    // in a presentation) does not cut it. An end that was searched for (an
    // end marker, the end of a text, the last member of a stream that may go
    // on with another) does not: the next file found cuts it, as it cuts a
    // size estimated.
    virtual bool Encloses() const { return true; }
};

// Applies the rule of `record.TypeId` (after the fixed rules): `head` holds
// the file's first bytes as far as they are in memory (at least the matched
// block). Returns the end scanner to feed, or null when the rule settled
// everything it can (or the type has no rule).
std::unique_ptr<EndScanner> ApplyContentRules(CFoundObject& record, std::span<const std::uint8_t> head);

// Whether the type has a rule that looks at more than the matched block,
// so that the caller can supply more head bytes when a hit lies near the end
// of what is in memory.
bool ContentRuleReadsAhead(std::int16_t typeId);
// Whether the type has a content rule at all, and the types that have one.
bool HasContentRule(std::int16_t typeId);
std::vector<std::int16_t> ContentRuleTypes();
inline constexpr std::size_t kContentHeadBytes = 64 * 1024;

}  // namespace tl
