// The shared utility library: sinks, Mensagem, answer checks, text helpers and
// the identification cipher.
#include "external/utility/utility.h"

#include <fstream>
#include <ostream>

#include <fmt/format.h>

#include "external/utility/args.h"
#include "external/utility/param_packet.h"
#include "platform/dataset/packet.h"
#include "platform/error.h"
#include "platform/locale.h"
#include "platform/text.h"

namespace zel::ext {

const char* tipoMsgName(TTipoMsg kind) {
    switch (kind) {
        case TTipoMsg::Informacao:
            return "Informacao";
        case TTipoMsg::Aviso:
            return "Aviso";
        case TTipoMsg::Pergunta:
            return "Pergunta";
        case TTipoMsg::Registro:
            return "Registro";
        case TTipoMsg::Erro:
            return "Erro";
    }
    return "?";
}

namespace {

// A message as one line of the log: line breaks become blanks, and no other
// control character (a terminal's escape, say) is written raw.
std::string oneLine(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\n' || c == '\r') out += ' ';
        else if (u < 0x20 || u == 0x7f) out += fmt::format("\\x{:02x}", u);
        else out += c;
    }
    return out;
}

std::string messageLine(const Message& m) {
    std::string line = fmt::format("[{}] ", tipoMsgName(m.kind));
    if (!m.idEsquema.empty()) line += m.idEsquema + ": ";
    line += oneLine(m.text);
    if (!m.detail.empty()) line += " | " + oneLine(m.detail);
    return line;
}

}  // namespace

void PrintingSink::deliver(const Message& message) { out_ << messageLine(message) << '\n' << std::flush; }

void CollectingSink::deliver(const Message& message) { messages_.push_back(message); }

std::vector<std::string> CollectingSink::texts() const {
    std::vector<std::string> out;
    for (const Message& m : messages_) out.push_back(m.text);
    return out;
}

void LogFileSink::deliver(const Message& message) {
    std::string line = formatDateTime("yyyy-mm-dd hh:nn:ss.zzz", message.moment, FormatSettings::invariant()) + " " +
                       messageLine(message) + "\n";
    std::ofstream out(path_, std::ios::app | std::ios::binary);
    if (out) out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out.close();
    if (!out) throw Error(fmt::format("cannot append to the log file {}", path_.string()));
}

void FanOutSink::deliver(const Message& message) {
    for (MessageSink* s : sinks_) s->deliver(message);
}

void Messenger::Mensagem(const std::string& text, const std::string& detail, const std::string& flag1,
                         const std::string& flag2, TTipoMsg kind, const std::string& extra,
                         const std::string& idEsquema, int32_t code, const ds::Packet* table) {
    Message m;
    m.moment = clock_->now();
    m.text = text;
    m.detail = detail;
    m.flag1 = flag1;
    m.flag2 = flag2;
    m.kind = kind;
    m.extra = extra;
    m.idEsquema = idEsquema;
    m.code = code;
    m.tableRows = table ? table->liveRecordOrder().size() : 0;
    sink_->deliver(m);
}

bool Messenger::MensagemMetodo(const Variant& answer, bool raiseOnFailure, int32_t code, const std::string& method,
                               const std::string& unit, const std::string& description, const std::string& idEsquema) {
    std::string reason;
    if (!serviceAnswerFailed(answer, &reason)) return true;
    std::string text = fmt::format("Falha em {}.{}: {}", unit, method, reason.empty() ? "resposta negativa" : reason);
    if (!description.empty()) text += " [" + description + "]";
    Mensagem(text, "", "N", "N", TTipoMsg::Erro, "", idEsquema, code, nullptr);
    if (raiseOnFailure) throw Error(text);
    return false;
}

namespace {

// A status value: true, "OK", "" or nothing is good.
bool statusGood(const Variant& v, std::string* reason) {
    switch (v.type()) {
        case Variant::Type::Empty:
        case Variant::Type::Null:
            return true;
        case Variant::Type::Boolean:
            if (v.toBool()) return true;
            return false;
        case Variant::Type::Text:
            if (v.text().empty() || equalsIgnoringCase(v.text(), "OK")) return true;
            if (reason) *reason = v.text();
            return false;
        default:
            return true;
    }
}

}  // namespace

bool serviceAnswerFailed(const Variant& answer, std::string* reason) {
    if (!answer.isArray()) return !statusGood(answer, reason);
    const VariantArray& items = answer.items();
    if (items.empty()) return false;
    if (statusGood(items[0], reason)) return false;
    if (reason && items.size() > 1 && items[1].isText() && !items[1].text().empty()) *reason = items[1].text();
    return true;
}

Variant serviceAnswerOk() { return Variant(VariantArray{Variant(true), Variant("")}); }

Variant serviceAnswerFailure(const std::string& reason) {
    return Variant(VariantArray{Variant(false), Variant(reason)});
}

Variant priceResultOk() { return Variant(VariantArray{Variant(true), Variant("")}); }

Variant priceResultFailure(const std::string& code) { return Variant(VariantArray{Variant(false), Variant(code)}); }

bool CheckResultServ(const Variant& result, bool raiseOnFailure, int32_t at) {
    if (!result.isArray())
        throw ArgumentError(
            fmt::format("CheckResultServ: expected a result packet, found a {}", Variant::typeName(result.type())));
    ArgReader args(result.items(), "CheckResultServ", "result packet");
    if (at < 0) throw ArgumentError(fmt::format("CheckResultServ: status position {} is negative", at));
    size_t pos = static_cast<size_t>(at);
    const Variant& status = args.at(pos);
    bool good;
    if (status.type() == Variant::Type::Boolean) good = status.toBool();
    else if (status.isText()) good = equalsIgnoringCase(status.text(), "OK");
    else
        args.fail(pos, "status",
                  fmt::format("expected a Boolean or a text, found a {}", Variant::typeName(status.type())));
    if (good) return true;
    std::string code = pos + 1 < args.size() ? args.at(pos + 1).toText(FormatSettings::invariant()) : std::string();
    if (!raiseOnFailure) return false;
    if (code.empty()) throw Error("the price service failed without a failure code");
    throw Error(code);
}

std::string Ajusta(const std::string& text, int length) {
    if (length < 0) throw Error(fmt::format("Ajusta: negative length {}", length));
    size_t want = static_cast<size_t>(length);
    std::string_view t = text;
    size_t b = t.find_first_not_of(" \t");
    std::string_view trimmed = b == std::string_view::npos ? std::string_view() : t.substr(b);
    trimmed = trimmed.substr(0, trimmed.find_last_not_of(" \t") + 1);
    bool number = !trimmed.empty() && trimmed.find_first_not_of("0123456789") == std::string_view::npos;
    if (number) {
        while (trimmed.size() > want && trimmed.front() == '0') trimmed.remove_prefix(1);
        if (trimmed.size() > want)
            throw Error(fmt::format("Ajusta: the number '{}' does not fit in {} characters", text, length));
        return std::string(want - trimmed.size(), '0') + std::string(trimmed);
    }
    size_t have = utf8Length(text);
    if (have > want) throw Error(fmt::format("Ajusta: the text '{}' does not fit in {} characters", text, length));
    return text + std::string(want - have, ' ');
}

bool EmptyString(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

Variant RecebeParams(const Variant& packet, const std::string& key) {
    ParamPacketView view(packet, "RecebeParams", "");
    return view.value(key);
}

std::string TMessages::Msg(std::string_view key) const {
    for (const std::string& line : lines_) {
        size_t bar = line.find('|');
        if (bar == std::string::npos) continue;
        if (std::string_view(line).substr(0, bar) == key) return line.substr(bar + 1);
    }
    throw Error(fmt::format("the message catalogue has no key '{}'", key));
}

namespace {

constexpr int kRange = 95;

int codeOf(char c, std::string_view op, std::string_view text, size_t pos) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 32 || u > 126)
        throw Error(fmt::format("{}: character {} of the text is not printable ASCII (byte {})", op, pos, int(u)));
    (void)text;
    return u - 32;
}

void checkKey(int key, std::string_view op) {
    if (key < 0 || key > 9) throw Error(fmt::format("{}: the key must be one digit, 0 to 9, not {}", op, key));
}

// FNV-1a of the key digit followed by the plain text, reduced to 0-94.
int checkOf(const std::string& plain, int key) {
    uint32_t h = 2166136261u;
    auto mix = [&h](unsigned char c) {
        h ^= c;
        h *= 16777619u;
    };
    mix(static_cast<unsigned char>('0' + key));
    for (unsigned char c : plain) mix(c);
    return static_cast<int>(h % kRange);
}

int shiftAt(int key, size_t i, int previous) {
    return (31 * key + 7 * static_cast<int>(i % kRange) + previous) % kRange;
}

}  // namespace

std::string Cripto(const std::string& text, int key) {
    checkKey(key, "Cripto");
    std::string out(1, ' ');
    int previous = 17;
    for (size_t i = 0; i < text.size(); ++i) {
        int c = codeOf(text[i], "Cripto", text, i);
        out += static_cast<char>(32 + (c + shiftAt(key, i, previous)) % kRange);
        previous = c;
    }
    out[0] = static_cast<char>(32 + checkOf(text, key));
    return out;
}

std::string Uncripto(const std::string& text, int key) {
    checkKey(key, "Uncripto");
    if (text.empty()) throw Error("Uncripto: the ciphered text is empty (it lacks its check character)");
    int check = codeOf(text[0], "Uncripto", text, 0);
    std::string out;
    int previous = 17;
    for (size_t i = 1; i < text.size(); ++i) {
        int s = codeOf(text[i], "Uncripto", text, i);
        int c = ((s - shiftAt(key, i - 1, previous)) % kRange + kRange) % kRange;
        out += static_cast<char>(32 + c);
        previous = c;
    }
    if (checkOf(out, key) != check)
        throw Error("Uncripto: the text was not ciphered with this key, or it is damaged (check character differs)");
    return out;
}

}  // namespace zel::ext
