// geracupom: the host program of the sale-coupon service. Each command is a
// thin layer over the station library (src/station) or the table tools.
// Exit status: 0 done, 1 done but not everything (or, for status, the station
// needs attention), 2 could not run — a usage error included.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "platform/error.h"
#include "station/host.h"
#include "station/init.h"
#include "station/operator.h"
#include "station/serve.h"
#include "tools/table_commands.h"

#ifndef GERACUPOM_VERSION
#define GERACUPOM_VERSION "unknown"
#endif
#ifndef GERACUPOM_COMMIT
#define GERACUPOM_COMMIT "unknown"
#endif

using namespace zel;
using json = nlohmann::json;

namespace {

struct Args {
    std::string dir, file, db, now, branch = "0001", reg = "001", day, code, dest;
    std::string format = "json", in, out, to;
    bool demo = false, asJson = false, quiet = false, csv = false;
    uint32_t seed = 1;
    size_t last = 3;
    double wait = 0, poll = 1, retry = 60, olderThan = 30;
};

struct Commands {
    CLI::App *init, *import, *run, *serve, *status, *tape, *demo, *show, *dump, *convert;
    CLI::App *pending, *consumer, *report, *backup;
};

std::ostream* info(const Args& a) { return a.quiet ? nullptr : &std::cerr; }

host::RunOptions displayOptions(bool quiet) {
    host::RunOptions options;
    if (!quiet) {
        options.display.out = &std::cerr;
        options.display.bar = ::isatty(STDERR_FILENO) != 0;
    }
    return options;
}

void printJson(const json& j) { std::cout << j.dump(2) << "\n"; }

int runCommand(const Args& a) {
    host::Station station = host::openStation(a.dir);
    host::RunOptions options = displayOptions(a.asJson || a.quiet);
    if (!a.now.empty()) options.now = host::parseMoment(a.now);
    options.waitSeconds = a.wait;
    host::RunReport report = host::runStation(station, options);
    if (a.asJson) {
        report.writeJson(std::cout);
        std::cout << "\n";
    } else if (!a.quiet || report.exitStatus() != 0) {
        report.writeSummary(std::cout, true);
    }
    return report.exitStatus();
}

int serveCommand(const Args& a) {
    static std::atomic<bool> stop{false}, reload{false};
    host::installServeSignals(stop, reload);
    host::ServeOptions o;
    o.pollSeconds = a.poll;
    o.retrySeconds = a.retry;
    if (!a.now.empty()) o.now = host::parseMoment(a.now);
    o.err = info(a);
    o.stop = &stop;
    o.reload = &reload;
    return host::serveStation(a.dir, o);
}

int initCommand(const Args& a) {
    host::InitOptions o;
    o.demo = a.demo;
    o.seed = a.seed;
    o.database = a.db;
    o.branch = a.branch;
    o.register_ = a.reg;
    if (!a.day.empty()) o.day = host::parseDay(a.day);
    if (!a.db.empty()) host::checkConnectionForm(a.db);
    host::initStation(a.dir, o, info(a));
    return 0;
}

int importCommand(const Args& a) {
    host::Station station = host::openStation(a.dir);
    std::unique_ptr<Clock> clock =
        host::stationClock(a.now.empty() ? std::nullopt : std::optional(host::parseMoment(a.now)));
    host::ImportResult r = host::importPassages(station, a.file, clock.get());
    if (a.asJson) {
        json j = {
            {"file", a.file}, {"imported", r.imported}, {"import_record", r.importRecord}, {"skipped", json::array()}};
        for (const auto& p : r.skipped) j["skipped"].push_back({{"line", p.line}, {"reason", p.text}});
        printJson(j);
        return r.skipped.empty() ? 0 : 1;
    }
    for (const auto& p : r.skipped)
        std::cerr << host::printable(a.file) << ":" << p.line << ": " << host::printable(p.text) << "; line skipped\n";
    if (a.quiet) return r.skipped.empty() ? 0 : 1;
    if (r.imported) std::cout << "imported " << r.imported << " passage(s) as import record " << r.importRecord << "\n";
    else std::cout << "nothing imported\n";
    return r.skipped.empty() ? 0 : 1;
}

int demoCommand(Args a) {
    if (a.dir.empty()) {
        a.dir = "geracupom-demo";
        for (int n = 2; std::filesystem::exists(a.dir); ++n) a.dir = "geracupom-demo-" + std::to_string(n);
    }
    host::InitOptions o;
    o.demo = true;
    o.seed = a.seed;
    std::filesystem::path made = host::initStation(a.dir, o, info(a));
    // The demo's passages are of today; the clock stands at the end of the day.
    host::Station station = host::openStation(made);
    host::RunOptions options = displayOptions(a.quiet);
    options.now = DateTime(SystemClock().today().value() + (23 * 60 + 59) / 1440.0);
    host::RunReport report = host::runStation(station, options);
    report.writeSummary(std::cout, true);
    std::cout << "\nthe last coupon:\n\n" << host::printable(host::tapeText(station, 1), true);
    std::cout << "the station is in " << made.string() << "; try: geracupom status " << made.string() << "\n";
    return report.exitStatus();
}

int statusCommand(const Args& a) {
    host::Station station = host::openStation(a.dir);
    json s = host::stationStatus(station);
    int code = host::statusExitCode(s, a.olderThan);
    s["exit_status"] = code;
    if (a.asJson) printJson(s);
    else if (!a.quiet || code != 0) std::cout << host::printable(host::statusText(s), true);
    return code;
}

int tapeCommand(const Args& a) {
    host::Station station = host::openStation(a.dir);
    std::string tape = host::tapeText(station, a.last);
    if (a.asJson) printJson({{"station", station.layout.dir.string()}, {"last", a.last}, {"tape", tape}});
    else std::cout << host::printable(tape, true);
    return 0;
}

int operatorCommand(const Commands& c, const Args& a) {
    host::Station station = host::openStation(a.dir);
    if (c.pending->parsed()) {
        json r = host::pendingPassagesReport(station);
        std::cout << (a.asJson ? r.dump(2) + "\n" : host::pendingText(r));
    } else if (c.consumer->parsed()) {
        DateTime day = a.day.empty() ? SystemClock().today() : host::parseDay(a.day);
        json r = host::consumerReport(station, a.code, day);
        std::cout << (a.asJson ? r.dump(2) + "\n" : host::consumerText(r));
    } else if (c.report->parsed()) {
        json r = host::dayReport(station, host::parseDay(a.day));
        std::cout << (a.asJson ? r.dump(2) + "\n" : a.csv ? host::dayCsv(r) : host::dayText(r));
        return r["printer"].value("reconciled", false) ? 0 : 1;
    } else if (c.backup->parsed()) {
        json r = host::backupStation(station, a.dest);
        if (a.asJson) printJson(r);
        else if (!a.quiet)
            std::cout << "backup of " << r.value("station", "") << " in " << r.value("backup", "") << ": database "
                      << r.value("database", "") << ", " << r.value("files", 0) << " file(s)\n";
        if (r.contains("note")) std::cerr << "geracupom: " << r.value("note", "") << "\n";
        return r.value("database", "") == "copied" ? 0 : 1;
    }
    return 0;
}

void addStationCommands(CLI::App& app, Args& a, Commands& c) {
    c.init = app.add_subcommand("init", "Make a complete station in a directory");
    c.init->add_option("DIR", a.dir, "the station directory (absent or empty)")->required();
    c.init->add_flag("--demo", a.demo, "fill it with demo data and a day of turnstile passages");
    c.init->add_option("--seed", a.seed, "seed of the demo data (same seed, same station)");
    c.init->add_option("--db", a.db,
                       "the database, e.g. \"postgresql://host=H port=P dbname=D user=U\"; "
                       "default: SQLite in the station");
    c.init->add_option("--branch", a.branch, "branch code CDFILIAL (default 0001)");
    c.init->add_option("--register", a.reg, "cash register code CDCAIXA (default 001)");
    c.init->add_option("--day", a.day, "day of the demo's passages, YYYY-MM-DD (default today)");

    c.import = app.add_subcommand("import", "Import turnstile passages from a CSV file");
    c.import->add_option("DIR", a.dir, "the station directory")->required();
    c.import->add_option("FILE", a.file, "lines code;date;hour[;branch;register]")->required();
    c.import->add_flag("--json", a.asJson, "the outcome as JSON");
    c.import->add_option("--now", a.now, "the station clock stands at this moment, \"YYYY-MM-DD HH:MM[:SS]\"");

    c.run = app.add_subcommand("run", "Repair what an earlier run left, then charge the pending passages");
    c.run->add_option("DIR", a.dir, "the station directory")->required();
    c.run->add_flag("--json", a.asJson, "print the summary as one JSON document");
    c.run->add_option("--now", a.now, "the station clock starts at this moment, \"YYYY-MM-DD HH:MM[:SS]\"");
    c.run->add_option("--wait", a.wait, "wait up to SECONDS for another process charging the station");

    c.serve = app.add_subcommand("serve", "Keep the station charging: passages as they arrive, the inbox's files");
    c.serve->add_option("DIR", a.dir, "the station directory")->required();
    c.serve->add_option("--poll", a.poll, "look at the turnstile log and the inbox every SECONDS (default 1)")
        ->check(CLI::Range(0.01, 3600.0));
    c.serve->add_option("--retry", a.retry, "offer passages left pending again after SECONDS (default 60)")
        ->check(CLI::Range(0.0, 86400.0));
    c.serve->add_option("--now", a.now, "the station clock starts at this moment (rehearsals)");

    c.status = app.add_subcommand("status", "Pending passages, the printer and the last run; exit 1 needs attention");
    c.status->add_option("DIR", a.dir, "the station directory")->required();
    c.status->add_flag("--json", a.asJson, "as JSON");
    c.status->add_option("--older-than", a.olderThan, "pending passages older than MINUTES need attention (30)");

    c.tape = app.add_subcommand("tape", "The last coupons as printed");
    c.tape->add_option("DIR", a.dir, "the station directory")->required();
    c.tape->add_option("--last", a.last, "how many receipts (0: all; default 3)");
    c.tape->add_flag("--json", a.asJson, "as JSON");

    c.demo = app.add_subcommand("demo", "Make a demo station, run a batch, show the summary and last coupon");
    c.demo->add_option("DIR", a.dir, "where to make it (default: a new directory geracupom-demo[-N] here)");
    c.demo->add_option("--seed", a.seed, "seed of the demo data");
}

void addOperatorCommands(CLI::App& app, Args& a, Commands& c) {
    c.pending = app.add_subcommand("pending", "Pending passages and why each was not charged");
    c.pending->add_option("DIR", a.dir, "the station directory")->required();
    c.pending->add_flag("--json", a.asJson, "as JSON");
    c.consumer = app.add_subcommand("consumer", "A consumer's balances, consumption and last sales");
    c.consumer->add_option("DIR", a.dir, "the station directory")->required();
    c.consumer->add_option("CODE", a.code, "consumer code or identification code")->required();
    c.consumer->add_option("--day", a.day, "the day of the consumption, YYYY-MM-DD (default today)");
    c.consumer->add_flag("--json", a.asJson, "as JSON");
    c.report = app.add_subcommand("report", "The sales of a day, cancellations and the printer reconciled");
    c.report->add_option("DIR", a.dir, "the station directory")->required();
    c.report->add_option("--day", a.day, "the day, YYYY-MM-DD")->required();
    c.report->add_flag("--json", a.asJson, "as JSON");
    c.report->add_flag("--csv", a.csv, "as CSV (section;key;sales;amount)");
    c.backup = app.add_subcommand("backup", "Copy the station and its SQLite database while it runs");
    c.backup->add_option("DIR", a.dir, "the station directory")->required();
    c.backup->add_option("DEST", a.dest, "the backup's directory (absent or empty)")->required();
    c.backup->add_flag("--json", a.asJson, "as JSON");
}

void addTableCommands(CLI::App& app, Args& a, Commands& c) {
    auto* table = app.add_subcommand("table", "Look at and write the station's table files");
    table->require_subcommand(1);
    c.show = table->add_subcommand("show", "Fields and rows of a table file, aligned");
    c.show->add_option("FILE", a.file, "table file (binary, XML or JSON)")->required();
    c.dump = table->add_subcommand("dump", "A table file as JSON or CSV on standard output");
    c.dump->add_option("FILE", a.file, "table file")->required();
    c.dump->add_option("--format", a.format, "json or csv")->check(CLI::IsMember({"json", "csv"}));
    c.convert = table->add_subcommand("convert", "Convert a table file between binary, XML and JSON");
    c.convert->add_option("IN", a.in, "input table file (form told from its content)")->required();
    c.convert->add_option("OUT", a.out, "output file (form from its extension: .cds, .xml, .json)")->required();
    c.convert->add_option("--to", a.to, "binary, xml or json, whatever the extension")
        ->check(CLI::IsMember({"binary", "cds", "xml", "json"}));
}

int dispatch(const Commands& c, const Args& a) {
    if (c.init->parsed()) return initCommand(a);
    if (c.import->parsed()) return importCommand(a);
    if (c.run->parsed()) return runCommand(a);
    if (c.serve->parsed()) return serveCommand(a);
    if (c.status->parsed()) return statusCommand(a);
    if (c.tape->parsed()) return tapeCommand(a);
    if (c.demo->parsed()) return demoCommand(a);
    if (c.pending->parsed() || c.consumer->parsed() || c.report->parsed() || c.backup->parsed())
        return operatorCommand(c, a);
    if (c.show->parsed()) {
        std::cout << tools::showTable(a.file);
    } else if (c.dump->parsed()) {
        std::cout << tools::dumpTable(a.file, a.format);
    } else if (c.convert->parsed()) {
        std::optional<tools::TableForm> form;
        if (!a.to.empty()) form = tools::parseForm(a.to);
        tools::writeTable(a.out, tools::readTable(a.in), form);
        if (!a.quiet) std::cerr << "wrote " << a.out << "\n";
    }
    return 0;
}

// The error exit of a command: one short line on the terminal. An error with
// a technical side (the database's own error, a statement, a path) leaves its
// full text in the station's log, named by the short line.
int failure(const Args& a, const std::exception& e) {
    std::string line = e.what();
    const auto* se = dynamic_cast<const host::StationError*>(&e);
    if (se && !se->summary().empty()) {
        line = a.dir.empty() ? line : host::reportedError(a.dir, se->summary(), se->detail());
    } else if (!se && !a.dir.empty() && std::filesystem::exists(station::Layout{a.dir}.config())) {
        // Not foreseen by the station's own checks: the first line, the rest in the log.
        std::string first = line.substr(0, line.find('\n'));
        if (first.size() > 100) first = first.substr(0, 97) + "...";
        line = host::reportedError(a.dir, "the command stopped on an error: " + first, line);
    }
    std::cerr << "geracupom: " << host::printable(line) << "\n";
    return 2;
}

// A usage error: what was wrong and where to look; exit status 2.
int usageError(const CLI::App& app, const CLI::ParseError& e, int argc, char** argv) {
    std::string where = "geracupom", what = e.what();
    for (const CLI::App* sub : app.get_subcommands())
        if (sub->parsed()) where += " " + sub->get_name();
    if (where == "geracupom" && argc > 1 && argv[1][0] != '-')
        what = std::string("unknown command \"") + argv[1] + "\"";
    std::cerr << "geracupom: " << host::printable(what) << "\n(see: " << where << " --help)\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"geracupom: the sale-coupon service of a cafeteria station"};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version",
                         std::string("geracupom ") + GERACUPOM_VERSION + " (commit " + GERACUPOM_COMMIT + ")");
    Args args;
    app.add_flag("-q,--quiet", args.quiet, "only errors and the answers asked for");
    Commands commands{};
    addStationCommands(app, args, commands);
    addOperatorCommands(app, args, commands);
    addTableCommands(app, args, commands);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return usageError(app, e, argc, argv);
    }
    try {
        return dispatch(commands, args);
    } catch (const std::exception& e) {
        return failure(args, e);
    }
}
