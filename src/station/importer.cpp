// Importing a turnstile file: its passages become one import record and its
// log rows, in one transaction; lines that cannot be used are reported and
// skipped.
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <fmt/format.h>

#include "external/utility/util_connection.h"
#include "station/host.h"
#include "station/store.h"
#include "platform/db/connection.h"
#include "platform/text.h"

namespace zel::host {
namespace {

std::string trim(const std::string& s) { return std::string(trimWhitespace(s)); }

bool allDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// The fields of a line: ";" separates them, or "," when the line has no ";"
// outside quotes. A field may be quoted ("..."), with a quote inside doubled;
// a separator inside quotes is part of the field.
std::vector<std::string> splitFields(const std::string& line) {
    char sep = ',';
    bool quoted = false;
    for (char c : line) {
        if (c == '"') quoted = !quoted;
        else if (c == ';' && !quoted) {
            sep = ';';
            break;
        }
    }
    std::vector<std::string> out;
    std::string cur;
    bool inQuotes = false, wasQuoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (inQuotes) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') cur += '"', ++i;
            else if (c == '"') inQuotes = false;
            else cur += c;
        } else if (c == '"' && trim(cur).empty()) {
            inQuotes = wasQuoted = true;
            cur.clear();
        } else if (c == sep) {
            out.push_back(wasQuoted ? cur : trim(cur));
            cur.clear();
            wasQuoted = false;
        } else if (!wasQuoted || (c != ' ' && c != '\t')) {
            cur += c;
        }
    }
    out.push_back(wasQuoted ? cur : trim(cur));
    return out;
}

// "YYYY-MM-DD" or "DD/MM/YYYY"; empty when neither.
std::optional<DateTime> parseDate(const std::string& s) {
    int y = 0, m = 0, d = 0;
    if (s.size() == 10 && s[4] == '-' && s[7] == '-' && allDigits(s.substr(0, 4)) && allDigits(s.substr(5, 2)) &&
        allDigits(s.substr(8, 2))) {
        y = std::stoi(s.substr(0, 4)), m = std::stoi(s.substr(5, 2)), d = std::stoi(s.substr(8, 2));
    } else if (s.size() == 10 && s[2] == '/' && s[5] == '/' && allDigits(s.substr(0, 2)) && allDigits(s.substr(3, 2)) &&
               allDigits(s.substr(6, 4))) {
        d = std::stoi(s.substr(0, 2)), m = std::stoi(s.substr(3, 2)), y = std::stoi(s.substr(6, 4));
    } else {
        return std::nullopt;
    }
    if (y < 1900 || !DateTime::isValidDate(y, m, d)) return std::nullopt;
    return DateTime::fromDate(y, m, d);
}

// "HH:MM", "HH:MM:SS", "HHMM" or "HHMMSS" → HORAREAL ("HHMM" or "HHMMSS").
std::optional<std::string> parseHour(const std::string& s) {
    std::string digits;
    if (s.size() == 5 && s[2] == ':') digits = s.substr(0, 2) + s.substr(3, 2);
    else if (s.size() == 8 && s[2] == ':' && s[5] == ':') digits = s.substr(0, 2) + s.substr(3, 2) + s.substr(6, 2);
    else if (s.size() == 4 || s.size() == 6) digits = s;
    if (!allDigits(digits)) return std::nullopt;
    int h = std::stoi(digits.substr(0, 2)), mi = std::stoi(digits.substr(2, 2));
    int sec = digits.size() == 6 ? std::stoi(digits.substr(4, 2)) : 0;
    if (h > 23 || mi > 59 || sec > 59) return std::nullopt;
    return digits;
}

struct Line {
    int line = 0;
    std::string code, branch, register_, hora, moment;
    DateTime day;
};

}  // namespace

ImportResult importPassages(const Station& station, const fs::path& file, const Clock* clock) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw StationError(fmt::format("{}: cannot read the passage file", file.string()));
    ImportResult result;
    std::vector<Line> lines;
    std::string text;
    int n = 0;
    bool first = true;
    while (std::getline(in, text)) {
        ++n;
        if (first && text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
        std::string t = trim(text);
        if (t.empty() || t[0] == '#') continue;
        std::vector<std::string> f = splitFields(t);
        if (first) {
            first = false;
            std::string head = f[0];
            for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (head == "code" || head == "codigo" || head == "cdidconsumid") continue;
        }
        auto skip = [&](std::string why) { result.skipped.push_back({n, std::move(why)}); };
        if (f.size() != 3 && f.size() != 5) {
            skip(fmt::format("{} fields, expected 3 (code;date;hour) or 5 (code;date;hour;branch;register)", f.size()));
            continue;
        }
        Line l;
        l.line = n;
        l.code = f[0];
        if (l.code.empty() || l.code.size() > 20) {
            skip(fmt::format("identification code \"{}\" is empty or longer than 20 characters", l.code));
            continue;
        }
        auto day = parseDate(f[1]);
        if (!day) {
            skip(fmt::format("date \"{}\" is not a date (YYYY-MM-DD or DD/MM/YYYY)", f[1]));
            continue;
        }
        auto hora = parseHour(f[2]);
        if (!hora) {
            skip(fmt::format("hour \"{}\" is not an hour (HH:MM or HH:MM:SS)", f[2]));
            continue;
        }
        l.day = *day;
        l.hora = *hora;
        l.moment = passageMoment(l.day, l.hora);
        l.branch = f.size() == 5 && !f[3].empty() ? f[3] : station.branch;
        l.register_ = f.size() == 5 && !f[4].empty() ? f[4] : station.register_;
        if (l.branch.size() > 4 || l.register_.size() > 3) {
            skip(fmt::format("branch \"{}\" or register \"{}\" too long (4 and 3 characters at most)", l.branch,
                             l.register_));
            continue;
        }
        lines.push_back(std::move(l));
    }
    if (in.bad()) throw StationError(fmt::format("{}: reading failed", file.string()));

    db::Connection c(station.connectionString);
    try {
        util::TryConnect(c, {1, std::chrono::milliseconds(0)});
        util::SetADODBSession(c);
    } catch (const std::exception& e) {
        throw databaseError(station, "cannot be reached; nothing was imported", e);
    }
    try {
        ImportStore store(c);
        std::map<std::string, ImportStore::Consumer> known = store.consumersByCode();
        // Passages already waiting or already charged are not taken twice: a
        // file imported again must not charge anyone again.
        std::set<std::string> pending = store.pendingKeys(), charged;
        if (!lines.empty()) {
            std::string lo = lines.front().moment, hi = lo;
            for (const Line& l : lines) lo = std::min(lo, l.moment), hi = std::max(hi, l.moment);
            charged = store.chargedKeys(lo, hi);
        }

        std::vector<std::pair<const Line*, const ImportStore::Consumer*>> rows;
        std::map<std::string, int> seen;
        for (const Line& l : lines) {
            auto k = known.find(l.code);
            if (k == known.end()) {
                result.skipped.push_back(
                    {l.line, fmt::format("identification code \"{}\" is not a consumer's", l.code)});
                continue;
            }
            std::string key = l.branch + "|" + l.register_ + "|" + k->second.cdCliente + "|" + k->second.cdConsumidor +
                              "|" + l.moment;
            if (auto s = seen.find(key); s != seen.end()) {
                result.skipped.push_back({l.line, fmt::format("the same passage as line {}", s->second)});
                continue;
            }
            seen[key] = l.line;
            if (pending.count(key)) {
                result.skipped.push_back({l.line, "this passage was imported before and is still pending"});
                continue;
            }
            if (charged.count(key)) {
                result.skipped.push_back({l.line, "this passage was imported before and is already charged"});
                continue;
            }
            rows.emplace_back(&l, &k->second);
        }
        std::stable_sort(result.skipped.begin(), result.skipped.end(),
                         [](const ImportProblem& a, const ImportProblem& b) { return a.line < b.line; });
        if (rows.empty()) return result;

        c.beginTransaction();
        try {
            result.importRecord = store.newImportRecord(clock ? clock->today() : SystemClock().today());
            std::map<std::string, long long> nextSeq;
            for (const auto& [l, k] : rows) {
                if (!nextSeq.count(l->branch)) nextSeq[l->branch] = store.lastRowNumber(l->branch);
                std::string seq = std::to_string(++nextSeq[l->branch]);
                store.insertPassage(l->branch, seq, l->register_, *k, l->code, result.importRecord, l->day, l->hora);
                ++result.imported;
            }
            // The counters of the branches end where the rows ended.
            for (const auto& [branch, last] : nextSeq) store.setRowCounter(branch, last);
            c.commit();
            // The planner's statistics follow the data the station gathers; the
            // passages are in whatever becomes of that.
            try {
                db::refreshStatistics(c);
            } catch (const std::exception&) {}
        } catch (...) {
            c.rollback();
            result.imported = 0;
            result.importRecord.clear();
            throw;
        }
    } catch (const StationError&) {
        throw;
    } catch (const std::exception& e) {
        throw StationError(fmt::format("{}: nothing was imported: the database refused the passages; check it, "
                                       "then import the file again",
                                       file.filename().string()),
                           fmt::format("{}: {}", file.string(), util::ADOExceptionMessage(e, c, "")));
    }
    return result;
}

}  // namespace zel::host
