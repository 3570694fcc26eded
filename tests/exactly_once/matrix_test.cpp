// The matrices: a printer fault or a crash at every call a batch of three
// consumers reaches, SIGKILLs at random moments of a batch of twenty, two runs
// at once, and a statement failing at each write; each case ends with a clean
// run after which every invariant holds.
#include <fmt/format.h>

#include <csignal>
#include <random>
#include <thread>

#include "exactly_once/campaign.h"

namespace zel::eo {
namespace {

// How far the calls of one batch of three consumers reach, per operation (the
// demo's first three consumers buy one item each).
struct Reach {
    const char* operation;
    int last;
    // A fault that makes the operation be called at all (cancellations
    // happen only when something fails).
    const char* provoke = nullptr;
};

const Reach kPrinterOps[] = {
    {"VerificaData", 1}, {"VerificaSerialImp", 1},
    {"Atu_TotGeral", 4},  // the printer check, then after each closed coupon
    {"AbreCupom", 3},    {"VendaItem", 3},
    {"FechaCupom", 3},   {"Cancela_Cupom_Imp", 3, "printer.fault.FechaCupom=error@always"},
};

const Reach kCrashOps[] = {
    {"AbreCupom", 3},
    {"VendaItem", 3},
    {"FechaCupom", 3},
    {"Atu_TotGeral", 4},
    {"Cancela_Cupom_Imp", 3, "printer.fault.FechaCupom=error@always"},
    {"SetConcluiFechamento", 3},
    {"IncluiVendaCan", 3, "printer.fault.FechaCupom=error@always"},
    {"LogControleAcess", 3, "printer.fault.FechaCupom=error@always"},
    {"AtivaProcesso", 3},
    {"DesativaProcesso", 3},
};

struct Case {
    std::string operation, kind;  // kind: "false", "error" or "crash"
    int index = 0;
    std::string provoke;
    std::string name() const { return fmt::format("{}_{}_{}", operation, kind, index); }
};

void applyProvoke(TestStation& s, const std::string& provoke) {
    if (provoke.empty()) return;
    size_t eq = provoke.find('=');
    s.setKey(provoke.substr(0, eq), provoke.substr(eq + 1));
}

std::vector<Case> faultCases() {
    std::vector<Case> out;
    for (const Reach& r : kPrinterOps)
        for (const char* kind : {"false", "error"})
            for (int i = 1; i <= r.last; ++i) {
                Case c{r.operation, kind, i, r.provoke ? r.provoke : ""};
                if (sampled(c.operation + kind, i, r.last)) out.push_back(c);
            }
    return out;
}

std::vector<Case> crashCases() {
    std::vector<Case> out;
    for (const Reach& r : kCrashOps)
        for (int i = 1; i <= r.last; ++i) {
            Case c{r.operation, "crash", i, r.provoke ? r.provoke : ""};
            if (sampled(c.operation + "crash", i, r.last)) out.push_back(c);
        }
    return out;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name(); }

std::string caseName(const ::testing::TestParamInfo<Case>& info) { return info.param.name(); }

// ---- printer faults

class FaultMatrix : public Campaign, public ::testing::WithParamInterface<Case> {};

TEST_P(FaultMatrix, ThenACleanRunChargesEachPassageOnce) {
    const Case& c = GetParam();
    makeStation(3);
    applyProvoke(station(), c.provoke);
    station().setKey("printer.fault." + c.operation, fmt::format("{}@{}", c.kind, c.index));
    ProgramResult faulty = station().run("faulty");
    EXPECT_LE(faulty.status, 2) << faulty.output;
    ASSERT_EQ(faulty.output.find("geracupom.conf:"), std::string::npos) << "the fault was not taken: " << faulty.output;
    cleanRunAndCheck("fault matrix");
}

INSTANTIATE_TEST_SUITE_P(Printer, FaultMatrix, ::testing::ValuesIn(faultCases()), caseName);

// ---- crashes right after an operation

class CrashMatrix : public Campaign, public ::testing::WithParamInterface<Case> {};

TEST_P(CrashMatrix, ThenACleanRunChargesEachPassageOnce) {
    const Case& c = GetParam();
    makeStation(3);
    applyProvoke(station(), c.provoke);
    station().setKey("crash.after." + c.operation, std::to_string(c.index));
    ProgramResult crashed = station().run("crashed");
    ASSERT_EQ(crashed.output.find("geracupom.conf:"), std::string::npos)
        << "the crash point was not taken: " << crashed.output;
    // A crash point beyond what the batch reaches lets the run end normally.
    EXPECT_TRUE(crashed.status == 128 + SIGKILL || crashed.status <= 1) << crashed.output;
    cleanRunAndCheck("crash matrix");
}

INSTANTIATE_TEST_SUITE_P(After, CrashMatrix, ::testing::ValuesIn(crashCases()), caseName);

// ---- SIGKILL at a random moment of a batch of twenty

class RandomKill : public Campaign, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(RandomKill, ThenACleanRunChargesEachPassageOnce) {
    makeStation(20);
    std::mt19937 random(GetParam());
    // A batch of twenty takes a few hundred milliseconds; the kill falls
    // anywhere in it, now and then before it starts or after it ended.
    std::uniform_int_distribution<int> delay(5, 900);
    int ms = delay(random);
    ProgramResult killed = finish(station().startRun("killed"), std::chrono::milliseconds(ms));
    std::cout << "killed after " << ms << " ms: status " << killed.status << "\n";
    cleanRunAndCheck("random kill");
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomKill, ::testing::Values(11u, 23u, 37u, 41u, 59u, 67u));

// ---- two runs at once

class TwoRuns : public Campaign, public ::testing::WithParamInterface<int> {};

TEST_P(TwoRuns, StartedAtOnceThenACleanRunChargeEachPassageOnce) {
    makeStation(GetParam() % 2 ? 3 : 12);
    twoRunsAtOnce();
    cleanRunAndCheck("two runs");
}

INSTANTIATE_TEST_SUITE_P(Repetitions, TwoRuns, ::testing::Range(1, 5));

// ---- a statement failing at each write

struct Write {
    std::string table, statement;  // INSERT, UPDATE or DELETE
};

std::vector<Write> writes() {
    std::vector<Write> out;
    for (const char* t : {"VENDA", "ITEMVENDA", "MOVCAIXA", "SALDOCONS", "VENDACUPOM", "LOGCATRACA", "LOGCATRACAPK"})
        for (const char* s : {"INSERT", "UPDATE", "DELETE"}) out.push_back({t, s});
    return out;
}

void PrintTo(const Write& w, std::ostream* os) { *os << w.statement << " " << w.table; }

class FailingWrite : public Campaign, public ::testing::WithParamInterface<Write> {};

TEST_P(FailingWrite, ForOneRunThenACleanRunChargesEachPassageOnce) {
    const Write& w = GetParam();
    makeStation(3);
    exec(station().db(), fmt::format("CREATE TRIGGER EO_FAIL BEFORE {} ON {} BEGIN "
                                     "SELECT RAISE(ABORT, 'database is locked'); END",
                                     w.statement, w.table));
    ProgramResult failing = station().run("failing");
    EXPECT_LE(failing.status, 2) << failing.output;
    // A sale the database would not store says why, beside the service's own message.
    if (w.statement == "INSERT" &&
        (w.table == "VENDA" || w.table == "ITEMVENDA" || w.table == "MOVCAIXA" || w.table == "VENDACUPOM")) {
        EXPECT_NE(failing.output.find("storing the sale ended in an error: "), std::string::npos) << failing.output;
    }
    exec(station().db(), "DROP TRIGGER EO_FAIL");
    cleanRunAndCheck("failing write");
}

INSTANTIATE_TEST_SUITE_P(Statements, FailingWrite, ::testing::ValuesIn(writes()),
                         [](const ::testing::TestParamInfo<Write>& i) {
                             return i.param.statement + "_" + i.param.table;
                         });

}  // namespace
}  // namespace zel::eo
