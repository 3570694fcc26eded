// Reader of the station's configuration file.
#include "platform/station_config.h"

#include <cctype>
#include <fstream>
#include <sstream>

#include "platform/error.h"
#include "platform/text.h"

namespace zel {

StationConfig StationConfig::parse(std::string_view text, const std::string& source) {
    StationConfig cfg;
    cfg.source_ = source;
    int lineNo = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        std::string_view line = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        ++lineNo;
        std::string_view t = trimWhitespace(line);
        if (!t.empty() && t.front() != '#') {
            size_t eq = t.find('=');
            if (eq == std::string_view::npos)
                throw Error(source + ", line " + std::to_string(lineNo) + ": expected 'key = value'");
            std::string_view key = trimWhitespace(t.substr(0, eq));
            if (key.empty()) throw Error(source + ", line " + std::to_string(lineNo) + ": empty key");
            for (const Entry& e : cfg.entries_)
                if (equalsIgnoringCase(e.key, key))
                    throw Error(source + ", line " + std::to_string(lineNo) + ": key '" + std::string(key) +
                                "' given again (first on line " + std::to_string(e.line) + ")");
            cfg.entries_.push_back({std::string(key), std::string(trimWhitespace(t.substr(eq + 1))), lineNo});
        }
        if (end == std::string_view::npos) break;
        pos = end + 1;
    }
    return cfg;
}

StationConfig StationConfig::load(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Error("cannot read the station configuration " + file.string());
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) throw Error("cannot read the station configuration " + file.string());
    return parse(ss.str(), file.string());
}

std::optional<std::string> StationConfig::get(std::string_view key) const {
    for (const Entry& e : entries_)
        if (equalsIgnoringCase(e.key, key)) return e.value;
    return std::nullopt;
}

std::string StationConfig::require(std::string_view key) const {
    if (auto v = get(key)) return *v;
    throw Error(source_ + ": no setting '" + std::string(key) + "'");
}

}  // namespace zel
