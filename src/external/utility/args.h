// Checks of the value lists and parameter packets that reach the outside
// packages: a wrong count or type is an ArgumentError naming the operation and
// the position, never a crash.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/variant.h"

namespace zel::ds {
struct Packet;
}

namespace zel::ext {

class ArgumentError : public Error {
  public:
    using Error::Error;
};

// Reads positional values of one call. `operation` and `what` ("closing list",
// "opening packet") go into every error message.
class ArgReader {
  public:
    ArgReader(const VariantArray& values, std::string_view operation, std::string_view what);

    // Throws when the list does not hold exactly `count` values.
    const ArgReader& expectCount(size_t count) const;

    const std::string& text(size_t pos, std::string_view role = {}) const;
    bool boolean(size_t pos, std::string_view role = {}) const;
    int64_t integer(size_t pos, std::string_view role = {}) const;  // a 32- or 64-bit integer
    double number(size_t pos, std::string_view role = {}) const;    // any number
    const ds::Packet& packet(size_t pos, std::string_view role = {}) const;
    DateTime dateTime(size_t pos, std::string_view role = {}) const;
    // Null, empty, or an empty text: nothing was given there.
    void nothing(size_t pos, std::string_view role = {}) const;

    const Variant& at(size_t pos) const;
    size_t size() const { return values_.size(); }

    [[noreturn]] void fail(size_t pos, std::string_view role, std::string_view problem) const;

  private:
    const VariantArray& values_;
    std::string operation_;
    std::string what_;
};

}  // namespace zel::ext
