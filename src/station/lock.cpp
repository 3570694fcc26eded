#include "station/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include <fmt/format.h>

#include "station/host.h"

namespace zel::host {
namespace {

std::string holderOf(int fd) {
    char buf[512];
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return "another process";
    std::string text(buf, static_cast<size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text.empty() ? std::string("another process") : text;
}

}  // namespace

StationLock StationLock::acquire(const std::filesystem::path& dir, const std::string& command, double waitSeconds) {
    std::filesystem::path p = path(dir);
    int fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        throw StationError(
            fmt::format("{}: the station's lock cannot be opened: {}", p.string(), std::strerror(errno)));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            int e = errno;
            ::close(fd);
            throw StationError(fmt::format("{}: the station's lock cannot be taken: {}", p.string(), std::strerror(e)));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            std::string holder = holderOf(fd);
            ::close(fd);
            throw StationError(fmt::format("the station {} is in use by {}; wait for it to end, or give --wait SECONDS",
                                           dir.string(), holder));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::time_t now = std::time(nullptr);
    char since[32];
    std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::string who = fmt::format("pid {} (geracupom {}, since {})\n", ::getpid(), command, since);
    if (::ftruncate(fd, 0) == 0) {
        ssize_t ignored = ::pwrite(fd, who.data(), who.size(), 0);
        (void)ignored;
    }
    return StationLock(fd);
}

StationLock::~StationLock() {
    if (fd_ < 0) return;
    if (::ftruncate(fd_, 0) != 0) {
        // the holder's line stays; the lock itself goes with the descriptor
    }
    ::close(fd_);
}

}  // namespace zel::host
