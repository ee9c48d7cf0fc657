// The content rules of the sector scan, one small file per format, listed
// in one table (content_rules.cpp) by the type identifiers they serve.
//
// A rule is shown a signature-found record and the file's first bytes that
// are in memory (at least the matched 512-byte block). It may
// - refine the record's type (a ZIP archive that holds a word-processor
//   document's parts is that document),
// - state the record's size when the header gives it, marking the record
//   with FO_CONTENT_SIZE (RIFF, ISO 9660, SQLite, ...),
// - or return an end scanner that is fed the file's bytes as the scan
//   passes them, for a length only known further on.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "filesystems/found_object.h"
#include "signatures/content_rules.h"

namespace tl::content {

using Head = std::span<const std::uint8_t>;
using Rule = std::unique_ptr<EndScanner> (*)(CFoundObject& record, Head head);

// Sets a size the header states; nothing for a size of 0. A stated length
// holds whatever lies inside it (FO_ENCLOSING).
inline std::unique_ptr<EndScanner> StatedSize(CFoundObject& record, std::uint64_t size) {
    if (size != 0) {
        record.Size = size;
        record.Flags |= FO_CONTENT_SIZE | FO_ENCLOSING;
    }
    return nullptr;
}

// Sizes the header states (stated_size.cpp).
std::unique_ptr<EndScanner> RiffRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> IffRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> IsoRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> DjvuRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> HelpFileRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> SevenZipRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> CabinetRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> EmfRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> WmfRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> SqliteRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> PstRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> EpsPreviewRule(CFoundObject&, Head);

// Documents.
std::unique_ptr<EndScanner> CompoundDocumentRule(CFoundObject&, Head);  // compound_document.cpp
std::unique_ptr<EndScanner> PdfRule(CFoundObject&, Head);               // pdf.cpp
std::unique_ptr<EndScanner> PostScriptRule(CFoundObject&, Head);        // pdf.cpp
std::unique_ptr<EndScanner> RtfRule(CFoundObject&, Head);               // rtf.cpp
std::unique_ptr<EndScanner> HtmlRule(CFoundObject&, Head);              // text_documents.cpp
std::unique_ptr<EndScanner> XmlRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> VCardRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> CalendarRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> ZipRule(CFoundObject&, Head);          // zip.cpp
std::unique_ptr<EndScanner> ZipDocumentRule(CFoundObject&, Head);

// Pictures.
std::unique_ptr<EndScanner> JpegRule(CFoundObject&, Head);  // jpeg.cpp
std::unique_ptr<EndScanner> PngRule(CFoundObject&, Head);   // png.cpp
std::unique_ptr<EndScanner> GifRule(CFoundObject&, Head);   // gif.cpp
std::unique_ptr<EndScanner> TiffRule(CFoundObject&, Head);  // tiff.cpp
std::unique_ptr<EndScanner> PsdRule(CFoundObject&, Head);   // psd.cpp

// Boxes of the ISO base media format and JPEG 2000 (iso_bmff.cpp), other
// containers of sound and video.
std::unique_ptr<EndScanner> IsoMediaRule(CFoundObject&, Head);
std::unique_ptr<EndScanner> AviRule(CFoundObject&, Head);       // avi.cpp
std::unique_ptr<EndScanner> MatroskaRule(CFoundObject&, Head);  // matroska.cpp
std::unique_ptr<EndScanner> FlvRule(CFoundObject&, Head);       // flv.cpp
std::unique_ptr<EndScanner> AsfRule(CFoundObject&, Head);       // asf.cpp
std::unique_ptr<EndScanner> Mp3Rule(CFoundObject&, Head);       // mp3.cpp
std::unique_ptr<EndScanner> FlacRule(CFoundObject&, Head);      // flac.cpp
std::unique_ptr<EndScanner> OggRule(CFoundObject&, Head);       // ogg.cpp
std::unique_ptr<EndScanner> MidiRule(CFoundObject&, Head);      // midi.cpp

// Compressed streams.
std::unique_ptr<EndScanner> GzipRule(CFoundObject&, Head);   // gzip.cpp
std::unique_ptr<EndScanner> Bzip2Rule(CFoundObject&, Head);  // bzip2.cpp
std::unique_ptr<EndScanner> XzRule(CFoundObject&, Head);     // xz.cpp
std::unique_ptr<EndScanner> ZstdRule(CFoundObject&, Head);   // zstd.cpp

}  // namespace tl::content
