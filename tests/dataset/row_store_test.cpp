// Compact rows: every kind of cell comes back as it went in, edited rows do
// not make the texts grow without end, and a table loaded from a file costs a
// small multiple of the file and gives back the very packet it was given.
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/dataset/codec.h"
#include "platform/dataset/row_store.h"
#include "platform/dataset/table.h"

using namespace zel;
using namespace zel::ds;

namespace {

std::vector<Cell> everyKind() {
    return {Cell{},
            Cell{Unchanged{}},
            Cell{true},
            Cell{false},
            Cell{int64_t{-9223372036854775807LL - 1}},
            Cell{int64_t{42}},
            Cell{-0.0},
            Cell{1e300},
            Cell{std::string()},
            Cell{std::string("12345678")},  // the longest text kept in its slot
            Cell{std::string("123456789")},
            Cell{std::string("Pão de queijo com café \xc3\xa9")},
            Cell{std::string("a\0b", 3)}};
}

TEST(RowStore, EveryKindOfCellComesBackAsItWentIn) {
    std::vector<Cell> row = everyKind();
    RowStore s(row.size());
    s.append(row);
    std::vector<Cell> reversed(row.rbegin(), row.rend());
    s.append(reversed);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s.row(0), row);
    EXPECT_EQ(s.row(1), reversed);
    EXPECT_TRUE(std::signbit(std::get<double>(s.cell(0, 6))));
    EXPECT_TRUE(s.isNull(0, 0));
    EXPECT_FALSE(s.isNull(0, 1));
    std::string_view t;
    ASSERT_TRUE(s.text(0, 11, t));
    EXPECT_EQ(t, std::get<std::string>(row[11]));
    EXPECT_FALSE(s.text(0, 5, t));
    // A cell read into a text cell reuses it; into another kind replaces it.
    Cell into = std::string("old text that is long enough");
    s.cellInto(0, 5, into);
    EXPECT_EQ(into, Cell{int64_t{42}});
    s.cellInto(0, 10, into);
    EXPECT_EQ(into, Cell{std::string("123456789")});
    EXPECT_THROW(s.append({Cell{}}), std::invalid_argument);
}

TEST(RowStore, EditsAndDeletionsKeepTheOtherRowsAndTheArenaBounded) {
    RowStore s(2);
    for (int i = 0; i < 100; ++i) s.append({Cell{int64_t{i}}, Cell{"a long text of row " + std::to_string(i)}});
    s.erase(10);
    EXPECT_EQ(s.size(), 99u);
    EXPECT_EQ(s.cell(10, 1), Cell{std::string("a long text of row 11")});
    size_t before = s.bytes();
    for (int k = 0; k < 20000; ++k) s.assign(5, {Cell{int64_t{k}}, Cell{"an edited text, round " + std::to_string(k)}});
    EXPECT_EQ(s.cell(5, 1), Cell{std::string("an edited text, round 19999")});
    EXPECT_EQ(s.cell(4, 1), Cell{std::string("a long text of row 4")});
    EXPECT_EQ(s.cell(98, 1), Cell{std::string("a long text of row 99")});
    EXPECT_LT(s.bytes(), before + 64 * 1024) << "old texts of edited rows are dropped again";
}

Packet catalogue(int rows) {
    Packet p;
    p.fields = {FieldDef::string("CDPRODUTO", 10), FieldDef::string("NMPRODUTO", 50),
                FieldDef::string("CDFAMILISALD", 3), FieldDef::floatField("VRPEALIMPFIS"), FieldDef::int32("NRORDEM")};
    p.props.push_back(Property::int32("LCID", 1046));
    for (int i = 0; i < rows; ++i)
        p.records.push_back(
            Record{0,
                   {Cell{"P" + std::to_string(100000 + i)}, Cell{"Produto de catálogo " + std::to_string(i)},
                    Cell{std::string("001")}, Cell{i % 3 ? 18.0 : 7.5}, i % 7 ? Cell{int64_t{i}} : Cell{}}});
    return p;
}

TEST(RowStore, ALoadedTableCostsASmallMultipleOfItsFileAndGivesItBack) {
    auto dir = std::filesystem::temp_directory_path() / ("zel_row_store_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    Packet p = catalogue(20000);
    auto file = dir / "Produtos.cds";
    writePacketFile(file, p);
    size_t fileBytes = std::filesystem::file_size(file);

    Table t("cdsProdutos");
    t.loadFromFile(file);
    EXPECT_TRUE(t.holdsTakenData());
    EXPECT_EQ(t.recordCount(), 20000);
    EXPECT_LE(t.rowBytes(), 3 * fileBytes) << "rows of " << t.rowBytes() << " bytes for a file of " << fileBytes;
    EXPECT_EQ(encodeBinary(t.data()), encodeBinary(p)) << "an unchanged table gives back the file's packet";
    ASSERT_TRUE(t.locate("CDPRODUTO", Variant("P119999")));
    EXPECT_EQ(t.field("NMPRODUTO").asString(), "Produto de catálogo 19999");
    EXPECT_TRUE(t.field("NRORDEM").isNull() == (19999 % 7 == 0));

    // The same through setData, and an edit shows in the packet given.
    Table u("cdsProdutos");
    u.setData(Packet(p));
    EXPECT_EQ(encodeBinary(u.data()), encodeBinary(p));
    ASSERT_TRUE(u.locate("CDPRODUTO", Variant("P100003")));
    u.edit();
    u.field("NMPRODUTO").setAsString("Outro nome, bem mais comprido que antes");
    u.post();
    EXPECT_FALSE(u.holdsTakenData());
    Packet changed = u.data();
    EXPECT_EQ(std::get<std::string>(changed.records[3].cells[1]), "Outro nome, bem mais comprido que antes");
    EXPECT_EQ(changed.records[4], p.records[4]);
    std::filesystem::remove_all(dir);
}

}  // namespace

namespace {

// The item file of a sale is replaced whole without a flush; table files that
// a later run reads back are flushed.
TEST(TableFileDurability, CachedWritesAreWholeButNotFlushed) {
    auto dir = std::filesystem::temp_directory_path() / ("zel_durability_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    Table t("cdsVenda");
    t.setData(catalogue(50));
    uint64_t before = durableWriteCount();
    t.saveToFile(dir / "cdsVenda.cds", PacketForm::Binary, Durability::Cached);
    EXPECT_EQ(durableWriteCount(), before);
    t.saveToFile(dir / "Produtos.cds");
    EXPECT_EQ(durableWriteCount(), before + 1);
    EXPECT_EQ(encodeBinary(readPacketFile(dir / "cdsVenda.cds")), encodeBinary(catalogue(50)));
    EXPECT_FALSE(std::filesystem::exists(dir / "cdsVenda.cds.tmp"));
    std::filesystem::remove_all(dir);
}

}  // namespace

namespace {

TEST(TableFileDurability, ADeclaredFieldTheFileLacksRefusesTheLoadAndKeepsTheRows) {
    auto dir = std::filesystem::temp_directory_path() / ("zel_declared_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    writePacketFile(dir / "Produtos.cds", catalogue(3));
    Packet narrow = catalogue(1);
    narrow.fields.erase(narrow.fields.begin() + 1);
    narrow.records[0].cells.erase(narrow.records[0].cells.begin() + 1);
    writePacketFile(dir / "Narrow.cds", narrow);

    Table t("cdsProdutos", {FieldDef::string("CDPRODUTO", 10), FieldDef::string("NMPRODUTO", 50)});
    t.loadDeclaredFromFile(dir / "Produtos.cds");
    EXPECT_EQ(t.recordCount(), 3);
    try {
        t.loadDeclaredFromFile(dir / "Narrow.cds");
        ADD_FAILURE() << "a file without NMPRODUTO was taken";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("needs the field NMPRODUTO"), std::string::npos) << e.what();
    }
    EXPECT_EQ(t.recordCount(), 3);
    EXPECT_EQ(t.field("NMPRODUTO").asString(), "Produto de catálogo 0");
    std::filesystem::remove_all(dir);
}

}  // namespace
