#include "station/outbox.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/atomic_file.h"
#include "platform/dataset/codec.h"
#include "platform/dataset/packet.h"
#include "platform/error.h"

namespace zel::host {
namespace {

using json = nlohmann::json;

json encode(const Variant& v) {
    switch (v.type()) {
        case Variant::Type::Empty:
            return {{"t", "empty"}};
        case Variant::Type::Null:
            return {{"t", "null"}};
        case Variant::Type::Boolean:
            return {{"t", "bool"}, {"v", v.toBool()}};
        case Variant::Type::Int32:
        case Variant::Type::Int64:
            return {{"t", "int"}, {"v", v.toInt(FormatSettings::invariant())}};
        case Variant::Type::Double:
            return {{"t", "float"}, {"v", v.toDouble(FormatSettings::invariant())}};
        case Variant::Type::DateTime:
            return {{"t", "datetime"}, {"v", v.toDateTime(FormatSettings::invariant()).value()}};
        case Variant::Type::Text:
            return {{"t", "text"}, {"v", v.text()}};
        case Variant::Type::DataPacket:
            return {{"t", "packet"}, {"v", ds::encodeBase64(ds::encodeBinary(v.asPacket()))}};
        case Variant::Type::Array: {
            json a = json::array();
            for (const Variant& i : v.items()) a.push_back(encode(i));
            return {{"t", "array"}, {"v", a}};
        }
    }
    return {{"t", "empty"}};
}

Variant decode(const json& j, const std::string& source) {
    std::string t = j.at("t").get<std::string>();
    if (t == "empty") return Variant();
    if (t == "null") return Variant::null();
    if (t == "bool") return Variant(j.at("v").get<bool>());
    if (t == "int") return Variant(j.at("v").get<int64_t>());
    if (t == "float") return Variant(j.at("v").get<double>());
    if (t == "datetime") return Variant(DateTime(j.at("v").get<double>()));
    if (t == "text") return Variant(j.at("v").get<std::string>());
    if (t == "packet") {
        std::string bytes;
        if (!ds::decodeBase64(j.at("v").get<std::string>(), bytes))
            throw Error(fmt::format("{}: a packet value is not base64", source));
        return Variant::packet(ds::decodeBinary(bytes, source));
    }
    if (t == "array") {
        VariantArray items;
        for (const json& i : j.at("v")) items.push_back(decode(i, source));
        return Variant(std::move(items));
    }
    throw Error(fmt::format("{}: unknown value type \"{}\"", source, t));
}

std::string safeName(std::string s) {
    for (char& c : s)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return s;
}

}  // namespace

void Outbox::put(const std::string& serial, const std::string& coupon, const VariantArray& values) {
    std::filesystem::create_directories(dir_);
    json doc = {{"operation", "IncluiVendaCan"}, {"serial", serial}, {"coupon", coupon}, {"values", json::array()}};
    for (const Variant& v : values) doc["values"].push_back(encode(v));
    std::string name = fmt::format("{}-{}.json", safeName(serial), safeName(coupon.empty() ? "nocoupon" : coupon));
    writeFileAtomically(dir_ / name, doc.dump(), "the outbox record");
}

std::vector<OutboxEntry> Outbox::entries() const {
    std::vector<OutboxEntry> out;
    std::error_code ec;
    if (!std::filesystem::is_directory(dir_, ec)) return out;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
        if (e.path().extension() != ".json") continue;
        std::ifstream in(e.path());
        std::stringstream text;
        text << in.rdbuf();
        OutboxEntry entry;
        entry.file = e.path();
        try {
            json doc = json::parse(text.str());
            entry.coupon = doc.value("coupon", "");
            for (const json& v : doc.at("values")) entry.values.push_back(decode(v, e.path().string()));
        } catch (const std::exception& ex) {
            throw Error(fmt::format("{}: the outbox record cannot be read: {}", e.path().string(), ex.what()));
        }
        out.push_back(std::move(entry));
    }
    std::sort(out.begin(), out.end(), [](const OutboxEntry& a, const OutboxEntry& b) { return a.file < b.file; });
    return out;
}

bool Outbox::holds(const std::string& coupon) const {
    std::error_code ec;
    if (!std::filesystem::is_directory(dir_, ec)) return false;
    for (const auto& e : std::filesystem::directory_iterator(dir_))
        if (e.path().stem().string().ends_with("-" + coupon)) return true;
    return false;
}

void Outbox::remove(const OutboxEntry& entry) const {
    std::filesystem::remove(entry.file);
    syncDirectory(dir_);
}

}  // namespace zel::host
