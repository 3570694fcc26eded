// The checker itself: a day charged cleanly satisfies every invariant, and
// each kind of damage done by hand to that station is told.
#include <fmt/format.h>

#include <fstream>

#include "exactly_once/campaign.h"

namespace zel::eo {
namespace {

bool mentions(const CheckReport& r, const std::string& words) {
    for (const std::string& v : r.violations)
        if (v.find(words) != std::string::npos) return true;
    return false;
}

class Checker : public Campaign {};

TEST_F(Checker, ACleanDayHoldsAndEachDamageIsTold) {
    makeStation(0);
    ProgramResult r = station().run("day");
    ASSERT_LE(r.status, 1) << r.output;
    const fs::path dir = station().dir(), db = station().db();
    CheckReport clean = checkStation(dir, snapshot());
    EXPECT_TRUE(clean.ok()) << clean.text();
    ASSERT_FALSE(passages().empty());

    // A sale stored again for a passage already charged.
    const PassageRow& p = passages()[0];
    Rows key = query(db,
                     "SELECT V.NRSEQVENDA FROM VENDA V JOIN VENDACUPOM VC ON VC.CDFILIAL = V.CDFILIAL AND "
                     "VC.CDCAIXA = V.CDCAIXA AND VC.NRSEQVENDA = V.NRSEQVENDA WHERE VC.DTHRPASSAGEM = " +
                         sqlText(p.moment) + " AND V.CDCONSUMIDOR = " + sqlText(p.consumer));
    ASSERT_EQ(key.size(), 1u);
    const std::string sale = key[0][0].value_or("");
    exec(db,
         "INSERT INTO VENDA SELECT CDFILIAL, CDCAIXA, 'X' || NRSEQVENDA, CDCLIENTE, CDCONSUMIDOR, DTENTRVENDA, "
         "IDSITUVENDA, 'X' || NRCUPOMFIS, VRTOTVENDA FROM VENDA WHERE NRSEQVENDA = " +
             sqlText(sale));
    exec(db,
         "INSERT INTO VENDACUPOM (NRSERIEIMP, NRCUPOMFIS, CDFILIAL, CDCAIXA, NRSEQVENDA, DTHRPASSAGEM, "
         "DTHRGRAVACAO) SELECT NRSERIEIMP, 'X' || NRCUPOMFIS, CDFILIAL, CDCAIXA, 'X' || NRSEQVENDA, DTHRPASSAGEM, "
         "DTHRGRAVACAO FROM VENDACUPOM WHERE NRSEQVENDA = " +
             sqlText(sale));
    EXPECT_TRUE(mentions(checkStation(dir, snapshot()), "charged 2 times"));
    exec(db, "DELETE FROM VENDACUPOM WHERE NRSEQVENDA = 'X' || " + sqlText(sale));
    exec(db, "DELETE FROM VENDA WHERE NRSEQVENDA = 'X' || " + sqlText(sale));

    // A sale cancelled behind the printer's back: the row is gone without a
    // standing sale, the coupon is neither standing nor cancelled on the tape.
    exec(db, "UPDATE VENDA SET IDSITUVENDA = 'C' WHERE NRSEQVENDA = " + sqlText(sale));
    CheckReport gone = checkStation(dir, snapshot());
    EXPECT_TRUE(mentions(gone, "no standing sale charges it")) << gone.text();
    EXPECT_TRUE(mentions(gone, "disagree")) << gone.text();
    EXPECT_TRUE(mentions(gone, "credited")) << gone.text();
    exec(db, "UPDATE VENDA SET IDSITUVENDA = 'O' WHERE NRSEQVENDA = " + sqlText(sale));

    // A balance a cent off, a credit one too many, a stray file.
    exec(db,
         "UPDATE SALDOCONS SET VRSALDCONFAM = VRSALDCONFAM - 0.01 WHERE rowid = (SELECT MIN(rowid) FROM SALDOCONS)");
    EXPECT_TRUE(mentions(checkStation(dir, snapshot()), "balance of consumer"));
    exec(db,
         "UPDATE SALDOCONS SET VRSALDCONFAM = VRSALDCONFAM + 0.01 WHERE rowid = (SELECT MIN(rowid) FROM SALDOCONS)");
    exec(db, "UPDATE LOGCATRACAPK SET NRVENDAGERADA = NRVENDAGERADA + 1");
    EXPECT_TRUE(mentions(checkStation(dir, snapshot()), "import record"));
    exec(db, "UPDATE LOGCATRACAPK SET NRVENDAGERADA = NRVENDAGERADA - 1");
    std::ofstream(dir / "Venda" / "cdsVenda.cds") << "x";
    std::ofstream(dir / "printer-state.json.tmp") << "x";
    CheckReport files = checkStation(dir, snapshot());
    EXPECT_TRUE(mentions(files, "cdsVenda.cds")) << files.text();
    EXPECT_TRUE(mentions(files, ".tmp")) << files.text();
    fs::remove(dir / "Venda" / "cdsVenda.cds");
    fs::remove(dir / "printer-state.json.tmp");

    // The last coupon's total changed: the printer's total disagrees.
    exec(db,
         "UPDATE VENDA SET VRTOTVENDA = VRTOTVENDA + 1 WHERE NRCUPOMFIS = (SELECT MAX(NRCUPOMFIS) FROM VENDACUPOM)");
    EXPECT_TRUE(mentions(checkStation(dir, snapshot()), "differs from the printer's"));
    exec(db,
         "UPDATE VENDA SET VRTOTVENDA = VRTOTVENDA - 1 WHERE NRCUPOMFIS = (SELECT MAX(NRCUPOMFIS) FROM VENDACUPOM)");

    CheckReport again = checkStation(dir, snapshot());
    EXPECT_TRUE(again.ok()) << again.text();
}

}  // namespace
}  // namespace zel::eo
