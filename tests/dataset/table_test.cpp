// Working tables: taking and giving packets, cursor and editing, conversions of
// field values, locate, and tables left intact by failed loads.
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/dataset/codec.h"
#include "platform/dataset/table.h"

using namespace zel;
using namespace zel::ds;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const std::filesystem::path kSamples = std::filesystem::path(ZEL_TESTDATA_DIR) / "datapackets";

std::filesystem::path tempFile(const std::string& name) {
    auto dir = std::filesystem::temp_directory_path() / ("zel_table_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir / name;
}

Table rates() {
    Table t("cdsAliqImpFis",
            {FieldDef::string("CDALIQIMPFIS", 10), FieldDef::floatField("VRALIQIMPFIS"),
             FieldDef::string("IDALIQIMPFIS", 1)},
            {{"idxIdAliqVrAliq", "IDALIQIMPFIS;VRALIQIMPFIS"}}, "idxIdAliqVrAliq");
    t.create();
    return t;
}

void addRate(Table& t, const char* code, double rate, const char* kind) {
    t.insert();
    t.field("CDALIQIMPFIS").setAsString(code);
    t.field("VRALIQIMPFIS").setAsFloat(rate);
    t.field("IDALIQIMPFIS").setAsString(kind);
    t.post();
}

std::vector<std::string> column(Table& t, std::string_view name) {
    std::vector<std::string> out;
    Field f = t.field(name);
    for (t.first(); !t.eof(); t.next()) out.push_back(f.asString());
    return out;
}

}  // namespace

TEST(TableCursor, WalksIndexOrderStablyAndFollowsEdits) {
    Table t = rates();
    addRate(t, "03", 18, "T");
    addRate(t, "01", 7, "T");
    addRate(t, "04", 12, "S");
    addRate(t, "02", 12, "T");
    addRate(t, "05", 12, "T");  // equal key: after "02", its elder
    // By kind, then by rate as a number (a text order would put 12 before 7).
    EXPECT_THAT(column(t, "CDALIQIMPFIS"), ElementsAre("04", "01", "02", "05", "03"));
    EXPECT_TRUE(t.locate("CDALIQIMPFIS", Variant("03")));
    t.edit();
    t.field("VRALIQIMPFIS").setAsFloat(1);
    t.post();
    EXPECT_EQ(t.field("CDALIQIMPFIS").asString(), "03");  // the posted row stays current
    EXPECT_THAT(column(t, "CDALIQIMPFIS"), ElementsAre("04", "03", "01", "02", "05"));
    t.setIndexName("");
    EXPECT_THAT(column(t, "CDALIQIMPFIS"), ElementsAre("03", "01", "04", "02", "05"));
    EXPECT_THROW(t.setIndexName("nope"), Error);
}

TEST(TableCursor, EofDeleteCancelAndEmpty) {
    Table t = rates();
    t.first();
    EXPECT_TRUE(t.eof());
    EXPECT_TRUE(t.isEmpty());
    EXPECT_EQ(t.field("CDALIQIMPFIS").asString(), "");  // no row: reads as empty
    EXPECT_EQ(t.field("VRALIQIMPFIS").asFloat(), 0);
    EXPECT_THROW(t.deleteRow(), Error);
    addRate(t, "01", 1, "T");
    addRate(t, "02", 2, "T");
    addRate(t, "03", 3, "T");
    t.insert();
    t.field("CDALIQIMPFIS").setAsString("XX");
    t.cancel();
    EXPECT_EQ(t.recordCount(), 3);
    t.first();
    t.next();
    t.deleteRow();  // the next row takes the place of the deleted one
    EXPECT_EQ(t.field("CDALIQIMPFIS").asString(), "03");
    t.next();
    EXPECT_TRUE(t.eof());
    EXPECT_EQ(t.field("CDALIQIMPFIS").asString(), "03");
    t.last();
    t.deleteRow();
    EXPECT_EQ(t.field("CDALIQIMPFIS").asString(), "01");
    t.emptyTable();
    EXPECT_TRUE(t.isEmpty());
    EXPECT_TRUE(t.isOpen());
}

TEST(TableCursor, StatesOpenAndClose) {
    Table t("cdsX", {FieldDef::string("A", 5)});
    EXPECT_FALSE(t.isOpen());
    EXPECT_THAT(
        [&] {
            try {
                (void)t.field("A").asString();
            } catch (const Error& e) {
                return std::string(e.what());
            }
            return std::string();
        }(),
        HasSubstr("cdsX"));
    EXPECT_THROW(t.open(), Error);  // no file behind it, nothing to open
    t.create();
    EXPECT_THROW(t.field("A").setAsString("x"), Error);  // not editing
    EXPECT_THROW(t.field("B"), Error);
    t.append();
    t.field("A").setAsString("x");
    t.first();  // moving posts the pending row, as the runtime does
    EXPECT_EQ(t.recordCount(), 1);
    t.close();
    t.create();
    EXPECT_TRUE(t.isEmpty());  // closing discarded the rows

    Table empty("cdsVazio");
    EXPECT_THROW(empty.create(), Error);

    Table required("cdsR", {FieldDef::string("A", 5)});
    Packet p;
    p.fields = {FieldDef::string("A", 5)};
    p.fields[0].attributes = kRequired;
    required.setData(p);
    required.append();
    EXPECT_THROW(required.post(), Error);
}

TEST(TableFields, ConversionsThroughFormatSettings) {
    Table t("cdsX", {FieldDef::string("S", 4), FieldDef::floatField("F"), FieldDef::dateTime("DT"), FieldDef::date("D"),
                     FieldDef::time("T"), FieldDef::int32("I"), FieldDef::boolean("B")});
    t.create();
    t.append();
    Field s = t.field("S"), f = t.field("F"), dt = t.field("DT"), d = t.field("D"), tm = t.field("T"), i = t.field("I"),
          b = t.field("B");
    f.setAsString("1234,5");
    EXPECT_THROW(f.setAsString("12.50"), ConvertError);  // "." is not the decimal separator here
    EXPECT_THROW(f.setAsString("abc"), ConvertError);
    EXPECT_EQ(f.asFloat(), 1234.5);  // the failed writes left the value
    EXPECT_EQ(f.asString(), "1234,5");
    f.setAsFloat(0.1 + 0.2);
    EXPECT_EQ(f.asString(), "0,3");
    f.setAsString("");
    EXPECT_TRUE(f.isNull());

    s.setAsString("ABCDEF");
    EXPECT_EQ(s.asString(), "ABCD");  // cut to the width
    s.setAsString("\xc3\x87\xc3\x83OXY");
    EXPECT_EQ(s.asString(), "\xc3\x87\xc3\x83OX");  // by characters, never inside one
    s.setAsFloat(2.5);
    EXPECT_EQ(s.asString(), "2,5");
    EXPECT_EQ(s.asFloat(), 2.5);

    DateTime moment = DateTime::fromFields({2026, 12, 25, 13, 5, 9, 0});
    dt.setAsDateTime(moment);
    d.setAsDateTime(moment);
    tm.setAsDateTime(moment);
    EXPECT_EQ(dt.asString(), "25/12/2026 13:05:09");
    EXPECT_EQ(d.asString(), "25/12/2026");
    EXPECT_EQ(d.asDateTime(), moment.dateOnly());  // the date field keeps the date only
    EXPECT_EQ(tm.asString(), "13:05:09");
    EXPECT_EQ(dt.asDateTime(), moment);
    dt.setAsString("01/02/2026 08:00:00");
    EXPECT_EQ(dt.asDateTime(), DateTime::fromFields({2026, 2, 1, 8, 0, 0, 0}));
    d.clear();
    EXPECT_TRUE(d.isNull());
    EXPECT_EQ(d.asDateTime().value(), 0);

    i.setAsString("42");
    EXPECT_THROW(i.setAsString("4294967296"), ConvertError);
    EXPECT_EQ(i.asString(), "42");
    b.setAsString("true");
    EXPECT_EQ(b.asString(), "True");
    t.post();

    // Values through variants, as tables copy rows into one another.
    Table copy("cdsY", t.fields());
    copy.create();
    copy.append();
    for (int k = 0; k < t.fieldCount(); ++k) copy.setValue(k, t.value(k));
    copy.post();
    EXPECT_EQ(copy.data().records, t.data().records);
}

TEST(TableFields, HandlesFindTheirFieldInANewStructure) {
    Table t("cdsX", {FieldDef::string("A", 5), FieldDef::string("B", 5)});
    t.create();
    Field b = t.field("b");
    Packet p;
    p.fields = {FieldDef::string("B", 5), FieldDef::string("C", 5)};
    p.records = {Record{0, {std::string("bee"), std::string("sea")}}};
    t.setData(p);
    EXPECT_EQ(b.asString(), "bee");
    p.fields[0].name = "Z";
    t.setData(p);
    EXPECT_THROW((void)b.asString(), Error);
}

TEST(TableLocate, ExactCaseInsensitiveAndSeveralFields) {
    Table t = rates();
    addRate(t, "01", 18, "t");
    addRate(t, "02", 18, "T");
    addRate(t, "03", 12, "T");
    addRate(t, "04", 18, "T");
    EXPECT_TRUE(t.locate("IDALIQIMPFIS;VRALIQIMPFIS", {Variant("T"), Variant(18.0)}));
    EXPECT_EQ(t.field("CDALIQIMPFIS").asString(), "02");  // first of two in index order
    EXPECT_TRUE(t.locate("IDALIQIMPFIS;VRALIQIMPFIS", {Variant("t"), Variant("18")}));
    EXPECT_EQ(t.field("CDALIQIMPFIS").asString(), "01");
    EXPECT_FALSE(t.locate("IDALIQIMPFIS;VRALIQIMPFIS", {Variant("T"), Variant(7.0)}));
    EXPECT_EQ(t.field("CDALIQIMPFIS").asString(), "01");  // a miss leaves the cursor
    EXPECT_TRUE(t.locate("idaliqimpfis;vraliqimpfis", {Variant("t"), Variant(12.0)}, {.caseInsensitive = true}));
    EXPECT_EQ(t.field("CDALIQIMPFIS").asString(), "03");
    // Under a filter only the rows walked are found.
    t.setFilter("CDALIQIMPFIS <> '02'");
    t.setFiltered(true);
    EXPECT_TRUE(t.locate("VRALIQIMPFIS;IDALIQIMPFIS", {Variant(18.0), Variant("T")}));
    EXPECT_EQ(t.field("CDALIQIMPFIS").asString(), "04");
    t.setFiltered(false);
    EXPECT_THROW(t.locate("VRALIQIMPFIS", Variant("dezoito")), ConvertError);
    EXPECT_THROW(t.locate("NOPE", Variant("x")), Error);
    EXPECT_THROW(t.locate("VRALIQIMPFIS;IDALIQIMPFIS", {Variant(18.0)}), Error);
    // Latin-1 letters fold too; after a change the look-up sees the new value.
    t.first();
    t.edit();
    t.field("CDALIQIMPFIS").setAsString("\xc3\x89X");
    t.post();
    EXPECT_FALSE(t.locate("CDALIQIMPFIS", Variant("\xc3\xa9x")));
    EXPECT_TRUE(t.locate("CDALIQIMPFIS", Variant("\xc3\xa9x"), {.caseInsensitive = true}));
}

TEST(TableData, TakeAndGiveRefuseWhatIsNotAPacketAndKeepTheTable) {
    Table t("cdsConsultaSaldo");
    Packet p;
    p.fields = {FieldDef::string("CDFAMILISALD", 3), FieldDef::floatField("VRSALDCONFAM")};
    p.props = {Property::int32("LCID", 1046)};
    p.records = {Record{0, {std::string("001"), 10.5}}, Record{0, {std::string("002"), std::monostate{}}}};
    t.setData(Variant::packet(p));
    t.next();
    Packet before = t.data();
    EXPECT_EQ(before, p);

    auto refused = [&](auto&& value) {
        try {
            t.setData(value);
        } catch (const Error& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_THAT(refused(Variant("ORA-00942: table or view does not exist")), HasSubstr("ORA-00942"));
    EXPECT_THAT(refused(Variant("ORA-00942")), HasSubstr("cdsConsultaSaldo"));
    EXPECT_THAT(refused(Variant()), HasSubstr("data packet"));
    Packet shortRow = p;
    shortRow.records.push_back(Record{0, {std::string("003")}});
    EXPECT_THAT(refused(shortRow), HasSubstr("record 3"));
    Packet wrongType = p;
    wrongType.records[1].cells[1] = std::string("x");
    EXPECT_THAT(refused(wrongType), HasSubstr("VRSALDCONFAM"));
    Packet twice = p;  // a name held twice in either case, however far apart
    twice.fields = {FieldDef::string("CDFAMILISALD", 3), FieldDef::floatField("VRSALDCONFAM"),
                    FieldDef::string("NMFAMILISALD", 20), FieldDef::string("cdFamiliSald", 3)};
    for (Record& r : twice.records) r.cells.insert(r.cells.end(), {std::string("x"), std::string("y")});
    EXPECT_THAT(refused(twice), HasSubstr("the data holds field cdFamiliSald twice"));
    Packet unnamed = twice;
    unnamed.fields[3] = FieldDef::string("", 3);
    EXPECT_THAT(refused(unnamed), HasSubstr("field 4 of the data has no name"));
    // Nothing of the refused data got in: same rows, same current row.
    EXPECT_EQ(t.data(), before);
    EXPECT_EQ(t.field("CDFAMILISALD").asString(), "002");

    // A change of rows gives the rows merged, keeping the packet properties.
    t.edit();
    t.field("VRSALDCONFAM").setAsFloat(1);
    t.post();
    Packet after = t.data();
    EXPECT_EQ(after.props, p.props);
    EXPECT_EQ(after.records[1].cells[1], Cell(1.0));
}

TEST(TableData, ChangeLogRowsAsTheUserLastSawThem) {
    // Record 1 inserted, then modified: record 2 replaces it, one value unchanged.
    Packet p;
    p.fields = {FieldDef::string("A", 5), FieldDef::floatField("B")};
    p.props = {Property::intList("CHANGE_LOG", {1, 0, 4, 2, 1, 8}, 4)};
    p.records = {Record{kInserted | kOriginal, {std::string("old"), 1.0}}, Record{kModified, {Unchanged{}, 2.0}}};
    Table t("cdsX");
    t.setData(p);
    EXPECT_EQ(t.recordCount(), 1);
    EXPECT_EQ(t.field("A").asString(), "old");
    EXPECT_EQ(t.field("B").asFloat(), 2);
    EXPECT_EQ(t.data(), p);  // unchanged: given back as taken
}

TEST(TableFiles, SamplesSaveBackAndFailedLoadsLeaveTheTable) {
    Table t("cdsCustomer");
    t.loadFromFile(kSamples / "customer.cds");
    ASSERT_GT(t.recordCount(), 1);
    auto out = tempFile("customer.cds");
    t.saveToFile(out);
    std::ifstream a(kSamples / "customer.cds", std::ios::binary), b(out, std::ios::binary);
    std::string original((std::istreambuf_iterator<char>(a)), {}), saved((std::istreambuf_iterator<char>(b)), {});
    EXPECT_EQ(saved, original);

    // An edited table keeps its field descriptors and packet properties.
    t.first();
    t.edit();
    t.setAsString(0, t.asString(0));
    t.post();
    t.saveToFile(out);
    Table back("cdsBack");
    back.loadFromFile(out);
    EXPECT_EQ(back.fields(), t.fields());
    EXPECT_EQ(back.packetProperties(), t.packetProperties());
    EXPECT_EQ(back.data().records, t.data().records);

    // Truncated, missing and foreign files: an error, and the table as it was.
    Packet before = t.data();
    t.next();
    std::string current = t.asString(0);
    auto bad = tempFile("bad.cds");
    for (size_t cut : {size_t{0}, size_t{10}, size_t{30}, original.size() / 2, original.size() - 1}) {
        std::ofstream(bad, std::ios::binary | std::ios::trunc) << original.substr(0, cut);
        EXPECT_THROW(t.loadFromFile(bad), Error) << cut;
    }
    EXPECT_THROW(t.loadFromFile(tempFile("missing.cds")), Error);
    EXPECT_EQ(t.data(), before);
    EXPECT_TRUE(t.isOpen());
    EXPECT_EQ(t.asString(0), current);

    // A table with a file behind it reads it again when opened.
    t.setFileName(out);
    t.close();
    t.open();
    EXPECT_EQ(t.data().records, back.data().records);
    std::filesystem::remove_all(out.parent_path());
}

// A text set again is not parsed again, but it is bound again to whatever the
// table holds now: a field moved to another place, or literals read through
// other format settings.
TEST(TableFilter, AFilterSetAgainFollowsTheTablesStructureAndFormatSettings) {
    Table t = rates();
    addRate(t, "01", 18, "T");
    addRate(t, "02", 12, "T");
    addRate(t, "03", 7, "S");
    auto filtered = [&](const std::string& text) {
        t.setFiltered(false);
        t.setFilter("");
        t.setFilter(text);
        t.setFiltered(true);
        std::vector<std::string> codes = column(t, "CDALIQIMPFIS");
        t.setFiltered(false);
        return codes;
    };
    const std::string byKind = "IDALIQIMPFIS = 'T' AND VRALIQIMPFIS > '12,5'";
    EXPECT_THAT(filtered(byKind), ElementsAre("01"));
    EXPECT_THAT(filtered("IDALIQIMPFIS = 'S'"), ElementsAre("03"));
    EXPECT_THAT(filtered(byKind), ElementsAre("01"));

    // The same rows, their fields in another order.
    Packet p;
    p.fields = {FieldDef::string("IDALIQIMPFIS", 1), FieldDef::floatField("VRALIQIMPFIS"),
                FieldDef::string("CDALIQIMPFIS", 10)};
    p.records = {Record{0, {std::string("T"), 18.0, std::string("01")}},
                 Record{0, {std::string("S"), 12.0, std::string("02")}},
                 Record{0, {std::string("T"), 13.0, std::string("04")}}};
    t.setData(p);
    EXPECT_THAT(filtered(byKind), ElementsAre("04", "01"));  // in the order of kind and rate

    // Under the invariant settings "12,5" is no number: the filter is refused,
    // as a first parse would refuse it.
    t.setFilter("");
    t.setFormatSettings(FormatSettings::invariant());
    EXPECT_THROW(filtered(byKind), FilterError);
    const std::string invariantKind = "IDALIQIMPFIS = 'T' AND VRALIQIMPFIS > '12.5'";
    EXPECT_THAT(filtered(invariantKind), ElementsAre("04", "01"));

    // Made again from its declared fields, empty, then filled again.
    t.create();
    addRate(t, "05", 19, "T");
    addRate(t, "06", 19, "S");
    EXPECT_THAT(filtered(invariantKind), ElementsAre("05"));
    t.create();
    addRate(t, "07", 12, "T");
    addRate(t, "08", 13, "T");
    EXPECT_THAT(filtered(invariantKind), ElementsAre("08"));
    // A filter left on holds over the rows of the table made again.
    t.setFilter("IDALIQIMPFIS = 'S'");
    t.setFiltered(true);
    t.create();
    addRate(t, "09", 5, "S");
    addRate(t, "10", 5, "T");
    EXPECT_THAT(column(t, "CDALIQIMPFIS"), ElementsAre("09"));
}

// Copies of a field share its properties until one of them changes: the
// change stays with that copy, wherever it is made in the list.
TEST(TableFields, ACopyOfAFieldChangesItsPropertiesAlone) {
    Table t("cdsX", {FieldDef::string("A", 10)});
    t.create();
    std::vector<FieldDef> copy = t.fields();
    copy[0].props.push_back(Property::text("SUBTYPE", "FixedChar"));
    std::vector<Property> before = {Property::text("ORIGIN", "X")};
    copy[0].props.insert(copy[0].props.begin(), before.begin(), before.end());
    EXPECT_TRUE(copy[0].fixedChar());
    EXPECT_EQ(copy[0].width(), 10);
    ASSERT_EQ(copy[0].props.size(), 3u);
    EXPECT_EQ(copy[0].props[0].name, "ORIGIN");
    EXPECT_FALSE(t.fields()[0].fixedChar());
    EXPECT_EQ(t.fields()[0].props.size(), 1u);
    EXPECT_EQ(t.data().fields[0], t.fields()[0]);
    EXPECT_NE(copy[0], t.fields()[0]);
    copy[0].props = std::vector<Property>{};
    EXPECT_EQ(copy[0].width(), 0);
    EXPECT_EQ(t.fields()[0].width(), 10);
}
