// Bad packets: truncated, lying headers, unknown types, broken XML and XML
// values that do not fit their field. Each is a PacketError with its place.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/dataset/codec.h"

namespace zel::ds {
namespace {

namespace fs = std::filesystem;

std::string sample(const std::string& name) {
    std::ifstream in(fs::path(ZEL_TESTDATA_DIR) / "datapackets" / name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The message of the PacketError that decoding `bytes` throws; fails the test
// when it decodes or throws anything else.
std::string errorOf(std::string_view bytes, const std::string& source = "bad.cds") {
    try {
        decodePacket(bytes, source);
    } catch (const PacketError& e) {
        return e.what();
    }
    ADD_FAILURE() << "decoded without error";
    return {};
}

void expectMentions(const std::string& msg, std::initializer_list<std::string_view> parts) {
    for (auto p : parts) EXPECT_NE(msg.find(p), std::string::npos) << "\"" << p << "\" not in: " << msg;
}

TEST(CodecMalformed, EveryTruncationOfEverySampleIsAnError) {
    for (const auto& e : fs::directory_iterator(fs::path(ZEL_TESTDATA_DIR) / "datapackets")) {
        if (e.path().extension() != ".cds") continue;
        std::string bytes = sample(e.path().filename().string());
        // Every length for the files under 10 kB; the larger ones densely at the start, then sparsely.
        for (size_t len = 0; len < bytes.size(); len += (len < 4096 || bytes.size() < 10000) ? 1 : 97) {
            std::string cut = bytes.substr(0, len);  // a copy, so a read past its end is caught by the sanitizers
            std::string msg = errorOf(cut, "cut.cds");
            if (len >= 4) {
                ASSERT_NE(msg.find("cut.cds: byte offset"), std::string::npos) << len << ": " << msg;
            }
        }
    }
}

TEST(CodecMalformed, TruncatedXmlIsAnError) {
    for (const char* name : {"country.xml", "reservat.xml"}) {
        std::string bytes = sample(name);
        for (size_t len = 1; len < bytes.size(); ++len) {
            std::string cut = bytes.substr(0, len);
            std::string msg = errorOf(cut, "cut.xml");
            ASSERT_NE(msg.find("cut.xml"), std::string::npos) << len;
        }
    }
}

TEST(CodecMalformed, HeaderAndDescriptorsThatLie) {
    const std::string good = sample("country.cds");
    auto patched = [&](size_t at, std::initializer_list<unsigned char> b) {
        std::string s = good;
        size_t i = at;
        for (unsigned char c : b) s[i++] = static_cast<char>(c);
        return s;
    };
    expectMentions(errorOf(patched(0, {0x96, 0x19, 0xE0, 0xBE})), {"bad.cds", "byte offset 0", "neither"});
    expectMentions(errorOf(std::string("\x96\x19\xE0\xBD", 4) + "x"), {"byte offset 0", "header needs 24 bytes"});
    expectMentions(errorOf(patched(8, {0x20})), {"byte offset 8", "header size 32"});
    // One field more or less than the descriptors hold.
    expectMentions(errorOf(patched(12, {6})), {"byte offset"});
    expectMentions(errorOf(patched(12, {4})), {"bad.cds: byte offset"});
    // More records than stored; and bytes left over after the last one.
    expectMentions(errorOf(patched(14, {19})), {"byte offset 1117", "record status"});
    expectMentions(errorOf(good + "xyz"), {"byte offset 1117", "3 bytes after the last of 18 records"});
    // First-record offset that does not match the descriptors.
    expectMentions(errorOf(patched(22, {0xC9})), {"byte offset 22", "first record at 201"});
    // A field of an unknown or unsupported type code (Name, at offset 24).
    expectMentions(errorOf(patched(24 + 1 + 4 + 2, {0x4E})), {"byte offset 24", "field 1 \"Name\"", "nested"});
    expectMentions(errorOf(patched(24 + 1 + 4 + 2, {0x3F})), {"byte offset 24", "unknown type code 63"});
    // A property array whose count runs past the end (DEFAULT_ORDER's count at 0x9F).
    expectMentions(errorOf(patched(0x9F, {0xFF, 0xFF, 0xFF, 0x7F})), {"byte offset 159", "DEFAULT_ORDER"});
    // Field status 3.
    expectMentions(errorOf(patched(201, {0x03})), {"byte offset 201", "field status 3"});
}

const char* kHead =
    "<?xml version=\"1.0\" standalone=\"yes\"?><DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
    "<FIELD attrname=\"COD\" fieldtype=\"i2\"/><FIELD attrname=\"NOME\" fieldtype=\"string\" WIDTH=\"5\"/>"
    "<FIELD attrname=\"DT\" fieldtype=\"date\"/><FIELD attrname=\"HR\" fieldtype=\"time\"/>"
    "<FIELD attrname=\"QUANDO\" fieldtype=\"dateTime\"/><FIELD attrname=\"OK\" fieldtype=\"boolean\"/>"
    "<FIELD attrname=\"VR\" fieldtype=\"r8\"/><FIELD attrname=\"FOTO\" fieldtype=\"bin.hex\" SUBTYPE=\"Graphics\"/>"
    "</FIELDS><PARAMS/></METADATA><ROWDATA>";

std::string xmlRow(const std::string& attrs) {
    return std::string(kHead) + "<ROW COD=\"1\"/><ROW " + attrs + "/></ROWDATA></DATAPACKET>";
}

TEST(CodecMalformed, LengthPointingPastTheEnd) {
    // The memo length of the first events record sits at byte 390.
    std::string s = sample("events.cds");
    s[390] = '\xFF', s[391] = '\xFF', s[392] = '\xFF', s[393] = '\x7F';
    expectMentions(errorOf(s), {"bad.cds: byte offset 390", "record 1", "\"Event_Description\"", "runs past the end"});
}

TEST(CodecMalformed, XmlValuesThatDoNotFitTheirField) {
    EXPECT_EQ(decodeXml(xmlRow("COD=\"-32768\" NOME=\"Pão\" DT=\"20240229\" HR=\"23:59:59999\" "
                               "QUANDO=\"20240101T00:00:01000\" OK=\"FALSE\" VR=\"-1.5e3\" FOTO=\"AAE=\""),
                        "t")
                  .records.size(),
              2u);
    struct Case {
        const char* attrs;
        const char* field;
    } cases[] = {
        {"COD=\"32768\"", "COD"},    {"COD=\"1.5\"", "COD"},
        {"COD=\"\"", "COD"},         {"NOME=\"abcdef\"", "NOME"},
        {"NOME=\"&#937;\"", "NOME"}, {"DT=\"20230229\"", "DT"},
        {"DT=\"2023-01-01\"", "DT"}, {"HR=\"24:00:00000\"", "HR"},
        {"HR=\"10:00\"", "HR"},      {"QUANDO=\"20230101 10:00:00000\"", "QUANDO"},
        {"OK=\"YES\"", "OK"},        {"VR=\"1,5\"", "VR"},
        {"VR=\"abc\"", "VR"},        {"FOTO=\"***\"", "FOTO"},
    };
    for (const Case& c : cases) {
        std::string msg = errorOf(xmlRow(c.attrs), "t.xml");
        expectMentions(msg, {"t.xml", "row 2", fmt::format("field \"{}\"", c.field)});
    }
    expectMentions(errorOf(xmlRow("PRECO=\"1\""), "t.xml"), {"row 2", "PRECO", "names no field"});
}

TEST(CodecMalformed, XmlThatIsNotAPacket) {
    expectMentions(errorOf("<?xml version=\"1.0\"?><DATAPACKET><METADATA>", "t.xml"),
                   {"t.xml", "invalid XML", "byte offset"});
    expectMentions(errorOf("<TABLE/>", "t.xml"), {"not <DATAPACKET>"});
    expectMentions(errorOf("<DATAPACKET/>", "t.xml"), {"METADATA"});
    expectMentions(errorOf("<DATAPACKET><METADATA><FIELDS><FIELD attrname=\"X\" fieldtype=\"nested\"/></FIELDS>"
                           "</METADATA></DATAPACKET>",
                           "t.xml"),
                   {"field 1 \"X\"", "fieldtype \"nested\""});
    expectMentions(errorOf("<DATAPACKET><METADATA><FIELDS><FIELD attrname=\"X\" fieldtype=\"string\"/></FIELDS>"
                           "</METADATA></DATAPACKET>",
                           "t.xml"),
                   {"without WIDTH"});
    expectMentions(errorOf("<?xml version=\"1.0\" encoding=\"UTF-16\"?><DATAPACKET/>", "t.xml"), {"UTF-16"});
    expectMentions(errorOf("hello", "x"), {"x: byte offset 0"});
    expectMentions(errorOf("", "x"), {"x: byte offset 0"});
}

TEST(CodecMalformed, SingleByteXmlOffsetsCountBytes) {
    // "é" is one byte in the file; the parser's offset must be reported in file bytes.
    std::string xml = "<DATAPACKET a=\"\xE9\xE9\xE9\"><<";
    expectMentions(errorOf(xml, "t.xml"), {"byte offset 21"});
}

}  // namespace
}  // namespace zel::ds
