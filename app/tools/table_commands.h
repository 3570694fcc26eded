// The `geracupom table` commands: look at a station's table files and write
// them by hand (binary, XML, or the project's JSON form).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/dataset/packet.h"

namespace zel::tools {

enum class TableForm { Binary, Xml, Json };

// Reads a table file in any of the three forms, told apart by its content.
ds::Packet readTable(const std::filesystem::path& path);
// Writes a table file; the form comes from `to` or else from the extension
// (.cds binary, .xml XML, .json JSON). Throws zel::Error for an unknown one.
void writeTable(const std::filesystem::path& path, const ds::Packet& p, std::optional<TableForm> to = std::nullopt);
TableForm parseForm(const std::string& name);  // "binary"/"cds", "xml", "json"

std::string showTable(const std::filesystem::path& path);
std::string dumpTable(const std::filesystem::path& path, const std::string& format);  // "json" or "csv"

}  // namespace zel::tools
