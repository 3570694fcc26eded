// The invariant checker: passages, coupons, tape, balances, import credits and
// leftover files of a station against a snapshot taken before.
#include "exactly_once/invariants.h"

#include <fmt/format.h>

#include <algorithm>
#include <regex>
#include <set>

#include "exactly_once/station.h"
#include "external/printer/printer_state.h"

namespace zel::eo {

namespace {

std::string cell(const Cell& c) { return c.value_or(""); }

// 'YYYY-MM-DD HH:MM:SS' of a stored day and an hour HHMM or HHMMSS.
std::string passageMoment(const std::string& day, const std::string& hour) {
    std::string h = hour;
    h.erase(std::remove(h.begin(), h.end(), ':'), h.end());
    if (h.size() == 4) h += "00";
    if (h.size() != 6) return day.substr(0, 10) + " ?" + hour;
    return day.substr(0, 10) + " " + h.substr(0, 2) + ":" + h.substr(2, 2) + ":" + h.substr(4, 2);
}

std::string sixDigits(int64_t n) { return fmt::format("{:06d}", n); }

std::string describe(const PassageRow& p) {
    return fmt::format("passage {}/{} ({} {}, consumer {}, import record {})", p.branch, p.number, p.name, p.moment,
                       p.consumer, p.record);
}

// The standing sales that charge a passage, by sale key.
std::string standingSalesSql(const PassageRow& p) {
    return "SELECT V.CDFILIAL, V.CDCAIXA, V.NRSEQVENDA FROM VENDA V JOIN VENDACUPOM VC ON VC.CDFILIAL = V.CDFILIAL "
           "AND VC.CDCAIXA = V.CDCAIXA AND VC.NRSEQVENDA = V.NRSEQVENDA WHERE V.IDSITUVENDA = 'O' AND "
           "VC.DTHRCANCEL IS NULL AND V.CDFILIAL = " +
           sqlText(p.branch) + " AND V.CDCAIXA = " + sqlText(p.register_) +
           " AND V.CDCONSUMIDOR = " + sqlText(p.consumer) + " AND V.CDCLIENTE = " + sqlText(p.client) +
           " AND VC.DTHRPASSAGEM = " + sqlText(p.moment);
}

struct SaleNow {
    bool standing = false;
    std::string consumer, client, passageMoment, coupon, serial;
    int64_t totalCents = 0;
};

std::map<SaleKey, SaleNow> salesNow(const fs::path& db) {
    std::map<SaleKey, SaleNow> out;
    Rows rows = query(db,
                      "SELECT V.CDFILIAL, V.CDCAIXA, V.NRSEQVENDA, V.IDSITUVENDA, VC.DTHRCANCEL, V.CDCONSUMIDOR, "
                      "V.CDCLIENTE, VC.DTHRPASSAGEM, VC.NRCUPOMFIS, VC.NRSERIEIMP, V.VRTOTVENDA, "
                      "VC.NRSERIEIMP IS NOT NULL FROM VENDA V LEFT JOIN VENDACUPOM VC ON VC.CDFILIAL = V.CDFILIAL "
                      "AND VC.CDCAIXA = V.CDCAIXA AND VC.NRSEQVENDA = V.NRSEQVENDA");
    for (const auto& r : rows) {
        SaleNow s;
        s.standing = cell(r[3]) == "O" && !r[4] && cell(r[11]) == "1";
        s.consumer = cell(r[5]);
        s.client = cell(r[6]);
        s.passageMoment = cell(r[7]);
        s.coupon = cell(r[8]);
        s.serial = cell(r[9]);
        s.totalCents = r[10] ? cents(std::stod(*r[10])) : 0;
        out[{cell(r[0]), cell(r[1]), cell(r[2])}] = s;
    }
    return out;
}

std::map<BalanceKey, int64_t> balances(const fs::path& db) {
    std::map<BalanceKey, int64_t> out;
    for (const auto& r : query(db, "SELECT CDCLIENTE, CDCONSUMIDOR, CDFAMILISALD, VRSALDCONFAM FROM SALDOCONS"))
        out[{cell(r[0]), cell(r[1]), cell(r[2])}] = r[3] ? cents(std::stod(*r[3])) : 0;
    return out;
}

std::map<std::string, int64_t> credits(const fs::path& db) {
    std::map<std::string, int64_t> out;
    for (const auto& r : query(db, "SELECT NRSEQARQIMPK, NRVENDAGERADA FROM LOGCATRACAPK"))
        out[cell(r[0])] = r[1] ? std::llround(std::stod(*r[1])) : 0;
    return out;
}

std::string keyText(const SaleKey& k) {
    return fmt::format("{}/{}/{}", std::get<0>(k), std::get<1>(k), std::get<2>(k));
}

}  // namespace

std::string CheckReport::text() const {
    std::string out;
    for (const std::string& v : violations) out += "violation: " + v + "\n";
    for (const std::string& u : undecided) out += "undecided: " + u + "\n";
    return out;
}

bool parseTapeMoney(const std::string& text, int64_t& cents) {
    static const std::regex money("^(-?)([0-9]{1,3}(\\.[0-9]{3})*),([0-9]{2})$");
    std::smatch m;
    if (!std::regex_match(text, m, money)) return false;
    std::string whole = m[2];
    whole.erase(std::remove(whole.begin(), whole.end(), '.'), whole.end());
    cents = std::stoll(whole) * 100 + std::stoll(m[4]);
    if (m[1] == "-") cents = -cents;
    return true;
}

std::vector<TapeReceipt> readTape(const fs::path& station) {
    std::vector<TapeReceipt> out;
    fs::path tape = station / "printer-tape.txt";
    std::error_code ec;
    if (!fs::is_regular_file(tape, ec)) return out;
    std::string all = slurp(tape);
    static const std::regex coo("COO:([0-9]{6})");
    static const std::regex cancelled("^COO do cupom cancelado +([0-9]{6})$");
    auto amountAtEnd = [](const std::string& line, int64_t& value) {
        size_t blank = line.find_last_of(' ');
        return blank != std::string::npos && parseTapeMoney(line.substr(blank + 1), value);
    };
    std::vector<std::string> lines;
    auto flush = [&]() {
        if (lines.empty()) return;
        TapeReceipt r;
        bool inPayments = false;
        for (const std::string& line : lines) {
            std::smatch m;
            if (line.find("CUPOM FISCAL CANCELADO") != std::string::npos) r.cancellation = true;
            if (!r.cancellation && r.coupon == 0 && std::regex_search(line, m, coo)) r.coupon = std::stoll(m[1]);
            if (std::regex_match(line, m, cancelled)) r.coupon = std::stoll(m[1]);
            int64_t v = 0;
            if ((line.rfind("TOTAL R$", 0) == 0 || line.rfind("VALOR CANCELADO R$", 0) == 0) && amountAtEnd(line, v)) {
                r.totalCents = v;
                inPayments = line.rfind("TOTAL R$", 0) == 0;
                continue;
            }
            if (inPayments) {
                if (line.find_first_not_of('-') == std::string::npos || !amountAtEnd(line, v)) {
                    inPayments = false;
                } else {
                    std::string form = line.substr(0, line.find_last_of(' '));
                    while (!form.empty() && form.back() == ' ') form.pop_back();
                    r.payments.emplace_back(form, v);
                }
            }
        }
        out.push_back(r);
        lines.clear();
    };
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t end = all.find('\n', pos);
        std::string line = all.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (line.empty()) flush();
        else lines.push_back(line);
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    flush();
    return out;
}

Snapshot takeSnapshot(const fs::path& station) {
    fs::path db = station / "station.db";
    Snapshot s;
    for (const auto& r : query(db,
                               "SELECT CDFILIAL, NRSEQLOGCAT, CDCAIXA, CDCONSUMIDOR, CDCLIENTE, NMCONSUMIDOR, "
                               "NRSEQARQIMP, DATAREAL, HORAREAL FROM LOGCATRACA ORDER BY CDFILIAL, NRSEQLOGCAT")) {
        PassageRow p{cell(r[0]), cell(r[1]), cell(r[2]), cell(r[3]),
                     cell(r[4]), cell(r[5]), cell(r[6]), passageMoment(cell(r[7]), cell(r[8]))};
        s.passages.push_back(p);
    }
    s.balancesCents = balances(db);
    s.credits = credits(db);
    for (const auto& [key, sale] : salesNow(db)) s.sales[key] = sale.standing;
    ext::PrinterState state = ext::loadPrinterState(station / "printer-state.json");
    s.cupNr = state.cupNr;
    s.cancelTotalCents = state.cancelTotalCents;
    s.grandTotalCents = state.grandTotalCents;
    s.serial = state.identity.serial;
    return s;
}

int standingSalesFor(const fs::path& station, const PassageRow& passage) {
    return static_cast<int>(query(station / "station.db", standingSalesSql(passage)).size());
}

bool passagePending(const fs::path& station, const PassageRow& passage) {
    return !query(station / "station.db", "SELECT 1 FROM LOGCATRACA WHERE CDFILIAL = " + sqlText(passage.branch) +
                                              " AND NRSEQLOGCAT = " + sqlText(passage.number))
                .empty();
}

CheckReport checkStation(const fs::path& station, const Snapshot& before, const CheckOptions& options) {
    CheckReport report;
    auto violation = [&](std::string line) { report.violations.push_back(std::move(line)); };
    fs::path db = station / "station.db";

    std::map<SaleKey, SaleNow> sales;
    try {
        sales = salesNow(db);
    } catch (const std::exception& e) {
        violation(std::string("the database cannot be read: ") + e.what());
        return report;
    }

    // ---- passages: charged once with the row gone, or pending without a sale
    std::map<std::string, int64_t> chargedSince;  // per import record
    std::set<SaleKey> accounted;
    for (const PassageRow& p : before.passages) {
        Rows standing = query(db, standingSalesSql(p));
        bool pending = passagePending(station, p);
        int newSales = 0;
        for (const auto& r : standing) {
            SaleKey k{cell(r[0]), cell(r[1]), cell(r[2])};
            accounted.insert(k);
            if (!before.sales.count(k)) ++newSales;
        }
        if (standing.size() > 1) {
            std::string keys;
            for (const auto& r : standing) keys += " " + keyText({cell(r[0]), cell(r[1]), cell(r[2])});
            violation(fmt::format("{} is charged {} times (standing sales{})", describe(p), standing.size(), keys));
        } else if (standing.size() == 1 && pending) {
            violation(fmt::format("{} is charged (sale {}) but its turnstile row is still pending", describe(p),
                                  keyText({cell(standing[0][0]), cell(standing[0][1]), cell(standing[0][2])})));
        } else if (standing.empty() && !pending) {
            violation(fmt::format("{}: its turnstile row is gone but no standing sale charges it", describe(p)));
        }
        // A passage charged twice is told above; the credit counts it once.
        chargedSince[p.record] += newSales > 0 ? 1 : 0;
    }
    // A sale made since the snapshot that charges none of its passages.
    for (const auto& [key, sale] : sales)
        if (sale.standing && !before.sales.count(key) && !accounted.count(key))
            violation(
                fmt::format("sale {} (consumer {}, passage moment '{}', coupon {}) charges no passage that was "
                            "pending before",
                            keyText(key), sale.consumer, sale.passageMoment, sale.coupon));

    // ---- the printer: nothing open, every coupon numbered since accounted for
    ext::PrinterState state;
    bool printerRead = false;
    try {
        state = ext::loadPrinterState(station / "printer-state.json");
        printerRead = true;
    } catch (const std::exception& e) {
        violation(std::string("the printer memory cannot be read: ") + e.what());
    }
    std::vector<TapeReceipt> tape = readTape(station);
    std::error_code ec;
    if (fs::exists(station / "printer-tape.txt", ec) && !fs::is_regular_file(station / "printer-tape.txt", ec))
        violation("printer-tape.txt is not a file");
    int totalsUnknown = 0;
    if (printerRead) {
        if (options.afterCleanRun && state.open)
            violation(
                fmt::format("coupon {} is still open on the printer after a clean run", sixDigits(state.open->cupNr)));
        if (state.cupNr < before.cupNr)
            violation(fmt::format("the printer's coupon counter went back from {} to {}", sixDigits(before.cupNr),
                                  sixDigits(state.cupNr)));
        for (int64_t n = before.cupNr + 1; n <= state.cupNr; ++n) {
            if (state.open && state.open->cupNr == n) continue;  // told above when it matters
            const std::string coo = sixDigits(n);
            Rows rows = query(db,
                              "SELECT VC.DTHRCANCEL, V.IDSITUVENDA, V.VRTOTVENDA + COALESCE(VC.VRTOTCLIENTE, 0), "
                              "VC.CDFILIAL, VC.CDCAIXA, "
                              "VC.NRSEQVENDA FROM VENDACUPOM VC LEFT JOIN VENDA V ON V.CDFILIAL = VC.CDFILIAL AND "
                              "V.CDCAIXA = VC.CDCAIXA AND V.NRSEQVENDA = VC.NRSEQVENDA WHERE VC.NRSERIEIMP = " +
                                  sqlText(state.identity.serial) + " AND VC.NRCUPOMFIS = " + sqlText(coo));
            int couponReceipts = 0, cancelReceipts = 0;
            int64_t cancelledAmount = -1;
            for (const TapeReceipt& r : tape) {
                if (r.coupon != n) continue;
                if (r.cancellation) {
                    ++cancelReceipts;
                    cancelledAmount = r.totalCents;
                } else {
                    ++couponReceipts;
                }
            }
            if (couponReceipts > 1) violation(fmt::format("coupon {} is on the tape {} times", coo, couponReceipts));
            bool printerCancelled = state.lastCoupon && state.lastCoupon->cupNr == n && state.lastCoupon->cancelled;
            if (rows.empty()) {
                // A coupon cancelled before any item was sold leaves nothing to record.
                if (cancelReceipts > 0 && cancelledAmount == 0) continue;
                violation(
                    fmt::format("coupon {} was numbered by the printer but is neither a standing sale nor a "
                                "recorded cancellation{}",
                                coo, cancelReceipts ? " (the tape shows it cancelled)" : ""));
                continue;
            }
            bool cancelled = rows[0][0].has_value();
            std::string situation = cell(rows[0][1]);
            if (!cancelled && situation == "O") {
                if (couponReceipts != 1)
                    violation(fmt::format("coupon {} stands as sale {}/{}/{} but is on the tape {} times", coo,
                                          cell(rows[0][3]), cell(rows[0][4]), cell(rows[0][5]), couponReceipts));
                if (printerCancelled)
                    violation(fmt::format("coupon {} was cancelled on the printer but its sale still stands", coo));
                if (state.lastCoupon && state.lastCoupon->cupNr == n && !state.lastCoupon->cancelled) {
                    int64_t stored = rows[0][2] ? cents(std::stod(*rows[0][2])) : 0;
                    // The coupon's total is the consumer's part (VRTOTVENDA) and the client's part.
                    if (stored != state.lastCoupon->totalCents)
                        violation(
                            fmt::format("coupon {}: the sale's total {:.2f} (consumer's and client's parts) "
                                        "differs from the printer's {:.2f}",
                                        coo, stored / 100.0, state.lastCoupon->totalCents / 100.0));
                } else {
                    ++totalsUnknown;
                }
            } else if (cancelled && situation == "C") {
                if (cancelReceipts == 0)
                    violation(
                        fmt::format("coupon {} is recorded as cancelled but no cancellation is on the tape", coo));
            } else {
                violation(fmt::format("coupon {}: sale situation '{}' and coupon {} disagree", coo, situation,
                                      cancelled ? "cancelled" : "not cancelled"));
            }
        }
    }

    if (totalsUnknown > 0)
        report.undecided.push_back(
            fmt::format("the totals of {} standing coupon(s) were not compared with the "
                        "printer's: it keeps only its last coupon's",
                        totalsUnknown));

    // ---- balances: what was there, less what standing sales since then debit,
    // plus what sales standing then and cancelled since gave back
    std::map<BalanceKey, int64_t> expected = before.balancesCents;
    for (const auto& r : query(db,
                               "SELECT F.CDFILIAL, F.CDCAIXA, F.NRSEQVENDA, F.CDCLIENTE, F.CDCONSUMIDOR, "
                               "F.CDFAMILISALD, F.VRDEBITO FROM VENDASALDOFAM F")) {
        SaleKey k{cell(r[0]), cell(r[1]), cell(r[2])};
        auto now = sales.find(k);
        bool standsNow = now != sales.end() && now->second.standing;
        auto then = before.sales.find(k);
        bool stoodThen = then != before.sales.end() && then->second;
        int64_t debit = r[6] ? cents(std::stod(*r[6])) : 0;
        BalanceKey b{cell(r[3]), cell(r[4]), cell(r[5])};
        if (standsNow && !stoodThen) expected[b] -= debit;
        if (!standsNow && stoodThen) expected[b] += debit;
    }
    std::map<BalanceKey, int64_t> actual = balances(db);
    std::set<BalanceKey> keys;
    for (const auto& [k, v] : expected) keys.insert(k);
    for (const auto& [k, v] : actual) keys.insert(k);
    for (const BalanceKey& k : keys) {
        int64_t e = expected.count(k) ? expected[k] : 0, a = actual.count(k) ? actual[k] : 0;
        if (e != a)
            violation(
                fmt::format("balance of consumer {} (client {}) in family {}: {:.2f} expected from the "
                            "snapshot and the standing sales, {:.2f} stored",
                            std::get<1>(k), std::get<0>(k), std::get<2>(k), e / 100.0, a / 100.0));
    }

    // ---- import credits: raised by exactly the passages charged since
    std::map<std::string, int64_t> now = credits(db);
    std::set<std::string> records;
    for (const auto& [k, v] : before.credits) records.insert(k);
    for (const auto& [k, v] : now) records.insert(k);
    for (const std::string& rec : records) {
        int64_t delta = (now.count(rec) ? now[rec] : 0) - (before.credits.count(rec) ? before.credits.at(rec) : 0);
        int64_t charged = chargedSince.count(rec) ? chargedSince[rec] : 0;
        if (delta != charged)
            violation(
                fmt::format("import record {} was credited {} sale(s) since the snapshot but {} of its "
                            "passages were charged",
                            rec, delta, charged));
    }

    // ---- leftovers
    for (auto it = fs::recursive_directory_iterator(station, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->path().extension() == ".tmp") violation("leftover file " + fs::relative(it->path(), station).string());
    }
    if (options.afterCleanRun) {
        for (const char* f : {"Venda/cdsVenda.cds", "run-journal.json", "run-current.txt"})
            if (fs::exists(station / f, ec)) violation(std::string("leftover file ") + f + " after a clean run");
    }
    return report;
}

}  // namespace zel::eo
