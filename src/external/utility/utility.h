// The shared utility library: message reporting through a sink the host
// chooses, the checks of service answers, and small text and variant helpers.
// (The connection operations live in util_connection.h.)
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "platform/datetime.h"
#include "platform/variant.h"

namespace zel::ds {
struct Packet;
}

namespace zel::ext {

// Message kinds. The service reports every refusal and error with kind 3
// (Registro): a message recorded for the user that asks nothing back.
enum class TTipoMsg : int32_t { Informacao = 0, Aviso = 1, Pergunta = 2, Registro = 3, Erro = 4 };
const char* tipoMsgName(TTipoMsg kind);

// One message as it reaches a sink. The two flags ("S"/"N") and the extra texts
// are handed on as the caller gave them; no stand-in gives them a meaning.
struct Message {
    DateTime moment;
    std::string text;
    std::string detail;
    std::string flag1;
    std::string flag2;
    TTipoMsg kind = TTipoMsg::Registro;
    std::string extra;
    std::string idEsquema;
    int32_t code = 0;
    size_t tableRows = 0;  // rows of the table given with the message, 0 for none
};

class MessageSink {
  public:
    virtual ~MessageSink() = default;
    virtual void deliver(const Message& message) = 0;
};

// Prints each message as it happens, one line each.
class PrintingSink final : public MessageSink {
  public:
    explicit PrintingSink(std::ostream& out) : out_(out) {}
    void deliver(const Message& message) override;

  private:
    std::ostream& out_;
};

// Keeps the messages of a run for its summary.
class CollectingSink final : public MessageSink {
  public:
    void deliver(const Message& message) override;
    const std::vector<Message>& messages() const { return messages_; }
    std::vector<std::string> texts() const;
    void clear() { messages_.clear(); }

  private:
    std::vector<Message> messages_;
};

// Appends each message with its moment to the station's log file, one line
// each ("2026-12-25 12:30:05.123 [Registro] idEsquema: text"); the file is
// opened, written and closed per message so that a crash loses none before it.
// A line break inside a text is written as a blank. Throws zel::Error naming
// the file when it cannot be written.
class LogFileSink final : public MessageSink {
  public:
    explicit LogFileSink(std::filesystem::path path) : path_(std::move(path)) {}
    void deliver(const Message& message) override;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Hands each message to several sinks in order.
class FanOutSink final : public MessageSink {
  public:
    explicit FanOutSink(std::vector<MessageSink*> sinks) : sinks_(std::move(sinks)) {}
    void deliver(const Message& message) override;

  private:
    std::vector<MessageSink*> sinks_;
};

// Mensagem and MensagemMetodo, bound to the host's sink and clock.
class Messenger {
  public:
    Messenger(MessageSink& sink, const Clock& clock) : sink_(&sink), clock_(&clock) {}

    void setSink(MessageSink& sink) { sink_ = &sink; }

    // The service always calls it as (text, "", "N", "N", TTipoMsg::Registro,
    // "", idEsquema, 0, nullptr).
    void Mensagem(const std::string& text, const std::string& detail, const std::string& flag1,
                  const std::string& flag2, TTipoMsg kind, const std::string& extra, const std::string& idEsquema,
                  int32_t code, const ds::Packet* table);

    // Judges a service answer (see serviceAnswerFailed). On a failure it
    // reports "Falha em <unit>.<method>: <reason> [<description>]" with kind
    // Erro and `code`, then, when `raiseOnFailure`, throws zel::Error with the
    // same text; otherwise answers false. True for a good answer.
    bool MensagemMetodo(const Variant& answer, bool raiseOnFailure, int32_t code, const std::string& method,
                        const std::string& unit, const std::string& description, const std::string& idEsquema);

  private:
    MessageSink* sink_;
    const Clock* clock_;
};

// Answers of the service package. A good answer is an empty or null variant,
// true, the empty text or "OK" (any letter case), or an array whose element 0
// is one of these. Anything else is a failure: false, any other text (which is
// its reason), or an array whose element 0 is a failure (element 1, when a
// text, is the reason). Numbers and data packets count as good answers.
bool serviceAnswerFailed(const Variant& answer, std::string* reason = nullptr);
Variant serviceAnswerOk();
Variant serviceAnswerFailure(const std::string& reason);

// Price results. A result packet is an array variant: element `at` the status
// (true or "OK" for success), element `at`+1 the failure code ("PRECNCAD",
// "TABENCAD", "DTCLI", "DTPAR", "DTLOJ", "PRECZERO", "BLOQUEADO", or another text).
Variant priceResultOk();
Variant priceResultFailure(const std::string& code);

// On a failed result packet throws zel::Error whose text is exactly the failure
// code (or answers false when `raiseOnFailure` is false); true on success. The
// service calls it with (result, true, 0). A value that is no result packet is
// an ArgumentError.
bool CheckResultServ(const Variant& result, bool raiseOnFailure, int32_t at);

// Brings a text to `length` characters (UTF-8 characters, not bytes):
// - a number (only the digits 0-9, blanks around it ignored) is filled with
//   zeros on the left: ("2", 3) gives "002"; zeros on the left beyond the
//   length are dropped: ("0002", 3) gives "002";
// - any other text, the empty text included, is filled with blanks on the
//   right: ("AB", 4) gives "AB  ", ("", 4) gives four blanks;
// - a text that still does not fit (a number with more significant digits, or
//   a longer text) is never cut: Ajusta throws zel::Error naming the text and
//   the length, since a cut code or coupon number would name another record.
std::string Ajusta(const std::string& text, int length);

// True for the empty text and a text of blanks only (space, tab, CR, LF).
bool EmptyString(std::string_view text);

inline Variant iif(bool condition, const Variant& ifTrue, const Variant& ifFalse) {
    return condition ? ifTrue : ifFalse;
}

// The value under `key` ("CUPNR", "CONTCUPOM") of a parameter packet; letter
// case of the key ignored. A packet without that key, or that is no parameter
// packet, is an ArgumentError.
Variant RecebeParams(const Variant& packet, const std::string& key);

// The message catalogue: lines "key|text" in order; an empty line is allowed.
class TMessages {
  public:
    TMessages() = default;
    explicit TMessages(std::vector<std::string> lines) : lines_(std::move(lines)) {}

    // The text after the bar of the first line whose key equals `key` exactly.
    // An unknown key is a zel::Error naming it: a missing text is a fault of
    // the catalogue, never a message to show empty.
    std::string Msg(std::string_view key) const;
    const std::vector<std::string>& lines() const { return lines_; }

  private:
    std::vector<std::string> lines_;
};

// The cipher of the identification file (the key argument is one digit, 0-9;
// the service and the tools use kIdentKey). Texts are printable ASCII (32-126)
// and so are the ciphered texts, so that they survive any single-byte code page.
// Cripto(t, k) gives a check character followed by one character per character
// of t; character i of t (code c - 32) is shifted forward, modulo 95, by
//   (31 * k + 7 * i + previous) mod 95,
// where previous is the code - 32 of character i - 1 of t (17 for i = 0). The
// check character is 32 + h mod 95, h the 32-bit FNV-1a hash of the key's
// digit followed by the bytes of t.
// Uncripto(Cripto(t, k), k) == t. Uncripto throws zel::Error for a text that
// was not ciphered with that key (check character wrong) or holds characters
// outside 32-126; Cripto throws for such characters and for a key outside 0-9.
inline constexpr int kIdentKey = 7;
std::string Cripto(const std::string& text, int key);
std::string Uncripto(const std::string& text, int key);

}  // namespace zel::ext
