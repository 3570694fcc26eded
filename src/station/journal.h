// Which passage the station is working on, kept in "run-current.json" while a
// consumer is charged. It only helps: recovery reads it to name the consumer
// of a coupon a crash interrupted; losing it costs that name, nothing else.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/atomic_file.h"

namespace zel::host {

struct CurrentPassage {
    std::string record, seq, client, consumer, name, moment;
    int64_t couponBefore = 0;  // the printer's last coupon number when the passage began
};

// While a pass charges, the file stays open: each consumer's passage is
// written over it in place and blanked (spaces over it) after the consumer,
// which costs the file system far less than replacing, removing or cutting a
// file per consumer. A blank file, and a text a crash cut in the middle of a
// write, do not parse: read as no passage. close() removes the file at the
// end of the pass.
class Journal {
  public:
    explicit Journal(std::filesystem::path file) : file_(std::move(file)) {}
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Throws FileWriteError naming the file when it cannot be written.
    void begin(const CurrentPassage& p);
    std::optional<CurrentPassage> read() const;  // empty when missing, empty or unreadable
    // The passage is over: the file holds no passage (removed when not open here).
    void clear();
    // The pass is over: the file is removed.
    void close();
    const std::filesystem::path& file() const { return file_; }

  private:
    std::filesystem::path file_;
    RewrittenFile out_{"the run journal", ' '};
};

}  // namespace zel::host
