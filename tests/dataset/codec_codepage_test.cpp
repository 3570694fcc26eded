// Code-page conversion of single-byte texts and the field types the sample
// files do not contain.
#include <gtest/gtest.h>

#include "platform/dataset/codec.h"

namespace zel::ds {
namespace {

TEST(CodePage, EveryByteSurvivesARoundTrip) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    std::string utf8 = decodeCodePage(all);
    EXPECT_EQ(encodeCodePage(utf8), all);
    // The five undefined bytes come back as the C1 controls of the same number.
    EXPECT_EQ(decodeCodePage("\x81\x8D\x8F\x90\x9D"), "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D");
}

TEST(CodePage, MapsTheDefinedCharacters) {
    EXPECT_EQ(decodeCodePage("P\xE3o de queijo \x80 \x93ok\x94"), "Pão de queijo € “ok”");
    EXPECT_EQ(encodeCodePage("Pão de queijo € “ok” Œ ž"), "P\xE3o de queijo \x80 \x93ok\x94 \x8C \x9E");
    // Long ASCII runs around a high byte (the 8-byte fast path).
    std::string longText = std::string(37, 'a') + "ç" + std::string(19, 'b');
    EXPECT_EQ(decodeCodePage(encodeCodePage(longText)), longText);
}

TEST(CodePage, RefusesWhatItCannotHold) {
    EXPECT_THROW(encodeCodePage("Ω"), PacketError);         // Greek
    EXPECT_THROW(encodeCodePage("日本"), PacketError);      // CJK
    EXPECT_THROW(encodeCodePage("\xC2\x80"), PacketError);  // U+0080 has no byte (0x80 is the euro)
    EXPECT_THROW(encodeCodePage("a\xFF"
                                "b"),
                 PacketError);                                  // not UTF-8
    EXPECT_THROW(encodeCodePage("\xC3"), PacketError);          // truncated sequence
    EXPECT_THROW(encodeCodePage("\xC0\xAF"), PacketError);      // overlong
    EXPECT_THROW(encodeCodePage("\xED\xA0\x80"), PacketError);  // surrogate
}

Packet oneFieldPacket(FieldDef f, Cell v) {
    Packet p;
    p.fields.push_back(std::move(f));
    p.records.push_back({0, {std::move(v)}});
    return p;
}

TEST(CodecTypes, AStringTheCodePageCannotHoldIsRefusedNamingTheField) {
    Packet p = oneFieldPacket(FieldDef::string("NMPRODUTO", 50), std::string("Ωmega"));
    try {
        encodeBinary(p);
        FAIL() << "no error";
    } catch (const PacketError& e) {
        EXPECT_NE(std::string(e.what()).find("NMPRODUTO"), std::string::npos) << e.what();
    }
    EXPECT_THROW(encodeXml(p), PacketError);
}

// Types outside this system's tables still travel through both forms.
TEST(CodecTypes, UncommonTypesRoundTripThroughBinaryAndXml) {
    Packet p;
    FieldDef wide{"NOME", 1, static_cast<uint16_t>(kWString | kVaryingBit), 0, {Property::uint16("WIDTH", 20)}};
    FieldDef big{"BIG", 8, kInt, 0, {}};
    FieldDef ubyte{"UB", 1, kUInt, 0, {}};
    FieldDef u32{"U4", 4, kUInt, 0, {}};
    FieldDef bcd{"VALOR", 34, kBcd, 0, {}};
    FieldDef blob{"FOTO", 4, static_cast<uint16_t>(kBytes | kVaryingBit), 0, {Property::text("SUBTYPE", "Binary")}};
    p.fields = {wide, big, ubyte, u32, bcd, blob, FieldDef::memo("OBS"), FieldDef::time("HR"), FieldDef::boolean("OK")};
    std::string bcdValue(34, '\0');
    bcdValue[0] = 5;                        // 5 digits
    bcdValue[1] = static_cast<char>(0x82);  // negative, 2 places: -123.45
    bcdValue[2] = 0x12, bcdValue[3] = 0x34, bcdValue[4] = 0x50;
    p.records.push_back({0,
                         {std::string("Ação 日本 😀"), int64_t(-9000000000000000000), int64_t(255), int64_t(4000000000),
                          bcdValue, std::string("\x00\x01\xFF<&\"", 6), std::string("linha 1\r\nlinha \xE7"),
                          int64_t(23 * 3600000 + 59 * 60000 + 59999), true}});
    p.records.push_back({0, std::vector<Cell>(9)});
    Packet bin = decodeBinary(encodeBinary(p), "test");
    EXPECT_EQ(bin, p);
    Packet xml = decodeXml(encodeXml(p), "test");
    EXPECT_EQ(xml.records, p.records);
    for (size_t i = 0; i < p.fields.size(); ++i) {
        EXPECT_EQ(xml.fields[i].type, p.fields[i].type) << i;
        EXPECT_EQ(xml.fields[i].size, p.fields[i].size) << i;
    }
    std::string text = encodeXml(p);
    EXPECT_NE(text.find("fieldtype=\"string.uni\""), std::string::npos);
    EXPECT_NE(text.find("VALOR=\"-123.45\""), std::string::npos);
    EXPECT_NE(text.find("BIG=\"-9000000000000000000\""), std::string::npos);
    EXPECT_NE(text.find("HR=\"23:59:59999\""), std::string::npos);
    // The UTF-8 variant carries the same table.
    CodecOptions utf8;
    utf8.xmlUtf8 = true;
    std::string u = encodeXml(p, utf8);
    EXPECT_NE(u.find("encoding=\"UTF-8\""), std::string::npos);
    EXPECT_EQ(decodeXml(u, "utf8").records, p.records);
}

TEST(CodecTypes, XmlWidthGivesTheLengthPrefix) {
    std::string xml =
        "<?xml version=\"1.0\" standalone=\"yes\"?><DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
        "<FIELD attrname=\"A\" fieldtype=\"string\" WIDTH=\"255\"/><FIELD attrname=\"B\" fieldtype=\"string\" "
        "WIDTH=\"256\"/><FIELD fieldname=\"Species No\" attrname=\"Species_No\" fieldtype=\"i4\"/></FIELDS>"
        "<PARAMS/></METADATA><ROWDATA><ROW A=\"x\" Species_No=\"7\"/></ROWDATA></DATAPACKET>";
    Packet p = decodeXml(xml, "t");
    EXPECT_EQ(p.fields[0].size, 1);
    EXPECT_EQ(p.fields[1].size, 2);
    EXPECT_EQ(p.fields[2].name, "Species No");
    EXPECT_EQ(std::get<int64_t>(p.records[0].cells[2]), 7);
    EXPECT_TRUE(isNull(p.records[0].cells[1]));
    std::string again = encodeXml(p);
    EXPECT_NE(again.find("fieldname=\"Species No\" attrname=\"Species_No\""), std::string::npos);
    EXPECT_EQ(decodeXml(again, "t"), p);
}

TEST(CodecTypes, RefusesTypesItCannotCarry) {
    for (uint16_t code : {12, 13, 14, 15, 0, 16, 63}) {
        Packet p;
        p.fields.push_back({"X", 4, code, 0, {}});
        try {
            encodeBinary(p);
            FAIL() << code;
        } catch (const PacketError& e) {
            EXPECT_NE(std::string(e.what()).find("\"X\""), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace zel::ds
