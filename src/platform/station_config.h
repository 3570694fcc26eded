// The station's configuration file: "key = value" lines, "#" starts a comment
// line. The connection string is kept there under the key "database".
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

// File name of the configuration in the station directory.
inline constexpr std::string_view kStationConfigFile = "geracupom.conf";

// Format: one setting per line, "key = value"; blanks around key and value are
// dropped; keys are compared ignoring letter case; a line whose first non-blank
// character is "#" and a blank line are ignored. "#" inside a value is part of
// the value (a password may hold one). A key given twice, a line without "="
// or an empty key is an error naming the file and the line.
class StationConfig {
  public:
    struct Entry {
        std::string key;
        std::string value;
        int line = 0;
    };

    static StationConfig parse(std::string_view text, const std::string& source = "configuration");
    // Throws Error naming the path when the file cannot be read.
    static StationConfig load(const std::filesystem::path& file);
    static StationConfig loadFromDir(const std::filesystem::path& stationDir) {
        return load(stationDir / kStationConfigFile);
    }

    std::optional<std::string> get(std::string_view key) const;
    // Throws Error naming the file and the key when it is absent.
    std::string require(std::string_view key) const;
    const std::vector<Entry>& entries() const { return entries_; }
    const std::string& source() const { return source_; }

  private:
    std::string source_;
    std::vector<Entry> entries_;
};

}  // namespace zel
