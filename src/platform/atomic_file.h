// The one way the station replaces a file that a later run reads back: the
// new content is written beside it, flushed to disk, renamed over it, and the
// directory flushed, so that after a crash or a power cut the file holds
// either its old content or the new one, whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace zel {

// A file that could not be written or replaced; the message names the file
// and the system's reason ("No space left on device", "Is a directory", ...).
class FileWriteError : public Error {
  public:
    using Error::Error;
};

enum class Durability {
    Flushed,  // file and directory reach the disk before the call returns
    Cached,   // atomic against a crash of the process, not of the machine
    // Written over the old content where it lies, neither renamed nor
    // flushed: a crash in the middle can leave it cut short. For files no
    // later run reads back (a copy shown to a person, a file recovery only
    // removes). Replacing a file by renaming makes the file system write the
    // new content out at once; written in place it is written out later, in
    // one go with the next changes.
    InPlace,
};

// Replaces `path` with `content` atomically ("<path>.tmp" is the scratch
// file, removed on failure). `what` names the file for messages ("the printer
// memory"). Throws FileWriteError; the old file is then untouched.
// Durability::InPlace writes over the file instead (not atomically; see there).
void writeFileAtomically(const std::filesystem::path& path, std::string_view content, std::string_view what = "file",
                         Durability durability = Durability::Flushed, unsigned mode = 0644);

// A file written again and again in place (as Durability::InPlace) and kept
// open between writes, which spares the file system an open and a close per
// write. Removed or renamed under it by another hand, it is opened again by
// its name at the next write. The content is padded with `pad` to the length
// the file has reached, so that it is never cut shorter (cutting a file makes
// the file system give back and take again its blocks): only for contents
// whose readers ignore trailing padding (JSON and spaces), or with pad '\0'
// for none (the file is then cut to the content's length).
class RewrittenFile {
  public:
    RewrittenFile(std::string what, char pad = '\0') : what_(std::move(what)), pad_(pad) {}
    ~RewrittenFile() { close(); }
    RewrittenFile(const RewrittenFile&) = delete;
    RewrittenFile& operator=(const RewrittenFile&) = delete;

    // Throws FileWriteError naming the file and the reason.
    void write(const std::filesystem::path& path, std::string_view content);
    // Writes the padding over the whole content, when the file is open.
    // Returns false when it is not open or the write failed.
    bool blank();
    void close();  // the file stays
    bool isOpen() const { return fd_ >= 0; }

    // Takes the file away from its name `path`, as a removal does, but keeps
    // it, emptied, under `spare` (in the same directory) for the next write to
    // `path`, which puts it back under the name instead of making a new file.
    // A file system without a journal keeps a removed file's number from the
    // next files made for a while, and searches past every such number at each
    // file it makes: a file removed and made again per sale would make that
    // search grow with every sale. Falls back to removing the file when it
    // cannot be kept. True when `path` no longer names a file.
    bool retire(const std::filesystem::path& path, const std::filesystem::path& spare);

  private:
    std::string what_;
    char pad_;
    std::filesystem::path path_;
    std::filesystem::path spare_;  // where the open file waits, retired (empty: it is not)
    int fd_ = -1;
    size_t length_ = 0;  // of the file, as written through here
};

// A file appended to again and again and kept open between appends (as
// appendFile with Durability::Cached), which spares the file system an open
// and a close per append. Removed or renamed under it by another hand, the
// name is opened again (and the file made anew) at the next call.
class AppendedFile {
  public:
    explicit AppendedFile(std::string what) : what_(std::move(what)) {}
    ~AppendedFile() { close(); }
    AppendedFile(const AppendedFile&) = delete;
    AppendedFile& operator=(const AppendedFile&) = delete;

    // Opens `path` for appending unless the file kept open is still the one
    // the name gives. 0, or the errno of the failed open.
    int ready(const std::filesystem::path& path);
    // Appends `content` whole or not at all (a failed append is cut off
    // again). Throws FileWriteError naming the file and the reason.
    void append(const std::filesystem::path& path, std::string_view content);
    void close();  // the file stays

  private:
    std::string what_;
    std::filesystem::path path_;
    int fd_ = -1;
};

// Appends `content` to `path` (created when missing) and flushes it. Throws
// FileWriteError naming the file and the reason; what a failed append wrote is
// cut off again, so the file ends as it ended before.
void appendFileDurably(const std::filesystem::path& path, std::string_view content, std::string_view what = "file");

// The same append with a choice: Durability::Cached leaves the flush to a
// later flushFile (the content survives a crash of the process, not of the
// machine). A file created by a cached append gets its directory entry
// flushed by that flushFile.
void appendFile(const std::filesystem::path& path, std::string_view content, std::string_view what,
                Durability durability);

// Flushes what earlier cached writes left in `path`, and its directory entry
// (one durable write). Throws FileWriteError naming the file and the reason.
void flushFile(const std::filesystem::path& path, std::string_view what = "file");

// Flushes the directory entry of `dir` (after a create, rename or unlink).
void syncDirectory(const std::filesystem::path& dir);

// Flushed writes this process has completed: each writeFileAtomically and
// appendFile with Durability::Flushed, each appendFileDurably, each flushFile
// and each noteDurableWrite counts one (for benchmarks and for tests of how
// many flushes an operation costs).
uint64_t durableWriteCount();
// Counts a flush made outside these functions (an fdatasync of a file kept open).
void noteDurableWrite();

}  // namespace zel
