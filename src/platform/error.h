// The error type of the platform layer: bad input and failed operations, with a
// message that says what and where.
#pragma once

#include <stdexcept>
#include <string>

namespace zel {

class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A text that is not a number, a date or a time in the station's format.
class ConvertError : public Error {
  public:
    using Error::Error;
};

}  // namespace zel
