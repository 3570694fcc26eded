// geracupom: the host program of the sale-coupon service.
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "host/host.h"
#include "host/init.h"
#include "platform/error.h"
#include "tools/table_commands.h"

using namespace zel;

namespace {

int runCommand(const std::string& dir, bool asJson, const std::string& now, bool quiet) {
    host::Station station = host::openStation(dir);
    host::RunOptions options;
    if (!now.empty()) options.now = host::parseMoment(now);
    if (!asJson && !quiet) {
        options.display.out = &std::cerr;
        options.display.bar = ::isatty(STDERR_FILENO) != 0;
    }
    host::RunReport report = host::runStation(station, options);
    if (asJson) std::cout << report.toJson().dump(2) << "\n";
    else std::cout << report.summaryText();
    return report.exitStatus();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"geracupom: the sale-coupon service of a cafeteria station"};
    app.require_subcommand(1);

    // ---- station commands
    std::string dir, file, db, now, branch = "0001", reg = "001", day;
    bool demo = false, asJson = false;
    uint32_t seed = 1;
    size_t last = 3;

    auto* init = app.add_subcommand("init", "Make a complete station in a directory");
    init->add_option("DIR", dir, "the station directory (absent or empty)")->required();
    init->add_flag("--demo", demo, "fill it with demo data and a day of turnstile passages");
    init->add_option("--seed", seed, "seed of the demo data (same seed, same station)");
    init->add_option("--db", db, "the database, e.g. \"postgresql://host=H port=P dbname=D user=U\"; "
                                 "default: SQLite in the station");
    init->add_option("--branch", branch, "branch code CDFILIAL (default 0001)");
    init->add_option("--register", reg, "cash register code CDCAIXA (default 001)");
    init->add_option("--day", day, "day of the demo's passages, YYYY-MM-DD (default today)");

    auto* import = app.add_subcommand("import", "Import turnstile passages from a CSV file");
    import->add_option("DIR", dir, "the station directory")->required();
    import->add_option("FILE", file, "lines code;date;hour[;branch;register]")->required();

    auto* run = app.add_subcommand("run", "Repair what a crash left, then charge the pending passages");
    run->add_option("DIR", dir, "the station directory")->required();
    run->add_flag("--json", asJson, "print the summary as one JSON document");
    run->add_option("--now", now, "the station clock starts at this moment, \"YYYY-MM-DD HH:MM[:SS]\"");

    auto* status = app.add_subcommand("status", "Pending passages, the printer and the last run");
    status->add_option("DIR", dir, "the station directory")->required();
    status->add_flag("--json", asJson, "as JSON");

    auto* tape = app.add_subcommand("tape", "The last coupons as printed");
    tape->add_option("DIR", dir, "the station directory")->required();
    tape->add_option("--last", last, "how many receipts (0: all; default 3)");

    auto* demoCmd = app.add_subcommand("demo", "Make a demo station, run a batch, show the summary and last coupon");
    demoCmd->add_option("DIR", dir, "where to make it (default: a new directory geracupom-demo[-N] here)");
    demoCmd->add_option("--seed", seed, "seed of the demo data");

    // ---- table commands
    auto* table = app.add_subcommand("table", "Look at and write the station's table files");
    table->require_subcommand(1);
    std::string format = "json", in, out, to;
    auto* show = table->add_subcommand("show", "Fields and rows of a table file, aligned");
    show->add_option("FILE", file, "table file (binary, XML or JSON)")->required();
    auto* dump = table->add_subcommand("dump", "A table file as JSON or CSV on standard output");
    dump->add_option("FILE", file, "table file")->required();
    dump->add_option("--format", format, "json or csv")->check(CLI::IsMember({"json", "csv"}));
    auto* convert = table->add_subcommand("convert", "Convert a table file between binary, XML and JSON");
    convert->add_option("IN", in, "input table file (form told from its content)")->required();
    convert->add_option("OUT", out, "output file (form from its extension: .cds, .xml, .json)")->required();
    convert->add_option("--to", to, "binary, xml or json, whatever the extension")
        ->check(CLI::IsMember({"binary", "cds", "xml", "json"}));

    CLI11_PARSE(app, argc, argv);

    try {
        if (init->parsed()) {
            host::InitOptions o;
            o.demo = demo;
            o.seed = seed;
            o.database = db;
            o.branch = branch;
            o.register_ = reg;
            if (!day.empty()) o.day = host::parseMoment(day + " 00:00");
            host::initStation(dir, o, &std::cerr);
        } else if (import->parsed()) {
            host::Station station = host::openStation(dir);
            host::ImportResult r = host::importPassages(station, file);
            for (const auto& p : r.skipped)
                std::cerr << file << ":" << p.line << ": " << p.text << "; line skipped\n";
            if (r.imported)
                std::cout << "imported " << r.imported << " passage(s) as import record " << r.importRecord << "\n";
            else
                std::cout << "nothing imported\n";
            return r.skipped.empty() ? 0 : 1;
        } else if (run->parsed()) {
            return runCommand(dir, asJson, now, false);
        } else if (status->parsed()) {
            host::Station station = host::openStation(dir);
            nlohmann::json s = host::stationStatus(station);
            std::cout << (asJson ? s.dump(2) + "\n" : host::statusText(s));
        } else if (tape->parsed()) {
            host::Station station = host::openStation(dir);
            std::cout << host::tapeText(station, last);
        } else if (demoCmd->parsed()) {
            if (dir.empty()) {
                dir = "geracupom-demo";
                for (int n = 2; std::filesystem::exists(dir); ++n) dir = "geracupom-demo-" + std::to_string(n);
            }
            host::InitOptions o;
            o.demo = true;
            o.seed = seed;
            std::filesystem::path made = host::initStation(dir, o, &std::cerr);
            // The demo's passages are of today; the clock stands at the end of the day.
            DateTime endOfDay = DateTime(SystemClock().today().value() + (23 * 60 + 59) / 1440.0);
            host::Station station = host::openStation(made);
            host::RunOptions options;
            options.now = endOfDay;
            options.display.out = &std::cerr;
            options.display.bar = ::isatty(STDERR_FILENO) != 0;
            host::RunReport report = host::runStation(station, options);
            std::cout << report.summaryText() << "\nthe last coupon:\n\n" << host::tapeText(station, 1);
            std::cout << "the station is in " << made.string() << "; try: geracupom status " << made.string() << "\n";
            return report.exitStatus();
        } else if (show->parsed()) {
            std::cout << tools::showTable(file);
        } else if (dump->parsed()) {
            std::cout << tools::dumpTable(file, format);
        } else if (convert->parsed()) {
            std::optional<tools::TableForm> form;
            if (!to.empty()) form = tools::parseForm(to);
            tools::writeTable(out, tools::readTable(in), form);
            std::cerr << "wrote " << out << "\n";
        }
    } catch (const std::exception& e) {
        std::cerr << "geracupom: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
