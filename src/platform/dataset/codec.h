// Reading and writing data packets: the binary form (the table files of the
// installation) and the XML form, with single-byte texts in the station's code
// page. Bad input is a PacketError naming the source and the byte offset or
// field; nothing here crashes or reads past the end of its input.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/atomic_file.h"
#include "platform/dataset/packet.h"
#include "platform/dataset/row_store.h"
#include "platform/error.h"

namespace zel::ds {

class PacketError : public Error {
  public:
    using Error::Error;
};

enum class CodePage { Windows1252 };

struct CodecOptions {
    CodePage codePage = CodePage::Windows1252;
    // encodeXml: write the UTF-8 variant (encoding="UTF-8" in the declaration)
    // instead of the single-byte form the runtime writes by default.
    bool xmlUtf8 = false;
};

enum class PacketForm { Binary, Xml, Unknown };

// Tells the form from the first bytes: the binary magic 96 19 E0 BD, or "<".
PacketForm detectForm(std::string_view bytes);

// `source` names the input in error messages (a file name, "request packet").
Packet decodeBinary(std::string_view bytes, std::string_view source, const CodecOptions& opts = {});
Packet decodeXml(std::string_view bytes, std::string_view source, const CodecOptions& opts = {});
Packet decodePacket(std::string_view bytes, std::string_view source, const CodecOptions& opts = {});

std::string encodeBinary(const Packet& packet, const CodecOptions& opts = {});
std::string encodeXml(const Packet& packet, const CodecOptions& opts = {});

// Takes a packet's records one at a time as they are decoded, so a reader
// can keep them in its own form without the whole packet in memory.
class RecordSink {
  public:
    virtual ~RecordSink() = default;
    // The packet without its records, how many records follow (at most; the
    // count as far as the input can hold it) and the bytes they take.
    virtual void begin(const Packet& header, uint32_t records, size_t bytes) = 0;
    // Each record in storage order; the record is reused for the next one.
    // False stops the decoding there (what was read stays valid).
    virtual bool record(Record& record) = 0;
};

// The binary form record by record; errors as decodeBinary, also after some
// records were given.
void decodeBinary(std::string_view bytes, std::string_view source, RecordSink& sink, const CodecOptions& opts = {});

// The binary form straight into compact rows, for a table file of original
// records only: no Record or text object is made on the way. `header` gets the
// packet without its records, `rows` its records (width: the packet's fields).
// False as soon as the packet turns out to hold a change log, a changed or
// deleted record or a "not changed" value: then `rows` is left empty and the
// packet is for decodeBinary. Every check and message is decodeBinary's, so
// both refuse the same input alike as far as this one reads.
bool decodeBinaryRows(std::string_view bytes, std::string_view source, Packet& header, RowStore& rows,
                      const CodecOptions& opts = {});

// Files. Reading maps the file read-only where the system allows (the bytes
// are decoded where they lie, not copied first) and reads it into memory where
// it does not (an empty file, a pipe, a file system that cannot map). Writing
// goes to a file beside the target and is then renamed over it, so a reader
// never sees half a table. `durability` as for writeFileAtomically:
// a file that no later run reads back need not be flushed.
Packet readPacketFile(const std::filesystem::path& path, const CodecOptions& opts = {});
// A table file, read once (a pipe gives its bytes only once): a binary file of
// original records only goes straight into compact rows, as decodeBinaryRows,
// and the result is true with `header` and `rows` set; any other file is
// decoded whole into `packet` and the result is false.
bool readTableFile(const std::filesystem::path& path, Packet& header, RowStore& rows, Packet& packet,
                   const CodecOptions& opts = {});
void writePacketFile(const std::filesystem::path& path, const Packet& packet, PacketForm form = PacketForm::Binary,
                     const CodecOptions& opts = {}, Durability durability = Durability::Flushed);
// Written in place on a file kept open between writes (see RewrittenFile).
void writePacketFile(RewrittenFile& file, const std::filesystem::path& path, const Packet& packet, PacketForm form,
                     const CodecOptions& opts = {});

// Time this process has spent reading and writing packet files (for benchmarks).
struct PacketFileTimes {
    std::chrono::nanoseconds read{0}, write{0};
};
PacketFileTimes packetFileTimes();

// Code page conversion of single-byte texts. decode never fails (the five
// bytes that Windows-1252 leaves undefined map to U+0081, U+008D, U+008F,
// U+0090, U+009D, so a text read and written again keeps its bytes); encode
// throws PacketError for a character the code page cannot hold or for text
// that is not UTF-8.
std::string decodeCodePage(std::string_view bytes, CodePage cp = CodePage::Windows1252);
std::string encodeCodePage(std::string_view utf8, CodePage cp = CodePage::Windows1252);

// Base64, as the XML form writes blobs; the tools use the same.
std::string encodeBase64(std::string_view bytes);
// False for text that is not base64.
bool decodeBase64(std::string_view text, std::string& out);

}  // namespace zel::ds
