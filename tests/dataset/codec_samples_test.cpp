// The real sample packets: each NAME.cds and NAME.xml hold the same table,
// binary files round-trip byte for byte and XML survives a trip through binary.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/dataset/codec.h"

namespace zel::ds {
namespace {

namespace fs = std::filesystem;

fs::path sampleDir() { return fs::path(ZEL_TESTDATA_DIR) / "datapackets"; }

std::string readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> sampleNames() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(sampleDir()))
        if (e.path().extension() == ".cds") names.push_back(e.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string show(const Cell& c) {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) return "<null>";
            else if constexpr (std::is_same_v<T, Unchanged>) return "<unchanged>";
            else if constexpr (std::is_same_v<T, double>) return fmt::format("{:.15g}", v);
            else return fmt::format("{}", v);
        },
        c);
}

// Same fields and same rows, floats compared at 15 significant digits.
void expectSameTable(const Packet& a, const Packet& b, const std::string& what) {
    ASSERT_EQ(a.fields.size(), b.fields.size()) << what;
    for (size_t i = 0; i < a.fields.size(); ++i)
        EXPECT_EQ(a.fields[i], b.fields[i]) << what << " field " << a.fields[i].name;
    EXPECT_EQ(a.props, b.props) << what;
    ASSERT_EQ(a.records.size(), b.records.size()) << what;
    for (size_t r = 0; r < a.records.size(); ++r) {
        EXPECT_EQ(a.records[r].status, b.records[r].status);
        ASSERT_EQ(a.records[r].cells.size(), b.records[r].cells.size());
        for (size_t f = 0; f < a.records[r].cells.size(); ++f)
            ASSERT_EQ(show(a.records[r].cells[f]), show(b.records[r].cells[f]))
                << what << " row " << r + 1 << " field " << a.fields[f].name;
    }
}

TEST(CodecSamples, EveryPairLoadsTheSameTable) {
    auto names = sampleNames();
    ASSERT_GE(names.size(), 12u);
    for (const auto& n : names) {
        Packet bin = readPacketFile(sampleDir() / (n + ".cds"));
        Packet xml = readPacketFile(sampleDir() / (n + ".xml"));
        EXPECT_GT(bin.records.size(), 0u) << n;
        expectSameTable(bin, xml, n);
    }
}

TEST(CodecSamples, BinaryRoundTripsByteForByte) {
    for (const auto& n : sampleNames()) {
        std::string bytes = readBytes(sampleDir() / (n + ".cds"));
        Packet p = decodeBinary(bytes, n);
        EXPECT_TRUE(encodeBinary(p) == bytes) << n;
    }
}

TEST(CodecSamples, BinarySavedAsXmlGivesTheRuntimesXml) {
    for (const auto& n : sampleNames()) {
        Packet p = decodeBinary(readBytes(sampleDir() / (n + ".cds")), n);
        std::string xml = encodeXml(p);
        std::string expected = readBytes(sampleDir() / (n + ".xml"));
        EXPECT_TRUE(xml == expected) << n << "\n" << xml.substr(0, 400) << "\n" << expected.substr(0, 400);
    }
}

TEST(CodecSamples, XmlThroughBinaryAndBackKeepsTheTable) {
    for (const auto& n : sampleNames()) {
        std::string xmlBytes = readBytes(sampleDir() / (n + ".xml"));
        Packet fromXml = decodeXml(xmlBytes, n);
        Packet back = decodeXml(encodeXml(decodeBinary(encodeBinary(fromXml), n)), n);
        expectSameTable(fromXml, back, n);
    }
}

TEST(CodecSamples, SampleValuesReadAsExpected) {
    Packet p = readPacketFile(sampleDir() / "events.cds");
    ASSERT_EQ(p.fields.size(), 8u);
    EXPECT_EQ(p.fields[0].subtype(), "Autoinc");
    EXPECT_EQ(p.fields[0].attributes, kReadOnly);
    EXPECT_EQ(p.fields[5].subtype(), "Text");
    EXPECT_EQ(p.fields[5].width(), 100);
    const Record& r = p.records[0];
    EXPECT_EQ(std::get<int64_t>(r.cells[0]), 1);
    EXPECT_EQ(std::get<std::string>(r.cells[2]), "Men's Track and Field");
    EXPECT_EQ(std::get<int64_t>(r.cells[4]), 10 * 3600 * 1000);  // 10:00:00
    auto order = p.prop("DEFAULT_ORDER")->asList();
    ASSERT_TRUE(order);
    EXPECT_EQ(*order, std::vector<int64_t>{1});
    EXPECT_EQ(p.prop("LCID")->asInt(), 1033);

    Packet orders = readPacketFile(sampleDir() / "orders.cds");
    EXPECT_EQ(orders.fields[1].attributes, kRequired);
    EXPECT_TRUE(isNull(orders.records[0].cells[5]));  // ShipToContact absent in the first row
}

TEST(CodecFiles, WriteIsAtomicAndReadsBackInEitherForm) {
    fs::path dir = fs::temp_directory_path() / fmt::format("zel_codec_{}", ::getpid());
    fs::create_directories(dir);
    Packet p = readPacketFile(sampleDir() / "reservat.cds");
    writePacketFile(dir / "r.cds", p);
    writePacketFile(dir / "r.xml", p, PacketForm::Xml);
    EXPECT_EQ(readBytes(dir / "r.cds"), readBytes(sampleDir() / "reservat.cds"));
    EXPECT_EQ(readPacketFile(dir / "r.xml"), p);
    // Overwriting leaves no temporary file beside the target.
    writePacketFile(dir / "r.cds", p);
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++files;
    EXPECT_EQ(files, 2u);
    // A packet that cannot be encoded leaves the old file untouched.
    Packet broken = p;
    broken.records[0].cells.pop_back();
    EXPECT_THROW(writePacketFile(dir / "r.cds", broken), PacketError);
    EXPECT_EQ(readBytes(dir / "r.cds"), readBytes(sampleDir() / "reservat.cds"));
    EXPECT_THROW(readPacketFile(dir / "missing.cds"), PacketError);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace zel::ds
