// Properties of an XML packet that its own encoder could not write back: each
// is refused when the packet is read, with the place, as a bad row value is.
// Found by the XML fuzz target (its corpus keeps the input).
#include <gtest/gtest.h>

#include <string>

#include "platform/dataset/codec.h"

namespace zel::ds {
namespace {

std::string packet(const std::string& params) {
    return "\xEF\xBB\xBF<?xml version=\"1.0\" standalone=\"yes\"?><DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
           "<FIELD attrname=\"N\" fieldtype=\"r8\"/></FIELDS><PARAMS " +
           params + "/></METADATA><ROWDATA><ROW N=\"1800\"/></ROWDATA></DATAPACKET>";
}

TEST(CodecProperties, ATextPropertyThatIsNotUtf8IsRefusedOnReading) {
    try {
        decodeXml(packet("NOTE=\"1\x9e"
                         "33\""),
                  "bad.xml");
        ADD_FAILURE() << "decoded";
    } catch (const PacketError& e) {
        EXPECT_NE(std::string(e.what()).find("NOTE is not UTF-8"), std::string::npos) << e.what();
    }
}

TEST(CodecProperties, WhatIsReadIsWrittenBack) {
    Packet p = decodeXml(packet("NOTE=\"ação 1,5\" LCID=\"1046\""), "good.xml");
    Packet again = decodeXml(encodeXml(p), "again.xml");
    EXPECT_EQ(again.props, p.props);
    EXPECT_EQ(again.records, p.records);
}

TEST(CodecProperties, MarkupCharactersInTextsAndPropertiesComeBackAsThemselves) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><DATAPACKET Version=\"2.0\"><METADATA>"
        "<FIELDS><FIELD attrname=\"T\" fieldtype=\"string\" WIDTH=\"20\"/></FIELDS>"
        "<PARAMS NOTE=\"&lt;a&gt; &amp; &quot;b&quot;\"/></METADATA><ROWDATA>"
        "<ROW T=\"x&lt;y &amp; &quot;z&quot; &gt;\"/></ROWDATA></DATAPACKET>";
    Packet p = decodeXml(xml, "markup.xml");
    ASSERT_EQ(p.records.size(), 1u);
    EXPECT_EQ(p.records[0].cells[0], Cell(std::string("x<y & \"z\" >")));
    std::string again = encodeXml(p);
    EXPECT_EQ(again.find("x<y"), std::string::npos) << again;
    Packet back = decodeXml(again, "again.xml");
    EXPECT_EQ(back.records, p.records);
    EXPECT_EQ(back.props, p.props);
}

TEST(CodecProperties, NegativeIntegersSurviveTheBinaryForm) {
    Packet p;
    p.fields = {FieldDef::int32("N")};
    for (int64_t v : {int64_t(-5), int64_t(-2147483647 - 1), int64_t(7)}) p.records.push_back({0, {Cell(v)}});
    Packet back = decodeBinary(encodeBinary(p), "ints.cds");
    EXPECT_EQ(back.records, p.records);
}

TEST(CodecProperties, AFieldNameThatIsNotUtf8IsRefusedOnReading) {
    const std::string bytes =
        "\xEF\xBB\xBF<?xml version=\"1.0\" standalone=\"yes\"?><DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
        "<FIELD attrname=\"N\x7F\xEA\xEA\" fieldtype=\"r8\"/></FIELDS><PARAMS/></METADATA><ROWDATA></ROWDATA>"
        "</DATAPACKET>";
    try {
        decodeXml(bytes, "bad.xml");
        ADD_FAILURE() << "decoded";
    } catch (const PacketError& e) {
        EXPECT_NE(std::string(e.what()).find("field 1: its name is not UTF-8"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace zel::ds
