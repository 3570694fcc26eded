// A packet saved with its change log: the first record inserted and later
// modified, its new version stored last, loads as the user last saw it.
#include <gtest/gtest.h>

#include "platform/dataset/codec.h"

namespace zel::ds {
namespace {

std::string le(uint64_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

// Written out byte by byte from the format, not by our encoder.
std::string changeLogPacket() {
    std::string meta;
    meta +=
        "\x02"
        "ID" +
        le(4, 2) + le(kInt, 2) + le(0, 2) + le(0, 2);
    meta +=
        "\x04"
        "NOME" +
        le(1, 2) + le(0x49, 2) + le(0, 2) + le(1, 2) +
        "\x05"
        "WIDTH" +
        le(2, 2) + le(2, 2) + le(20, 2);
    meta += le(1, 2);  // packet properties
    meta +=
        "\x0A"
        "CHANGE_LOG" +
        le(4, 2) + le(0x82, 2) + le(6, 4);
    for (uint32_t v : {1u, 0u, 4u, 3u, 1u, 8u}) meta += le(v, 4);
    std::string header = std::string("\x96\x19\xE0\xBD", 4) + le(1, 2) + le(0, 2) + le(24, 4) + le(2, 2) + le(3, 4) +
                         le(3, 4) + le(24 + meta.size(), 2);
    std::string recs;
    recs += "\x05" + std::string(1, '\0') + le(1, 4) +
            "\x01"
            "A";  // inserted, then superseded
    recs += std::string(1, '\0') + std::string(1, '\0') + le(2, 4) +
            "\x01"
            "B";  // untouched
    recs +=
        "\x0C"
        "\x02"
        "\x03"
        "P\xE3o";  // new version; ID not changed
    return header + meta + recs;
}

TEST(CodecChangeLog, LoadsAsTheUserLastSawIt) {
    std::string bytes = changeLogPacket();
    Packet p = decodeBinary(bytes, "log.cds");
    ASSERT_EQ(p.records.size(), 3u);
    EXPECT_EQ(p.records[0].status, kInserted | kOriginal);
    EXPECT_EQ(p.records[2].status, kInserted | kModified);
    EXPECT_TRUE(std::holds_alternative<Unchanged>(p.records[2].cells[0]));
    EXPECT_EQ(std::get<std::string>(p.records[2].cells[1]), "Pão");

    EXPECT_EQ(p.liveRecordOrder(), (std::vector<size_t>{2, 1}));
    std::vector<Record> rows = p.liveRecords();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(std::get<int64_t>(rows[0].cells[0]), 1);  // taken from the record it replaces
    EXPECT_EQ(std::get<std::string>(rows[0].cells[1]), "Pão");
    EXPECT_EQ(std::get<std::string>(rows[1].cells[1]), "B");

    // Saved again: the same bytes, change log and "not changed" status included.
    EXPECT_EQ(encodeBinary(p), bytes);
}

TEST(CodecChangeLog, XmlKeepsRowStateAndTheLiveTable) {
    Packet p = decodeBinary(changeLogPacket(), "log.cds");
    std::string xml = encodeXml(p);
    EXPECT_NE(xml.find("CHANGE_LOG=\"1 0 4 3 1 8\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<ROW RowState=\"5\" ID=\"1\" NOME=\"A\"/>"), std::string::npos) << xml;
    Packet back = decodeXml(xml, "log.xml");
    EXPECT_EQ(back.props, p.props);
    EXPECT_EQ(back.records[2].status, kInserted | kModified);
    EXPECT_EQ(back.liveRecords(), p.liveRecords());
}

}  // namespace
}  // namespace zel::ds
