// geracupom: the host program of the sale-coupon service.
#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "platform/error.h"
#include "tools/table_commands.h"

int main(int argc, char** argv) {
    CLI::App app{"geracupom: the sale-coupon service of a cafeteria station"};
    app.require_subcommand(1);

    auto* table = app.add_subcommand("table", "Look at and write the station's table files");
    table->require_subcommand(1);

    std::string file, format = "json", in, out, to;
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
        if (show->parsed()) {
            std::cout << zel::tools::showTable(file);
        } else if (dump->parsed()) {
            std::cout << zel::tools::dumpTable(file, format);
        } else if (convert->parsed()) {
            std::optional<zel::tools::TableForm> form;
            if (!to.empty()) form = zel::tools::parseForm(to);
            zel::tools::writeTable(out, zel::tools::readTable(in), form);
            std::cerr << "wrote " << out << "\n";
        }
    } catch (const std::exception& e) {
        std::cerr << "geracupom: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
