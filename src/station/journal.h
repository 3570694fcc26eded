// Which passage the station is working on, kept in "run-current.json" while a
// consumer is charged. It only helps: recovery reads it to name the consumer
// of a coupon a crash interrupted; losing it costs that name, nothing else.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace zel::host {

struct CurrentPassage {
    std::string record, seq, client, consumer, name, moment;
    int64_t couponBefore = 0;  // the printer's last coupon number when the passage began
};

class Journal {
  public:
    explicit Journal(std::filesystem::path file) : file_(std::move(file)) {}
    void begin(const CurrentPassage& p);
    std::optional<CurrentPassage> read() const;  // empty when missing or unreadable
    void clear();
    const std::filesystem::path& file() const { return file_; }

  private:
    std::filesystem::path file_;
};

}  // namespace zel::host
