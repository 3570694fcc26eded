// The stored statements stay tied to the consumer's own rows on a branch with
// a long history: asked for its plan, SQLite never walks the branch's sales or
// items by the branch code alone, neither before any statistics were gathered
// nor after refreshStatistics.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "support/db_fixture.h"
#include "platform/db/query.h"
#include "platform/db/statement.h"

namespace zel::testing {
namespace {

using db::Backend;

constexpr int kConsumers = 1000;
constexpr int kRegisters = 5;
constexpr int kSales = 30000;

class HistoryPlanTest : public BackendTest {
  protected:
    // One branch, several registers, a thousand consumers of two clients,
    // tens of thousands of sales of two or three items spread over a year,
    // one in ten cancelled. No statistics are gathered here.
    void fillHistory() {
        bool lite = GetParam() == Backend::Sqlite3;
        auto series = [&](int n) {
            return lite ? "WITH RECURSIVE s(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM s WHERE i < " +
                              std::to_string(n - 1) + ") SELECT "
                        : std::string("SELECT ");
        };
        auto from = [&](int n) {
            return lite ? std::string(" FROM s") : " FROM generate_series(0, " + std::to_string(n - 1) + ") AS s(i)";
        };
        std::string txt = lite ? "CAST(i AS TEXT)" : "CAST(i AS VARCHAR)";
        auto textOf = [&](const std::string& e) {
            return lite ? "CAST(" + e + " AS TEXT)" : "CAST(" + e + " AS VARCHAR)";
        };
        std::string day = lite ? "date('2024-01-01', '+' || (i % 360) || ' days')" : "DATE '2024-01-01' + (i % 360)";
        admin_->beginTransaction();
        exec("INSERT INTO CLIENTE (CDCLIENTE, NMFANTCLIE) VALUES ('C1', 'Um'), ('C2', 'Dois')");
        exec("INSERT INTO CLIENFILIAL VALUES ('C1', '0001'), ('C2', '0001')");
        exec("INSERT INTO FAMILIASALDO VALUES ('001', 'Refeicao'), ('002', 'Lanche')");
        exec("INSERT INTO FAMSALDOFILI VALUES ('0001', '001'), ('0001', '002')");
        std::string client = "CASE WHEN i % 2 = 0 THEN 'C1' ELSE 'C2' END";
        exec(
            "INSERT INTO CONSUMIDOR (CDCLIENTE, CDCONSUMIDOR, CDIDCONSUMID, NMCONSUMIDOR, VRLIMDEBCONS, "
            "VRMAXDEBCONS) " +
            series(kConsumers) + client + ", " + txt + ", 'B' || " + txt + ", 'Consumidor', 300, 500" +
            from(kConsumers));
        exec("INSERT INTO SALDOCONS " + series(kConsumers) + client + ", " + txt + ", '001', 10" + from(kConsumers));
        std::string consumer = "(i % " + std::to_string(kConsumers) + ")";
        exec("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, CDCLIENTE, CDCONSUMIDOR, DTENTRVENDA, IDSITUVENDA) " +
             series(kSales) + "'0001', '00' || " + textOf("i % " + std::to_string(kRegisters) + " + 1") + ", " + txt +
             ", CASE WHEN " + consumer + " % 2 = 0 THEN 'C1' ELSE 'C2' END, " + textOf(consumer) + ", " + day +
             ", CASE WHEN i % 10 = 9 THEN 'C' ELSE 'O' END" + from(kSales));
        for (int item = 1; item <= 3; ++item)
            exec(
                "INSERT INTO ITEMVENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQITVEND, QTPRODVEND, VRUNITVEND, "
                "VRACRITVEND, VRDESITVEND) SELECT CDFILIAL, CDCAIXA, NRSEQVENDA, '" +
                std::to_string(item) + "', 1, 4.5, 0, 0 FROM VENDA" +
                (item == 3 ? std::string(" WHERE NRSEQVENDA LIKE '%5'") : std::string()));
        admin_->commit();
    }

    // The plan SQLite makes for the statement's exact text, one detail line
    // per step.
    std::vector<std::string> plan(const db::Statement& st) {
        db::Query q(*admin_, "plan of " + st.name(), "EXPLAIN QUERY PLAN " + st.sql(), st.params(),
                    {{"ID", db::ColumnType::Integer, 0},
                     {"PARENT", db::ColumnType::Integer, 0},
                     {"NOTUSED", db::ColumnType::Integer, 0},
                     {"DETAIL", db::ColumnType::Text, 0}});
        for (const db::ParamDecl& p : st.params()) {
            switch (p.type) {
                case db::ParamType::Text:
                    q.setText(p.name, "1");
                    break;
                case db::ParamType::Date:
                    q.setDate(p.name, DateTime::fromDate(2024, 3, 5));
                    break;
                case db::ParamType::Float:
                    q.setFloat(p.name, 1);
                    break;
            }
        }
        q.open();
        std::vector<std::string> lines;
        for (q.first(); !q.eof(); q.next()) lines.push_back(q.asText("DETAIL"));
        return lines;
    }

    std::vector<const db::Statement*> statements() {
        ModuleDatabase& m = *module_;
        return {&m.adqConsumidor, &m.adqCupomInicial,  &m.acmInsCupomInicial, &m.adqTipoRece,
                &m.adqConSaldFam, &m.adqVrSaldConsumi, &m.acmApagaLogCatraca, &m.acmIncLogCatracaPk};
    }

    // A step that walks the sales or items of the branch: a scan of either
    // table, or a search whose only key is the branch code.
    static bool walksBranch(const std::string& detail) {
        for (const char* table : {"VENDA", "ITEMVENDA", "VE", "IT"}) {
            std::string name = std::string(" ") + table + " ";
            if (detail.find(name) == std::string::npos && !detail.ends_with(std::string(" ") + table)) continue;
            if (detail.starts_with("SCAN")) return true;
            if (detail.starts_with("SEARCH") && detail.ends_with("(CDFILIAL=?)")) return true;
        }
        return false;
    }

    // Prepares the statement's exact text on the server as `name`, planned
    // the way the server settles on for a statement run again and again (its
    // generic plan), and returns the arguments to execute it with.
    std::string prepareOnServer(const db::Statement& st, const std::string& name) {
        std::string sql, args;
        size_t n = 0, copied = 0;
        const std::string& text = st.sql();
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != ':' || i + 1 >= text.size() || !(std::isalpha(static_cast<unsigned char>(text[i + 1])) ||
                                                             text[i + 1] == '_'))
                continue;
            size_t j = i + 1;
            while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) || text[j] == '_')) ++j;
            std::string param = text.substr(i + 1, j - i - 1);
            sql += text.substr(copied, i - copied) + "$" + std::to_string(++n);
            copied = j;
            bool isDate = false;
            for (const db::ParamDecl& p : st.params())
                if (p.name == param) isDate = p.type == db::ParamType::Date;
            args += std::string(n > 1 ? ", " : "") + (isDate ? "'2024-03-05'" : "'1'");
            i = j - 1;
        }
        sql += text.substr(copied);
        exec("SET plan_cache_mode = force_generic_plan");
        exec("PREPARE " + name + " AS " + sql);
        return n ? "(" + args + ")" : "";
    }

    // The plan the server keeps for a statement prepared as `name`, one line
    // per step.
    std::vector<std::string> keptPlan(const std::string& name, const std::string& args) {
        auto rows = db::sql::select(*admin_, "plan of " + name, "EXPLAIN EXECUTE " + name + args, {},
                                    {{"PLAN", db::ColumnType::Text}});
        std::vector<std::string> lines;
        for (const auto& row : rows) lines.push_back(db::sql::cellText(row[0]));
        return lines;
    }

    // The plan PostgreSQL keeps for the statement's exact text once it runs
    // it again and again, one line per step.
    std::vector<std::string> serverPlan(const db::Statement& st) {
        std::string args = prepareOnServer(st, "zel_plan");
        std::vector<std::string> lines = keptPlan("zel_plan", args);
        exec("DEALLOCATE zel_plan");
        exec("RESET plan_cache_mode");
        return lines;
    }

    static bool anyWalksBranch(const std::vector<std::string>& lines) {
        for (size_t i = 0; i < lines.size(); ++i)
            if (serverWalksBranch(lines, i)) return true;
        return false;
    }

    // A step of a server plan that walks the sales or items of the branch: a
    // scan of either table, or an index search whose only key is the branch.
    static bool serverWalksBranch(const std::vector<std::string>& lines, size_t at) {
        const std::string& step = lines[at];
        bool sales = false;
        for (const char* table : {" on venda ", " on itemvenda "})
            if (step.find(table) != std::string::npos) sales = true;
        for (const char* table : {" on venda", " on itemvenda"})
            if (step.ends_with(table)) sales = true;
        if (!sales) return false;
        if (step.find("Seq Scan") != std::string::npos) return true;
        for (size_t k = at + 1; k < lines.size() && k <= at + 3; ++k) {
            if (lines[k].find("->") != std::string::npos) break;
            // A bitmap heap scan names its keys in the recheck of its index's.
            if (lines[k].find("Index Cond:") == std::string::npos && lines[k].find("Recheck Cond:") == std::string::npos)
                continue;
            for (const char* key : {"cdconsumidor", "cdcaixa", "nrseqvenda", "cdcliente"})
                if (lines[k].find(key) != std::string::npos) return false;
            return true;
        }
        return step.find("Index") != std::string::npos || step.find("Bitmap") != std::string::npos;
    }

    void expectEveryServerPlanTiedToTheConsumer(const std::string& when) {
        for (const db::Statement* st : statements()) {
            std::vector<std::string> lines = serverPlan(*st);
            std::string all;
            for (const std::string& l : lines) all += "\n  " + l;
            EXPECT_FALSE(lines.empty()) << st->name();
            for (size_t i = 0; i < lines.size(); ++i)
                EXPECT_FALSE(serverWalksBranch(lines, i))
                    << st->name() << " " << when << " walks the branch's history:" << all;
        }
    }

    void expectEveryPlanTiedToTheConsumer(const std::string& when) {
        for (const db::Statement* st : statements()) {
            std::vector<std::string> lines = plan(*st);
            std::string all;
            for (const std::string& l : lines) all += "\n  " + l;
            for (const std::string& l : lines)
                EXPECT_FALSE(walksBranch(l)) << st->name() << " " << when << " walks the branch's history:" << all;
        }
    }
};

TEST_P(HistoryPlanTest, NoStatementWalksTheBranchHistoryWithOrWithoutStatistics) {
    if (GetParam() != Backend::Sqlite3) GTEST_SKIP() << "plans are checked on SQLite";
    fillHistory();
    // The check itself must see a walk of the branch for what it is.
    EXPECT_TRUE(walksBranch("SEARCH IT USING INDEX sqlite_autoindex_ITEMVENDA_1 (CDFILIAL=?)"));
    EXPECT_TRUE(walksBranch("SCAN VENDA"));
    EXPECT_FALSE(walksBranch("SEARCH IT USING INDEX X (CDFILIAL=? AND CDCAIXA=? AND NRSEQVENDA=?)"));

    int analysed = 0;
    admin_->executeDirect("SELECT 1");  // connected
    {
        db::Query q(*admin_, "stat", "SELECT COUNT(*) FROM sqlite_master WHERE name = 'sqlite_stat1'", {},
                    {{"N", db::ColumnType::Integer, 0}});
        q.open();
        analysed = static_cast<int>(q.asFloat("N"));
    }
    ASSERT_EQ(analysed, 0) << "the history must be planned without statistics";
    expectEveryPlanTiedToTheConsumer("without statistics");

    db::refreshStatistics(*admin_);
    db::Query q(*admin_, "stat", "SELECT COUNT(*) FROM sqlite_stat1 WHERE tbl = 'ITEMVENDA'", {},
                {{"N", db::ColumnType::Integer, 0}});
    q.open();
    EXPECT_GT(q.asFloat("N"), 0);
    expectEveryPlanTiedToTheConsumer("after refreshStatistics");
    // A second refresh on a database that has statistics is harmless.
    EXPECT_NO_THROW(db::refreshStatistics(*admin_));
}

TEST_P(HistoryPlanTest, NoKeptServerPlanWalksTheBranchHistoryWithOrWithoutStatistics) {
    if (GetParam() != Backend::PostgreSql) GTEST_SKIP() << "kept plans are the server's";
    fillHistory();
    // The check itself must see a walk of the branch for what it is.
    EXPECT_TRUE(serverWalksBranch({"Seq Scan on itemvenda it  (cost=0.00..1.00 rows=1 width=8)"}, 0));
    EXPECT_TRUE(serverWalksBranch({"->  Index Scan using venda_pkey on venda ve_1  (cost=0.15..8.18 rows=1 width=74)",
                                   "      Index Cond: ((cdfilial)::text = $6)"},
                                  0));
    EXPECT_FALSE(serverWalksBranch({"->  Index Only Scan using ix_itemvenda_valores on itemvenda it  (cost=0.15..8.17)",
                                    "      Index Cond: ((cdfilial = $1) AND (cdcaixa = (ve.cdcaixa)::text))"},
                                   0));
    EXPECT_FALSE(serverWalksBranch({"->  Bitmap Heap Scan on venda ve  (cost=4.33..13.28 rows=3 width=17)",
                                    "      Recheck Cond: (((cdconsumidor)::text = ($1)::text) AND (cdfilial = $1))"},
                                   0));
    EXPECT_TRUE(serverWalksBranch({"->  Bitmap Heap Scan on venda ve  (cost=4.33..13.28 rows=3 width=17)",
                                   "      Recheck Cond: ((cdfilial)::text = $1)"},
                                  0));
    expectEveryServerPlanTiedToTheConsumer("without statistics");
    db::refreshStatistics(*admin_);
    expectEveryServerPlanTiedToTheConsumer("after refreshStatistics");
}

// An installation's schema may hold tables the station's user cannot read:
// refreshing the statistics passes over them instead of failing the import.
TEST_P(HistoryPlanTest, RefreshingStatisticsPassesOverTablesTheStationCannotRead) {
    if (GetParam() != Backend::PostgreSql) GTEST_SKIP() << "privileges are the server's";
    exec("DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM PG_ROLES WHERE ROLNAME = 'zel_caixa') THEN "
         "CREATE ROLE zel_caixa LOGIN; END IF; END $$");
    exec("CREATE TABLE OUTRO_SISTEMA (X INTEGER)");
    exec("INSERT INTO OUTRO_SISTEMA VALUES (1)");
    exec("GRANT SELECT ON ALL TABLES IN SCHEMA public TO zel_caixa");
    exec("REVOKE SELECT ON OUTRO_SISTEMA FROM zel_caixa");
    std::string as = connectionString_;
    as.replace(as.find("user=postgres"), 13, "user=zel_caixa");
    db::Connection station(as);
    EXPECT_NO_THROW(db::refreshStatistics(station));
}

// The consumption sums over the long history are those of the consumer's own
// concluded sales, counted here the plain way.
TEST_P(HistoryPlanTest, SumsOverTheLongHistoryAreTheConsumersOwn) {
    fillHistory();
    db::refreshStatistics(*admin_);
    DateTime day = DateTime::fromDate(2024, 3, 5);  // day 64 of the history
    Variant v = module_->getVrSaldConsumi("0001", "C1", "B64", ModuleDatabase::PrimeiroDiaMes(day), day);
    ASSERT_TRUE(v.isPacket()) << v.toText(FormatSettings{});
    ASSERT_EQ(v.asPacket().records.size(), 1u);
    // Consumer 64 (client C1) buys on sales 64 + 1000 k, on day (64 + 1000 k) % 360.
    double dia = 0, mes = 0;
    for (int i = 64; i < kSales; i += kConsumers) {
        if (i % 10 == 9) continue;
        double items = (std::to_string(i).back() == '5') ? 3 : 2;
        int d = i % 360;
        if (d == 64) dia += items * 4.5;
        if (d >= 60 && d <= 64) mes += items * 4.5;  // March 1st is day 60 of 2024
    }
    const auto& row = v.asPacket().records[0].cells;
    EXPECT_DOUBLE_EQ(std::get<double>(row[2]), dia);
    EXPECT_DOUBLE_EQ(std::get<double>(row[3]), mes);
}

// A new station's server keeps the plans of the lookups it runs per consumer
// for as long as the session lives, and the first plans are made while the
// sales tables are still empty. As the day fills them, the sales, the
// coupons, the ledger of charged passages and the foreign-key checks of every
// stored row must still be found by their keys, not by a scan of the day.
TEST_P(HistoryPlanTest, ANewStationsDayOfSalesIsStillLookedUpByKeys) {
    if (GetParam() != Backend::PostgreSql) GTEST_SKIP() << "kept plans are the server's";
    db::refreshStatistics(*admin_);  // as a station does once it is made

    // The lookups as the session prepares them, planned once while the
    // tables are empty and kept (a generic plan, as the server settles on
    // for a statement run again and again).
    const std::vector<std::pair<std::string, std::string>> lookups = {
        {"charged passage",
         "SELECT NRSEQVENDA, NRSERIEIMP, NRCUPOMFIS FROM VENDAPASSAGEM WHERE CDFILIAL = $1 AND CDCAIXA = $2 "
         "AND CDCLIENTE = $3 AND CDCONSUMIDOR = $4 AND DTHRPASSAGEM = $5"},
        {"coupon already stored",
         "SELECT C.CDFILIAL, C.CDCAIXA, C.NRSEQVENDA, V.IDSITUVENDA FROM VENDACUPOM C, VENDA V "
         "WHERE C.NRSERIEIMP = $1 AND C.NRCUPOMFIS = $2 "
         "AND V.CDFILIAL = C.CDFILIAL AND V.CDCAIXA = C.CDCAIXA AND V.NRSEQVENDA = C.NRSEQVENDA"},
        {"sale number check", "SELECT NRSEQVENDA FROM VENDA WHERE CDFILIAL = $1 AND CDCAIXA = $2 AND NRSEQVENDA = $3"},
        {"foreign-key check of a stored row",
         "SELECT 1 FROM ONLY VENDA x WHERE CDFILIAL = $1 AND CDCAIXA = $2 AND NRSEQVENDA = $3 FOR KEY SHARE OF x"},
    };
    exec("SET plan_cache_mode = force_generic_plan");
    auto explain = [&](size_t k) {
        const auto& [name, sql] = lookups[k];
        size_t params = 0;
        for (size_t at = sql.find('$'); at != std::string::npos; at = sql.find('$', at + 1)) ++params;
        std::string args;
        for (size_t i = 0; i < params; ++i) args += i ? ", '1'" : "'1'";
        auto rows = db::sql::select(*admin_, name, "EXPLAIN EXECUTE zel_lookup_" + std::to_string(k) + "(" + args + ")",
                                    {}, {{"PLAN", db::ColumnType::Text}});
        std::string plan;
        for (const auto& row : rows) plan += "\n  " + db::sql::cellText(row[0]);
        return plan;
    };
    for (size_t k = 0; k < lookups.size(); ++k) {
        exec("PREPARE zel_lookup_" + std::to_string(k) + " AS " + lookups[k].second);
        explain(k);
    }

    admin_->beginTransaction();
    std::string sale = "LPAD(CAST(i AS VARCHAR), 10, '0')";
    std::string reg = "'00' || CAST(i % 5 + 1 AS VARCHAR)";
    exec("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, CDCLIENTE, CDCONSUMIDOR, DTENTRVENDA, IDSITUVENDA) "
         "SELECT '0001', " + reg + ", " + sale + ", 'C1', CAST(i AS VARCHAR), DATE '2026-03-16', 'O' "
         "FROM generate_series(0, 2999) AS s(i)");
    exec("INSERT INTO VENDACUPOM (NRSERIEIMP, NRCUPOMFIS, CDFILIAL, CDCAIXA, NRSEQVENDA, DTHRGRAVACAO) "
         "SELECT 'SIM' || " + reg + ", " + sale + ", '0001', " + reg + ", " + sale + ", '2026-03-16 12:00:00' "
         "FROM generate_series(0, 2999) AS s(i)");
    exec("INSERT INTO VENDAPASSAGEM (CDFILIAL, CDCAIXA, CDCLIENTE, CDCONSUMIDOR, DTHRPASSAGEM, NRSEQVENDA, "
         "NRSERIEIMP, NRCUPOMFIS) SELECT '0001', " + reg + ", 'C1', CAST(i AS VARCHAR), '2026-03-16 12:00:00', " +
         sale + ", 'SIM' || " + reg + ", " + sale + " FROM generate_series(0, 2999) AS s(i)");
    admin_->commit();

    for (size_t k = 0; k < lookups.size(); ++k) {
        std::string plan = explain(k);
        EXPECT_NE(plan.find("Index"), std::string::npos) << lookups[k].first << ":" << plan;
        EXPECT_EQ(plan.find("Seq Scan"), std::string::npos) << lookups[k].first << " scans the day's sales:" << plan;
        exec("DEALLOCATE zel_lookup_" + std::to_string(k));
    }
    exec("RESET plan_cache_mode");
}

// The consumption of a new station's consumers is planned while its sales
// table is nearly empty, and the server keeps that plan for the session: with
// every key estimated at one row, it may read the month's sales of the whole
// branch by the branch code alone. Once the day has filled the table, the
// station's upkeep analyses it and the kept plan is made again on the
// consumer's own sales. A table that has not doubled since is left as it is,
// and so is one too small to be worth statistics.
TEST_P(HistoryPlanTest, TheStationsUpkeepMakesKeptPlansAgainOnceTheDayHasFilledTheSales) {
    if (GetParam() != Backend::PostgreSql) GTEST_SKIP() << "kept plans are the server's";
    db::refreshStatistics(*admin_);  // as a station does once it is made
    std::string args = prepareOnServer(module_->adqVrSaldConsumi, "zel_consumption");
    keptPlan("zel_consumption", args);  // planned while the sales are none

    auto addSales = [&](int first, int count) {
        std::string range = "generate_series(" + std::to_string(first) + ", " + std::to_string(first + count - 1) + ")";
        std::string sale = "LPAD(CAST(i AS VARCHAR), 10, '0')";
        std::string reg = "'00' || CAST(i % 5 + 1 AS VARCHAR)";
        admin_->beginTransaction();
        exec("INSERT INTO VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, CDCLIENTE, CDCONSUMIDOR, DTENTRVENDA, IDSITUVENDA) "
             "SELECT '1', " + reg + ", " + sale + ", '1', CAST(i % 1000 AS VARCHAR), DATE '2024-03-05', 'O' FROM " +
             range + " AS s(i)");
        exec("INSERT INTO ITEMVENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, NRSEQITVEND, QTPRODVEND, VRUNITVEND, "
             "VRACRITVEND, VRDESITVEND) SELECT '1', " + reg + ", " + sale + ", '1', 1, 4.5, 0, 0 FROM " + range +
             " AS s(i)");
        admin_->commit();
    };
    auto salesTuples = [&]() {
        auto rows = db::sql::select(*admin_, "tuples", "SELECT RELTUPLES FROM PG_CLASS WHERE RELNAME = 'venda'", {},
                                    {{"N", db::ColumnType::Float}});
        return db::sql::cellNumber(rows.at(0)[0]);
    };

    addSales(0, 100);  // two pages: too few to be worth statistics
    db::refreshGrownStatistics(*admin_);
    EXPECT_LT(salesTuples(), 0) << "a small table is analysed, and plans kept on it would scan it as it grows";

    addSales(100, 2900);
    std::vector<std::string> before = keptPlan("zel_consumption", args);
    std::string shown;
    for (const std::string& l : before) shown += "\n  " + l;
    ASSERT_TRUE(anyWalksBranch(before)) << "the kept plan no longer shows the walk this upkeep is for:" << shown;

    db::refreshGrownStatistics(*admin_);
    std::vector<std::string> after = keptPlan("zel_consumption", args);
    shown.clear();
    for (const std::string& l : after) shown += "\n  " + l;
    EXPECT_FALSE(anyWalksBranch(after)) << "the kept plan still walks the branch's sales:" << shown;
    EXPECT_NEAR(salesTuples(), 3000, 300);

    addSales(3000, 1000);  // grown by a third: nothing due
    db::refreshGrownStatistics(*admin_);
    EXPECT_NEAR(salesTuples(), 3000, 300);
    addSales(4000, 3000);  // more than doubled since
    db::refreshGrownStatistics(*admin_);
    EXPECT_NEAR(salesTuples(), 7000, 700);

    exec("DEALLOCATE zel_consumption");
    exec("RESET plan_cache_mode");
}

INSTANTIATE_TEST_SUITE_P(Backends, HistoryPlanTest, ::testing::Values(Backend::Sqlite3, Backend::PostgreSql),
                         backendLabel);

}  // namespace
}  // namespace zel::testing
