// The campaign on a station whose database is PostgreSQL, where a sale's
// writes travel ahead of their answers and commit in one exchange, and the
// turnstile row's removal commits without waiting for the server's flush or
// answer: a crash after each step of a sale, SIGKILLs at random moments, a
// write the server refuses, two runs at once and a printer fault, each
// followed by a clean run after which every invariant holds.
#include <fmt/format.h>

#include <algorithm>
#include <csignal>
#include <random>
#include <sstream>

#include "exactly_once/campaign.h"

namespace zel::eo {
namespace {

struct Crash {
    const char* operation;
    int index;
    const char* provoke = nullptr;
    std::string name() const { return fmt::format("{}_{}", operation, index); }
};

const Crash kCrashes[] = {
    {"AbreCupom", 2},
    {"VendaItem", 3},
    {"FechaCupom", 1},
    {"Atu_TotGeral", 3},
    {"SetConcluiFechamento", 2},
    {"IncluiVendaCan", 1, "printer.fault.FechaCupom=error@always"},
    {"DesativaProcesso", 3},
};

void PrintTo(const Crash& c, std::ostream* os) { *os << c.name(); }

class PostgresCrash : public Campaign, public ::testing::WithParamInterface<Crash> {};

TEST_P(PostgresCrash, ThenACleanRunChargesEachPassageOnce) {
    const Crash& c = GetParam();
    makeStation(3, true);
    if (IsSkipped() || HasFatalFailure()) return;
    if (c.provoke) {
        std::string p = c.provoke;
        station().setKey(p.substr(0, p.find('=')), p.substr(p.find('=') + 1));
    }
    station().setKey(std::string("crash.after.") + c.operation, std::to_string(c.index));
    ProgramResult crashed = station().run("crashed");
    ASSERT_EQ(crashed.output.find("geracupom.conf:"), std::string::npos)
        << "the crash point was not taken: " << crashed.output;
    EXPECT_EQ(crashed.status, 128 + SIGKILL) << crashed.output;
    cleanRunAndCheck("postgresql crash");
}

INSTANTIATE_TEST_SUITE_P(After, PostgresCrash, ::testing::ValuesIn(kCrashes),
                         [](const ::testing::TestParamInfo<Crash>& info) { return info.param.name(); });

class PostgresKill : public Campaign, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(PostgresKill, ThenACleanRunChargesEachPassageOnce) {
    makeStation(20, true);
    if (IsSkipped() || HasFatalFailure()) return;
    std::mt19937 random(GetParam());
    // A batch of twenty takes a few hundred milliseconds here too, start included.
    std::uniform_int_distribution<int> delay(5, 250);
    int ms = delay(random);
    ProgramResult killed = finish(station().startRun("killed"), std::chrono::milliseconds(ms));
    std::cout << "killed after " << ms << " ms: status " << killed.status << "\n";
    cleanRunAndCheck("postgresql random kill");
}

// Three seeds; twenty-four with ZEL_FULL_MATRIX=1.
std::vector<uint32_t> killSeeds() {
    std::vector<uint32_t> seeds{13u, 29u, 71u};
    if (fullMatrix())
        for (uint32_t s = 100; s < 121; ++s) seeds.push_back(s);
    return seeds;
}

INSTANTIATE_TEST_SUITE_P(Seeds, PostgresKill, ::testing::ValuesIn(killSeeds()));

// A statement that fails on the server: a write sent ahead fails at the
// commit (the family balance's upsert among them, as an update of its row),
// and a sale whose number was taken for granted is tried again with the
// checks, which fail the same way; the turnstile row's removal fails in its
// unflushed transaction. Six writes; every table and statement with
// ZEL_FULL_MATRIX=1.
struct Write {
    std::string statement, table;
    bool made = true;  // every run makes it
};

std::vector<Write> serverWrites() {
    std::vector<Write> out{{"INSERT", "VENDA"},     {"INSERT", "ITEMVENDA"},  {"UPDATE", "SALDOCONS"},
                           {"INSERT", "VENDACUPOM"}, {"INSERT", "MOVCAIXA"}, {"DELETE", "LOGCATRACA"}};
    if (fullMatrix())
        for (const char* t : {"VENDA", "ITEMVENDA", "MOVCAIXA", "SALDOCONS", "VENDACUPOM", "VENDAPASSAGEM",
                              "VENDASALDOFAM", "ITEMVENDACUPOM", "NOVOCODIGO", "LOGCATRACA"})
            for (const char* st : {"INSERT", "UPDATE", "DELETE"})
                if (std::none_of(out.begin(), out.end(), [&](const Write& w) { return w.statement == st && w.table == t; }))
                    out.push_back({st, t, false});
    return out;
}

void PrintTo(const Write& w, std::ostream* os) { *os << w.statement << " " << w.table; }

class PostgresFailingWrite : public Campaign, public ::testing::WithParamInterface<Write> {};

TEST_P(PostgresFailingWrite, ForOneRunThenACleanRunChargesEachPassageOnce) {
    const Write& w = GetParam();
    makeStation(3, true);
    if (IsSkipped() || HasFatalFailure()) return;
    exec(station().db(),
         "CREATE FUNCTION eo_fail() RETURNS trigger LANGUAGE plpgsql AS "
         "$$ BEGIN RAISE EXCEPTION 'the write fails on %', TG_TABLE_NAME; END $$");
    exec(station().db(), fmt::format("CREATE TRIGGER eo_fail BEFORE {} ON {} FOR EACH ROW EXECUTE FUNCTION eo_fail()",
                                     w.statement, w.table));
    ProgramResult failing = station().run("failing");
    EXPECT_LE(failing.status, 2) << failing.output;
    // A write a run makes fails it: the sale is not concluded (status 1), or
    // the passage tells the server's words (the turnstile row kept).
    if (w.made) {
        EXPECT_TRUE(failing.status == 1 || failing.output.find("the write fails on") != std::string::npos)
            << failing.output;
        // A sale the server would not store says why, with the server's words,
        // beside the service's own message.
        if (w.table != "LOGCATRACA") {
            EXPECT_NE(failing.output.find("storing the sale ended in an error: "), std::string::npos) << failing.output;
        }
    }
    exec(station().db(), fmt::format("DROP TRIGGER eo_fail ON {}", w.table));
    exec(station().db(), "DROP FUNCTION eo_fail()");
    cleanRunAndCheck("postgresql failing write");
}

INSTANTIATE_TEST_SUITE_P(Statements, PostgresFailingWrite, ::testing::ValuesIn(serverWrites()),
                         [](const ::testing::TestParamInfo<Write>& i) {
                             return i.param.statement + "_" + i.param.table;
                         });

class PostgresStation : public Campaign {};

TEST_F(PostgresStation, TwoRunsAtOnceChargeEachPassageOnce) {
    makeStation(12, true);
    if (IsSkipped() || HasFatalFailure()) return;
    twoRunsAtOnce();
    cleanRunAndCheck("postgresql two runs");
}

TEST_F(PostgresStation, AClosingThatFailsCancelsTheCouponAndTheNextRunChargesIt) {
    makeStation(3, true);
    if (IsSkipped() || HasFatalFailure()) return;
    station().setKey("printer.fault.FechaCupom", "error@2");
    ProgramResult faulty = station().run("faulty");
    EXPECT_LE(faulty.status, 2) << faulty.output;
    cleanRunAndCheck("postgresql fault");
}

// On a server each passage's reads travel ahead of it, behind the commit
// that stored the sale before it; SQLite reads when asked. A
// consumer who passes twice in a row gets the same coupons on both: the
// second one prints the balances and the day's consumption the first sale
// left.
TEST_F(PostgresStation, AConsumerTwiceInARowIsPrintedWhatTheFirstSaleLeftAsOnSQLite) {
    makeStation(3, true);
    if (IsSkipped() || HasFatalFailure()) return;
    TestStation reference(base() / "reference", 7);
    ASSERT_EQ(reference.keepPassages(3), 3);
    // The first passage again, a second after it (HHMM becomes HHMM01).
    const std::string again =
        "INSERT INTO LOGCATRACA (CDFILIAL, NRSEQLOGCAT, CDCAIXA, NMCONSUMIDOR, CDIDCONSUMID, CDCONSUMIDOR, "
        "CDCLIENTE, CDTIPOCONS, NRSEQARQIMP, DATAREAL, HORAREAL) "
        "SELECT CDFILIAL, '9001', CDCAIXA, NMCONSUMIDOR, CDIDCONSUMID, CDCONSUMIDOR, CDCLIENTE, CDTIPOCONS, "
        "NRSEQARQIMP, DATAREAL, HORAREAL || '01' FROM LOGCATRACA WHERE NRSEQLOGCAT = ";
    for (TestStation* s : {&station(), &reference}) {
        std::string first = scalar(s->db(),
                                   "SELECT NRSEQLOGCAT FROM LOGCATRACA ORDER BY NRSEQARQIMP, DATAREAL, HORAREAL, "
                                   "NRSEQLOGCAT LIMIT 1");
        exec(s->db(), again + sqlText(first));
    }
    ProgramResult onServer = station().run("server");
    ProgramResult onFile = reference.run("sqlite");
    ASSERT_EQ(onServer.status, 0) << onServer.output;
    ASSERT_EQ(onFile.status, 0) << onFile.output;
    // The coupons without the moment each was printed, which follows the clock.
    auto coupons = [](const fs::path& tape) {
        std::string text = slurp(tape), out;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);)
            if (line.find("CCF:") == std::string::npos) out += line + "\n";
        return out;
    };
    std::string expected = coupons(reference.dir() / "printer-tape.txt");
    std::vector<std::string> consumers, dayConsumption;
    for (size_t at = expected.find("CONSUMIDOR: "); at != std::string::npos; at = expected.find("CONSUMIDOR: ", at + 1))
        consumers.push_back(expected.substr(at, expected.find('\n', at) - at));
    for (size_t at = expected.find("CONSUMO DO DIA"); at != std::string::npos; at = expected.find("CONSUMO DO DIA", at + 1))
        dayConsumption.push_back(expected.substr(at, expected.find('\n', at) - at));
    ASSERT_EQ(consumers.size(), 4u) << expected;
    ASSERT_EQ(dayConsumption.size(), 4u) << expected;
    EXPECT_EQ(consumers[0], consumers[1]);
    EXPECT_NE(dayConsumption[0], dayConsumption[1]) << "the second coupon counts the first sale";
    EXPECT_EQ(coupons(station().dir() / "printer-tape.txt"), expected);
}

}  // namespace
}  // namespace zel::eo
