// Table files read and written in any of their three forms.
#include "tools/table_commands.h"

#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "platform/atomic_file.h"
#include "platform/dataset/codec.h"
#include "platform/error.h"
#include "tools/packet_text.h"

namespace zel::tools {
namespace fs = std::filesystem;

namespace {

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error(fmt::format("{}: cannot open the file", path.string()));
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool looksLikeJson(std::string_view bytes) {
    size_t i = bytes.find_first_not_of(" \t\r\n");
    return i != std::string_view::npos && bytes[i] == '{';
}

}  // namespace

TableForm parseForm(const std::string& name) {
    if (name == "binary" || name == "cds") return TableForm::Binary;
    if (name == "xml") return TableForm::Xml;
    if (name == "json") return TableForm::Json;
    throw Error(fmt::format("unknown table form '{}': use binary, xml or json", name));
}

ds::Packet readTable(const fs::path& path) {
    std::string bytes = readBytes(path);
    if (looksLikeJson(bytes)) {
        nlohmann::ordered_json j;
        try {
            j = nlohmann::ordered_json::parse(bytes);
        } catch (const nlohmann::json::parse_error& e) {
            throw Error(fmt::format("{}: invalid JSON at byte {}: {}", path.string(), e.byte, e.what()));
        }
        return fromJson(j, path.string());
    }
    return ds::decodePacket(bytes, path.string());
}

void writeTable(const fs::path& path, const ds::Packet& p, std::optional<TableForm> to) {
    TableForm form;
    if (to) {
        form = *to;
    } else {
        std::string ext = path.extension().string();
        for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ext == ".cds") form = TableForm::Binary;
        else if (ext == ".xml") form = TableForm::Xml;
        else if (ext == ".json") form = TableForm::Json;
        else
            throw Error(fmt::format("{}: cannot tell the form from the extension; use .cds, .xml or .json, or --to",
                                    path.string()));
    }
    if (form == TableForm::Json) {
        writeFileAtomically(path, toJson(p).dump(1) + "\n", "table file");
        return;
    }
    ds::writePacketFile(path, p, form == TableForm::Xml ? ds::PacketForm::Xml : ds::PacketForm::Binary);
}

std::string showTable(const fs::path& path) { return toAlignedTable(readTable(path)); }

std::string dumpTable(const fs::path& path, const std::string& format) {
    ds::Packet p = readTable(path);
    if (format == "json") return toJson(p).dump(1) + "\n";
    if (format == "csv") return toCsv(p);
    throw Error(fmt::format("unknown dump format '{}': use json or csv", format));
}

}  // namespace zel::tools
