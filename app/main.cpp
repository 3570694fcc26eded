// geracupom: the host program of the sale-coupon service. Each command is a
// thin layer over the station library (src/station) or the table tools.
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "platform/error.h"
#include "station/host.h"
#include "station/init.h"
#include "tools/table_commands.h"

using namespace zel;

namespace {

struct Args {
    std::string dir, file, db, now, branch = "0001", reg = "001", day;
    std::string format = "json", in, out, to;
    bool demo = false, asJson = false;
    uint32_t seed = 1;
    size_t last = 3;
    double wait = 0;
};

struct Commands {
    CLI::App *init, *import, *run, *status, *tape, *demo, *show, *dump, *convert;
};

host::RunOptions displayOptions(bool quiet) {
    host::RunOptions options;
    if (!quiet) {
        options.display.out = &std::cerr;
        options.display.bar = ::isatty(STDERR_FILENO) != 0;
    }
    return options;
}

int runCommand(const Args& a) {
    host::Station station = host::openStation(a.dir);
    host::RunOptions options = displayOptions(a.asJson);
    if (!a.now.empty()) options.now = host::parseMoment(a.now);
    options.waitSeconds = a.wait;
    host::RunReport report = host::runStation(station, options);
    if (a.asJson) std::cout << report.toJson().dump(2) << "\n";
    else std::cout << report.summaryText();
    return report.exitStatus();
}

int initCommand(const Args& a) {
    host::InitOptions o;
    o.demo = a.demo;
    o.seed = a.seed;
    o.database = a.db;
    o.branch = a.branch;
    o.register_ = a.reg;
    if (!a.day.empty()) o.day = host::parseMoment(a.day + " 00:00");
    host::initStation(a.dir, o, &std::cerr);
    return 0;
}

int importCommand(const Args& a) {
    host::Station station = host::openStation(a.dir);
    host::ImportResult r = host::importPassages(station, a.file);
    for (const auto& p : r.skipped) std::cerr << a.file << ":" << p.line << ": " << p.text << "; line skipped\n";
    if (r.imported)
        std::cout << "imported " << r.imported << " passage(s) as import record " << r.importRecord << "\n";
    else
        std::cout << "nothing imported\n";
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
    std::filesystem::path made = host::initStation(a.dir, o, &std::cerr);
    // The demo's passages are of today; the clock stands at the end of the day.
    host::Station station = host::openStation(made);
    host::RunOptions options = displayOptions(false);
    options.now = DateTime(SystemClock().today().value() + (23 * 60 + 59) / 1440.0);
    host::RunReport report = host::runStation(station, options);
    std::cout << report.summaryText() << "\nthe last coupon:\n\n" << host::tapeText(station, 1);
    std::cout << "the station is in " << made.string() << "; try: geracupom status " << made.string() << "\n";
    return report.exitStatus();
}

Commands addCommands(CLI::App& app, Args& a) {
    Commands c{};
    c.init = app.add_subcommand("init", "Make a complete station in a directory");
    c.init->add_option("DIR", a.dir, "the station directory (absent or empty)")->required();
    c.init->add_flag("--demo", a.demo, "fill it with demo data and a day of turnstile passages");
    c.init->add_option("--seed", a.seed, "seed of the demo data (same seed, same station)");
    c.init->add_option("--db", a.db, "the database, e.g. \"postgresql://host=H port=P dbname=D user=U\"; "
                                     "default: SQLite in the station");
    c.init->add_option("--branch", a.branch, "branch code CDFILIAL (default 0001)");
    c.init->add_option("--register", a.reg, "cash register code CDCAIXA (default 001)");
    c.init->add_option("--day", a.day, "day of the demo's passages, YYYY-MM-DD (default today)");

    c.import = app.add_subcommand("import", "Import turnstile passages from a CSV file");
    c.import->add_option("DIR", a.dir, "the station directory")->required();
    c.import->add_option("FILE", a.file, "lines code;date;hour[;branch;register]")->required();

    c.run = app.add_subcommand("run", "Repair what an earlier run left, then charge the pending passages");
    c.run->add_option("DIR", a.dir, "the station directory")->required();
    c.run->add_flag("--json", a.asJson, "print the summary as one JSON document");
    c.run->add_option("--now", a.now, "the station clock starts at this moment, \"YYYY-MM-DD HH:MM[:SS]\"");
    c.run->add_option("--wait", a.wait, "wait up to SECONDS for another process charging the station");

    c.status = app.add_subcommand("status", "Pending passages, the printer and the last run");
    c.status->add_option("DIR", a.dir, "the station directory")->required();
    c.status->add_flag("--json", a.asJson, "as JSON");

    c.tape = app.add_subcommand("tape", "The last coupons as printed");
    c.tape->add_option("DIR", a.dir, "the station directory")->required();
    c.tape->add_option("--last", a.last, "how many receipts (0: all; default 3)");

    c.demo = app.add_subcommand("demo", "Make a demo station, run a batch, show the summary and last coupon");
    c.demo->add_option("DIR", a.dir, "where to make it (default: a new directory geracupom-demo[-N] here)");
    c.demo->add_option("--seed", a.seed, "seed of the demo data");
    return c;
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
    if (c.status->parsed()) {
        nlohmann::json s = host::stationStatus(host::openStation(a.dir));
        std::cout << (a.asJson ? s.dump(2) + "\n" : host::statusText(s));
    } else if (c.tape->parsed()) {
        std::cout << host::tapeText(host::openStation(a.dir), a.last);
    } else if (c.demo->parsed()) {
        return demoCommand(a);
    } else if (c.show->parsed()) {
        std::cout << tools::showTable(a.file);
    } else if (c.dump->parsed()) {
        std::cout << tools::dumpTable(a.file, a.format);
    } else if (c.convert->parsed()) {
        std::optional<tools::TableForm> form;
        if (!a.to.empty()) form = tools::parseForm(a.to);
        tools::writeTable(a.out, tools::readTable(a.in), form);
        std::cerr << "wrote " << a.out << "\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"geracupom: the sale-coupon service of a cafeteria station"};
    app.require_subcommand(1);
    Args args;
    Commands commands = addCommands(app, args);
    addTableCommands(app, args, commands);
    CLI11_PARSE(app, argc, argv);
    try {
        return dispatch(commands, args);
    } catch (const std::exception& e) {
        std::cerr << "geracupom: " << e.what() << "\n";
        return 2;
    }
}
