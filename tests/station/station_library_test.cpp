// The station library's own pieces: the lock one charging process holds, the
// outbox a refused record waits in, the money cut, the ledger's answers and
// the exact import credit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include <fmt/format.h>

#include "platform/atomic_file.h"
#include "platform/dataset/table.h"
#include "platform/db/connection.h"
#include "platform/db/query.h"
#include "platform/money.h"
#include "station/host.h"
#include "station/init.h"
#include "station/lock.h"
#include "station/outbox.h"
#include "station/store.h"

using namespace zel;
using namespace zel::host;
namespace fs = std::filesystem;

namespace {

fs::path scratch(const std::string& name) {
    fs::path p = fs::temp_directory_path() / ("zel_station_" + std::to_string(::getpid()) + "_" + name);
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

std::string messageOf(auto&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

TEST(StationLock, ASecondHolderIsRefusedWithTheHolderNamedOrWaits) {
    fs::path dir = scratch("lock");
    {
        StationLock first = StationLock::acquire(dir, "run");
        std::string m = messageOf([&] { StationLock::acquire(dir, "run"); });
        EXPECT_NE(m.find("is in use by pid " + std::to_string(::getpid()) + " (geracupom run, since "),
                  std::string::npos)
            << m;
        EXPECT_NE(m.find("--wait"), std::string::npos) << m;
    }
    // Released when its holder goes: the next one takes it at once.
    EXPECT_NO_THROW(StationLock::acquire(dir, "run"));
    // A waiting holder gets it as soon as the first lets go.
    auto first = std::make_unique<StationLock>(StationLock::acquire(dir, "run"));
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        first.reset();
    });
    EXPECT_NO_THROW(StationLock::acquire(dir, "run", 5.0));
    release.join();
    fs::remove_all(dir);
}

TEST(Outbox, ARecordComesBackAsItWasPutAndGoesWhenRemoved) {
    fs::path dir = scratch("outbox");
    Outbox box(dir / "outbox");
    EXPECT_TRUE(box.entries().empty());
    ds::Table sale("cdsVenda", {ds::FieldDef::string("CDPRODUTO", 20), ds::FieldDef::floatField("VRPRECCOMVEN")}, {},
                   {}, FormatSettings{});
    sale.create();
    sale.append();
    sale.field("CDPRODUTO").setAsString("P1");
    sale.field("VRPRECCOMVEN").setAsFloat(12.34);
    sale.post();
    DateTime day = DateTime::fromDate(2026, 3, 16);
    VariantArray values = {Variant::packet(sale.data()), Variant::null(), Variant("001"), Variant(""), Variant(day),
                           Variant(int32_t(7)),          Variant(2.5)};
    box.put("SIM/01", "000012", values);
    ASSERT_EQ(box.entries().size(), 1u);
    OutboxEntry e = box.entries()[0];
    EXPECT_EQ(e.coupon, "000012");
    EXPECT_TRUE(box.holds("000012"));
    EXPECT_FALSE(box.holds("000013"));
    ASSERT_EQ(e.values.size(), values.size());
    EXPECT_TRUE(e.values[1].isNull());
    EXPECT_EQ(e.values[2].text(), "001");
    EXPECT_EQ(e.values[4].toDateTime(FormatSettings{}), day);
    EXPECT_EQ(e.values[5].toInt(FormatSettings{}), 7);
    ds::Table back("cdsVenda", {}, {}, {}, FormatSettings{});
    back.setData(e.values[0].asPacket());
    EXPECT_EQ(back.field("CDPRODUTO").asString(), "P1");
    EXPECT_DOUBLE_EQ(back.field("VRPRECCOMVEN").asFloat(), 12.34);
    box.remove(e);
    EXPECT_TRUE(box.entries().empty());
    // A damaged record is told, never dropped.
    std::ofstream(dir / "outbox" / "SIM-000013.json") << "{not json";
    EXPECT_NE(messageOf([&] { box.entries(); }).find("SIM-000013.json"), std::string::npos);
    fs::remove_all(dir);
}

TEST(Money, TheSalesCutBringsNoisyAmountsToTheCent) {
    EXPECT_EQ(cutToCents(46.998999999999995), 4699);
    EXPECT_EQ(cutToCents(2.10999999), 211);  // four nines after the cut: one cent more
    EXPECT_EQ(cutToCents(0.1 + 0.2), 30);
    EXPECT_EQ(cutToCents(12.339), 1233);
    EXPECT_EQ(cutToCents(-7.255), -725);
    EXPECT_EQ(cutToCents(1e9 + 0.07), 100000000007);
    EXPECT_EQ(cutToCents(5), 500);              // no decimals written at all
    EXPECT_EQ(cutToCents(0.5), 50);             // one decimal written
    EXPECT_EQ(cutToCents(0.0001), 0);           // written with an exponent, read in fixed notation
    EXPECT_EQ(cutToCents(1e16 + 2), 1000000000000000200);
    EXPECT_EQ(cutToCents(-0.0099999), -1);      // the nines past the cut round up below zero too
    EXPECT_EQ(cutToCents(std::nan("")), 0);
    EXPECT_EQ(cutToCents(1e17), INT64_MAX);  // past what cents can count: the end of the scale
    EXPECT_EQ(cutToCents(-1e300), -INT64_MAX);
    EXPECT_EQ(cutToCents(9.2e16), 9200000000000000000);
    EXPECT_EQ(lineGrossCents(1500, 333), 499);  // 1.5 × 3.33 = 4.995, cut
    EXPECT_DOUBLE_EQ(centsToAmount(4699), 46.99);
}

// The cut reads the amount as printf's %.15g writes it (fixed notation when
// that has an exponent): the same cents for amounts of every size and noise.
TEST(Money, TheCutAgreesWithTheAmountAsPrintfWritesIt) {
    auto byPrintf = [](double amount) -> int64_t {
        char text[512];
        std::snprintf(text, sizeof text, "%.15g", std::fabs(amount));
        if (std::strchr(text, 'e')) std::snprintf(text, sizeof text, "%.6f", std::fabs(amount));
        const char* dot = std::strchr(text, '.');
        std::string decimals = dot ? std::string(dot + 1) : std::string();
        decimals.resize(6, '0');
        int64_t cents = std::strtoll(text, nullptr, 10) * 100 + (decimals[0] - '0') * 10 + (decimals[1] - '0');
        if (decimals.compare(2, 4, "9999") == 0) cents += 1;
        return amount < 0 ? -cents : cents;
    };
    std::mt19937_64 random(20261209);
    std::uniform_int_distribution<int64_t> cents(-10'000'000, 10'000'000);
    std::uniform_real_distribution<double> noise(-1e-9, 1e-9), any(-1e12, 1e12);
    std::uniform_int_distribution<int> scale(-12, 18);  // up to 1e14, where cents still count
    for (int i = 0; i < 200'000; ++i) {
        double amount = i % 3 == 0   ? cents(random) / 100.0 + noise(random)
                        : i % 3 == 1 ? cents(random) / 100.0 * 1.1
                                     : any(random) * std::pow(10.0, scale(random) - 16);
        ASSERT_EQ(cutToCents(amount), byPrintf(amount)) << fmt::format("{:.17g}", amount);
    }
}

TEST(AtomicFile, AFailedWriteNamesTheFileAndKeepsTheOldContent) {
    fs::path dir = scratch("atomic");
    fs::path f = dir / "memory.json";
    writeFileAtomically(f, "old", "the memory");
    fs::create_directories(dir / "memory.json.tmp");  // the scratch file cannot be made
    std::string m = messageOf([&] { writeFileAtomically(f, "new", "the memory"); });
    EXPECT_NE(m.find("the memory " + f.string()), std::string::npos) << m;
    std::ifstream in(f);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "old");
    fs::remove_all(dir);
}

class Ledger : public ::testing::Test {
  protected:
    void SetUp() override {
        base_ = scratch(::testing::UnitTest::GetInstance()->current_test_info()->name());
        InitOptions o;
        o.demo = true;
        o.seed = 7;
        o.day = DateTime::fromDate(2026, 3, 16);
        dir_ = initStation(base_ / "st", o, nullptr);
    }
    void TearDown() override { fs::remove_all(base_); }
    RunReport run() {
        Station s = openStation(dir_);
        RunOptions o;
        o.now = parseMoment("2026-03-16 23:59");
        o.libraryEntry = false;
        return runStation(s, o);
    }
    fs::path base_, dir_;
};

TEST_F(Ledger, EachChargedPassageHasOneLedgerRowAndItsRecordIsCreditedExactly) {
    Station s = openStation(dir_);
    db::Connection c(s.connectionString);
    c.connect();
    Store store(c, s.branch, s.register_);
    std::vector<std::string> seqs{"999999"};  // never imported
    for (const PendingPassage& p : store.pendingPassages()) seqs.push_back(p.passage.nrSeqLogCat);
    EXPECT_EQ(store.rowsPending(seqs), std::set<std::string>(seqs.begin() + 1, seqs.end()));
    c.disconnect();

    RunReport r = run();
    ASSERT_GT(r.count(Outcome::Concluded), 0);
    // The turnstile rows left are those of the passages not charged.
    std::set<std::string> left;
    for (const PassageResult& p : r.passages)
        if (p.outcome != Outcome::Concluded) left.insert(p.nrSeqLogCat);
    EXPECT_EQ(store.rowsPending(seqs), left);
    std::map<PassageKey, Charge> charged = store.charges("2026-03-16 00:00:00", "2026-03-16 23:59:59");
    EXPECT_EQ(static_cast<int>(charged.size()), r.count(Outcome::Concluded));
    for (const PassageResult& p : r.passages) {
        if (p.outcome != Outcome::Concluded) continue;
        auto it = charged.find({p.cdCliente, p.cdConsumidor, p.moment});
        ASSERT_NE(it, charged.end()) << p.moment;
        EXPECT_EQ(it->second.coupon, p.coupon);
        EXPECT_DOUBLE_EQ(it->second.total, p.amount);
        EXPECT_EQ(store.couponFate(it->second.serial, std::stoll(p.coupon)), CouponFate::Standing);
    }
    // A credit put wrong (a request that ended early, a credit added twice) is
    // brought back to what the ledger says, and reported by the recovery.
    db::sql::exec(c, "spoil", "UPDATE LOGCATRACAPK SET NRVENDAGERADA = 3", {});
    EXPECT_EQ(store.importRecordsOutOfStep(), std::vector<std::string>{"1"});
    auto [before, after] = store.settleImportCredit("1");
    EXPECT_EQ(before, 3);
    EXPECT_EQ(after, r.count(Outcome::Concluded));
    EXPECT_TRUE(store.importRecordsOutOfStep().empty());
    db::sql::exec(c, "spoil", "UPDATE LOGCATRACAPK SET NRVENDAGERADA = 80", {});
    c.disconnect();
    RunReport again = run();
    ASSERT_FALSE(again.repairs.empty());
    EXPECT_NE(again.repairs[0].find("import record 1 credited with the"), std::string::npos) << again.repairs[0];
}

TEST_F(Ledger, APrinterMemoryBehindTheDatabaseIsRefusedBeforeAnythingIsPrinted) {
    fs::path memory = dir_ / "printer-state.json";
    fs::copy_file(memory, base_ / "copy.json");
    run();
    fs::copy_file(base_ / "copy.json", memory, fs::copy_options::overwrite_existing);
    std::string tapeBefore;
    {
        std::ifstream in(dir_ / "printer-tape.txt");
        tapeBefore.assign((std::istreambuf_iterator<char>(in)), {});
    }
    std::string m = messageOf([&] { run(); });
    EXPECT_NE(m.find("the printer memory " + memory.string() + " is behind the database"), std::string::npos) << m;
    std::ifstream in(dir_ / "printer-tape.txt");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), tapeBefore);
}

}  // namespace

namespace {

// What a station cannot be charged with is told when it is opened, with the
// file and the cause, before any coupon is printed.
class BadStation : public ::testing::Test {
  protected:
    void SetUp() override {
        base_ = scratch(::testing::UnitTest::GetInstance()->current_test_info()->name());
        InitOptions o;
        o.day = DateTime::fromDate(2026, 3, 16);
        dir_ = initStation(base_ / "st", o, nullptr);
    }
    void TearDown() override { fs::remove_all(base_); }
    void setDsDirCad(const std::string& value) {
        ds::Table t("ParametrosZel", {}, {}, {}, FormatSettings{});
        fs::path file = dir_ / "ParametrosZel.cds";
        t.loadFromFile(file);
        t.edit();
        t.field("DSDIRCAD").setAsString(value);
        t.post();
        t.saveToFile(file);
    }
    std::string openError() {
        return messageOf([&] { openStation(dir_); });
    }
    fs::path base_, dir_;
};

TEST_F(BadStation, ADirectoryOrUnreadableFileWhereATableFileBelongsIsRefused) {
    fs::path conf = dir_ / "Dados" / "Cadastros" / "ConfTipoRece.cds";
    fs::remove(conf);
    fs::create_directories(conf);
    std::string m = openError();
    EXPECT_NE(m.find(conf.string() + ": a cached table file is not a file"), std::string::npos) << m;
}

TEST_F(BadStation, ADamagedMovementDateFileIsToldUnderItsOwnName) {
    fs::path movement = dir_ / "Dados" / "Cadastros" / "DataMovimento.cds";
    std::ofstream(movement, std::ios::trunc) << "not a table";
    std::string m = openError();
    EXPECT_EQ(m.rfind(movement.string() + ": ", 0), 0u) << m;
}

TEST_F(BadStation, TheSaleDirectoryMustBeTheStationsOwn) {
    const std::string absolute = (dir_ / "Venda" / "").string();
    struct Case {
        std::string value, says;
    };
    for (const Case& c :
         {Case{"", "is empty"}, Case{(dir_ / "Venda").string(), "does not end with its separator"},
          Case{"Venda", "does not end with its separator"}, Case{(dir_ / "Nada" / "").string(), "is not a directory"},
          Case{"Nada/", "is not a directory"}, Case{(base_ / "").string(), "is outside the station"},
          Case{"../", "is outside the station"}}) {
        setDsDirCad(c.value);
        std::string m = openError();
        EXPECT_NE(m.find("the parameter DSDIRCAD \"" + c.value + "\" " + c.says), std::string::npos) << m;
        EXPECT_NE(m.find("e.g. \"Venda/\""), std::string::npos) << m;  // says what it should be
    }
    // The station's own relative form, and the absolute form an installation may give.
    for (const std::string& good : {std::string("Venda/"), absolute}) {
        setDsDirCad(good);
        EXPECT_EQ(openStation(dir_).params.saleDir, dir_ / "Venda" / "") << good;
    }
}

}  // namespace
