// The table tool: the JSON form, CSV, and conversions between the three forms.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/dataset/codec.h"
#include "platform/datetime.h"
#include "platform/error.h"
#include "tools/packet_text.h"
#include "tools/table_commands.h"

using namespace zel;
namespace fs = std::filesystem;

namespace {

ds::Packet sampleTable() {
    ds::Packet p;
    p.fields = {ds::FieldDef::string("CDPRODUTO", 10),
                ds::FieldDef::string("NMPRODUTO", 50),
                ds::FieldDef::floatField("VRPRECO", true),
                ds::FieldDef::dateTime("DTINCLUSAO"),
                ds::FieldDef::date("DTABERCAIX"),
                ds::FieldDef::time("HRPASSAGEM"),
                ds::FieldDef::int32("QTITENS"),
                ds::FieldDef::boolean("IDATIVO"),
                ds::FieldDef::memo("DSOBS")};
    p.props = {ds::Property::int32("LCID", 1046)};
    DateTime moment = DateTime::fromFields({2026, 12, 8, 12, 30, 15, 250});
    p.records.push_back({0,
                         {std::string("0001"), std::string("Pão de queijo, \"grande\""), 12.5, moment.packetDateTime(),
                          int64_t(moment.packetDate()), int64_t(moment.packetTime()), int64_t(3), true,
                          std::string("linha 1\nlinha 2")}});
    p.records.push_back({0,
                         {std::string("0002"), std::monostate{}, 0.1, std::monostate{}, std::monostate{},
                          std::monostate{}, std::monostate{}, false, std::monostate{}}});
    return p;
}

fs::path tempDir() {
    fs::path d = fs::temp_directory_path() / ("zel_table_tool_" + std::to_string(::getpid()));
    fs::create_directories(d);
    return d;
}

}  // namespace

TEST(TableTool, JsonFormKeepsFieldsAndValues) {
    ds::Packet p = sampleTable();
    auto j = tools::toJson(p);
    EXPECT_EQ(j["fields"][0]["type"], "string");
    EXPECT_EQ(j["fields"][0]["width"], 10);
    EXPECT_EQ(j["fields"][2]["subtype"], "Money");
    EXPECT_EQ(j["rows"][0]["DTINCLUSAO"], "2026-12-08T12:30:15.250");
    EXPECT_EQ(j["rows"][0]["DTABERCAIX"], "2026-12-08");
    EXPECT_EQ(j["rows"][0]["HRPASSAGEM"], "12:30:15.250");
    EXPECT_TRUE(j["rows"][1]["NMPRODUTO"].is_null());
    ds::Packet back = tools::fromJson(j, "test");
    EXPECT_EQ(back.fields, p.fields);
    EXPECT_EQ(back.records, p.records);
}

TEST(TableTool, JsonFormRejectsBadInputWithItsPlace) {
    auto j = tools::toJson(sampleTable());
    auto expectError = [](const nlohmann::ordered_json& bad, const std::string& mention) {
        try {
            tools::fromJson(bad, "t.json");
            FAIL() << "accepted: " << bad.dump();
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(mention), std::string::npos) << e.what();
        }
    };
    auto badDate = j;
    badDate["rows"][0]["DTABERCAIX"] = "2026-02-30";
    expectError(badDate, "rows[0]: field DTABERCAIX");
    auto badInt = j;
    badInt["rows"][1]["QTITENS"] = "three";
    expectError(badInt, "rows[1]: field QTITENS");
    auto unknownField = j;
    unknownField["rows"][0]["NOPE"] = 1;
    expectError(unknownField, "no field named NOPE");
    auto badType = j;
    badType["fields"][0]["type"] = "varchar";
    expectError(badType, "unknown type");
    expectError(nlohmann::ordered_json::array(), "not a table");
}

TEST(TableTool, CsvQuotesWhatNeedsIt) {
    std::string csv = tools::toCsv(sampleTable());
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")),
              "CDPRODUTO,NMPRODUTO,VRPRECO,DTINCLUSAO,DTABERCAIX,HRPASSAGEM,QTITENS,IDATIVO,DSOBS");
    EXPECT_NE(csv.find("\"Pão de queijo, \"\"grande\"\"\",12.5,"), std::string::npos) << csv;
    EXPECT_NE(csv.find("\"linha 1\nlinha 2\""), std::string::npos);
    EXPECT_NE(csv.find("0002,,0.1,,,,,false,\r\n"), std::string::npos) << csv;
}

TEST(TableTool, ConvertsSamplesThroughEveryForm) {
    fs::path dir = tempDir();
    for (const char* name : {"country", "employee", "orders", "events"}) {
        fs::path src = fs::path(ZEL_TESTDATA_DIR) / "datapackets" / (std::string(name) + ".cds");
        ds::Packet original = tools::readTable(src);
        tools::writeTable(dir / "t.json", original);
        tools::writeTable(dir / "t.xml", tools::readTable(dir / "t.json"));
        tools::writeTable(dir / "t.out", tools::readTable(dir / "t.xml"), tools::TableForm::Binary);
        ds::Packet back = tools::readTable(dir / "t.out");
        ASSERT_EQ(back.fields.size(), original.fields.size()) << name;
        for (size_t i = 0; i < back.fields.size(); ++i) {
            EXPECT_EQ(back.fields[i].name, original.fields[i].name) << name;
            EXPECT_EQ(tools::typeName(back.fields[i]), tools::typeName(original.fields[i])) << name;
            EXPECT_EQ(back.fields[i].width(), original.fields[i].width()) << name;
        }
        EXPECT_EQ(tools::toCsv(back), tools::toCsv(original)) << name;
    }
    EXPECT_THROW(tools::writeTable(dir / "t.txt", sampleTable()), Error);
    fs::remove_all(dir);
}

TEST(TableTool, ShowAlignsColumns) {
    fs::path dir = tempDir();
    tools::writeTable(dir / "s.json", sampleTable());
    std::string shown = tools::showTable(dir / "s.json");
    EXPECT_NE(shown.find("9 fields, 2 rows"), std::string::npos);
    EXPECT_NE(shown.find("CDPRODUTO | NMPRODUTO"), std::string::npos) << shown;
    EXPECT_NE(shown.find("(null)"), std::string::npos);
    fs::remove_all(dir);
}
