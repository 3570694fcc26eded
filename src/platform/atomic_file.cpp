#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fmt/format.h>

namespace zel {
namespace {

std::atomic<uint64_t> durableWrites{0};

[[noreturn]] void fail(std::string_view what, const std::filesystem::path& path, std::string_view action, int err) {
    throw FileWriteError(fmt::format("{} {} {}: {}", what, path.string(), action, std::strerror(err)));
}

// Writes the whole content; 0 or the errno of the failure.
int writeAll(int fd, std::string_view content) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

void syncDirectory(const std::filesystem::path& dir) {
    std::filesystem::path d = dir.empty() ? std::filesystem::path(".") : dir;
    int fd = ::open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

namespace {

// Writes `content` over the start of the open file and cuts a longer old
// content to its length; 0 or the errno of the failure. Never truncated to
// nothing first, which would make the file system write it out at close.
int overwrite(int fd, std::string_view content) {
    for (size_t done = 0; done < content.size();) {
        ssize_t n = ::pwrite(fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
        if (n >= 0) done += static_cast<size_t>(n);
        else if (errno != EINTR) return errno;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) return errno;
    if (st.st_size > static_cast<off_t>(content.size()) && ::ftruncate(fd, static_cast<off_t>(content.size())) != 0)
        return errno;
    return 0;
}

void overwriteFile(const std::filesystem::path& path, std::string_view content, std::string_view what, unsigned mode) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0) fail(what, path, "cannot be written", errno);
    int e = overwrite(fd, content);
    if (::close(fd) != 0 && e == 0) e = errno;
    if (e != 0) fail(what, path, "cannot be written", e);
}

}  // namespace

void writeFileAtomically(const std::filesystem::path& path, std::string_view content, std::string_view what,
                         Durability durability, unsigned mode) {
    if (durability == Durability::InPlace) return overwriteFile(path, content, what, mode);
    std::filesystem::path tmp = path;
    tmp += ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) fail(what, path, "cannot be written", errno);
    if (int e = writeAll(fd, content); e != 0) {
        ::close(fd);
        ::unlink(tmp.c_str());
        fail(what, path, "cannot be written", e);
    }
    if (durability == Durability::Flushed && ::fdatasync(fd) != 0) {
        int e = errno;
        ::close(fd);
        ::unlink(tmp.c_str());
        fail(what, path, "cannot be written", e);
    }
    if (::close(fd) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        fail(what, path, "cannot be written", e);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        fail(what, path, "cannot be replaced", e);
    }
    if (durability == Durability::Flushed) {
        syncDirectory(path.parent_path());
        ++durableWrites;
    }
}

namespace {

// Whether `path` still names the file open as `fd`: not removed, nor renamed
// away, nor replaced by another file under the name.
bool namesOpenFile(const std::filesystem::path& path, int fd) {
    struct stat named {}, open {};
    return ::stat(path.c_str(), &named) == 0 && ::fstat(fd, &open) == 0 && named.st_dev == open.st_dev &&
           named.st_ino == open.st_ino;
}

}  // namespace

void RewrittenFile::write(const std::filesystem::path& path, std::string_view content) {
    struct stat st {};
    // A retired file goes back under its name, unless another file took it.
    if (fd_ >= 0 && !spare_.empty() &&
        (path != path_ || ::renameat2(AT_FDCWD, spare_.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0))
        close();
    spare_.clear();
    if (fd_ >= 0 && (path != path_ || !namesOpenFile(path, fd_))) close();
    if (fd_ < 0) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) fail(what_, path, "cannot be written", errno);
        path_ = path;
        // Another hand may have left it longer (or shorter) than it was.
        length_ = ::fstat(fd_, &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    }
    if (pad_ == '\0' || content.size() >= length_) {
        if (int e = overwrite(fd_, content); e != 0) fail(what_, path, "cannot be written", e);
        length_ = content.size();
        return;
    }
    std::string padded(content);
    padded.resize(length_, pad_);
    if (int e = overwrite(fd_, padded); e != 0) fail(what_, path, "cannot be written", e);
}

bool RewrittenFile::blank() {
    if (fd_ < 0) return false;
    if (pad_ == '\0') {
        if (::ftruncate(fd_, 0) != 0) return false;
        length_ = 0;
        return true;
    }
    return overwrite(fd_, std::string(length_, pad_)) == 0;
}

bool RewrittenFile::retire(const std::filesystem::path& path, const std::filesystem::path& spare) {
    bool same = fd_ >= 0 && spare_.empty() && path == path_ && namesOpenFile(path, fd_);
    // Emptied first: the name never holds an old sale's content again, even
    // if a crash comes between the two steps.
    if (same && ::ftruncate(fd_, 0) == 0 && ::rename(path.c_str(), spare.c_str()) == 0) {
        spare_ = spare;
        length_ = 0;
        return true;
    }
    close();
    std::error_code ec;
    std::filesystem::remove(path, ec);
    return !std::filesystem::exists(path, ec);
}

void RewrittenFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    length_ = 0;
    spare_.clear();
}

void appendFile(const std::filesystem::path& path, std::string_view content, std::string_view what,
                Durability durability) {
    bool existed = std::filesystem::exists(path);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) fail(what, path, "cannot be written", errno);
    // A failed append is taken back, so that a retry never leaves half of the
    // content in front of the whole.
    off_t before = ::lseek(fd, 0, SEEK_END);
    int e = writeAll(fd, content);
    if (e == 0 && durability == Durability::Flushed && ::fdatasync(fd) != 0) e = errno;
    if (e != 0) {
        if (before >= 0 && ::ftruncate(fd, before) == 0 && durability == Durability::Flushed) ::fdatasync(fd);
        ::close(fd);
        fail(what, path, "cannot be written", e);
    }
    if (::close(fd) != 0) fail(what, path, "cannot be written", errno);
    if (durability == Durability::Flushed) {
        if (!existed) syncDirectory(path.parent_path());
        ++durableWrites;
    }
}

int AppendedFile::ready(const std::filesystem::path& path) {
    if (fd_ >= 0 && path == path_ && namesOpenFile(path, fd_)) return 0;
    close();
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) return errno;
    path_ = path;
    return 0;
}

void AppendedFile::append(const std::filesystem::path& path, std::string_view content) {
    if (int e = ready(path); e != 0) fail(what_, path, "cannot be written", e);
    // A failed append is taken back, so that a retry never leaves half of the
    // content in front of the whole.
    off_t before = ::lseek(fd_, 0, SEEK_END);
    if (int e = writeAll(fd_, content); e != 0) {
        if (before < 0 || ::ftruncate(fd_, before) != 0) close();
        fail(what_, path, "cannot be written", e);
    }
}

void AppendedFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void appendFileDurably(const std::filesystem::path& path, std::string_view content, std::string_view what) {
    appendFile(path, content, what, Durability::Flushed);
}

void flushFile(const std::filesystem::path& path, std::string_view what) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) fail(what, path, "cannot be flushed", errno);
    if (::fdatasync(fd) != 0) {
        int e = errno;
        ::close(fd);
        fail(what, path, "cannot be flushed", e);
    }
    ::close(fd);
    syncDirectory(path.parent_path());
    ++durableWrites;
}

void noteDurableWrite() { ++durableWrites; }

uint64_t durableWriteCount() { return durableWrites.load(); }

}  // namespace zel
