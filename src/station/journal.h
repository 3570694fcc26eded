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

// While a pass charges, the file stays open: each consumer's passage is
// written over it in place and cleared to nothing after the consumer, which
// costs the file system far less than replacing or removing a file per
// consumer. A crash in the middle of a write leaves a text that does not
// parse, read as no passage. close() removes the file at the end of the pass.
class Journal {
  public:
    explicit Journal(std::filesystem::path file) : file_(std::move(file)) {}
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Throws FileWriteError naming the file when it cannot be written.
    void begin(const CurrentPassage& p);
    std::optional<CurrentPassage> read() const;  // empty when missing, empty or unreadable
    // The passage is over: the file holds nothing (removed when not open here).
    void clear();
    // The pass is over: the file is removed.
    void close();
    const std::filesystem::path& file() const { return file_; }

  private:
    std::filesystem::path file_;
    int fd_ = -1;
};

}  // namespace zel::host
