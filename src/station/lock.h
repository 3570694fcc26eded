// One charging process per station: everything that charges, repairs or
// builds a station holds an exclusive lock on its file "station.lock"
// (flock, so the kernel lets go of it when the process dies, however it dies).
#pragma once

#include <filesystem>
#include <string>

namespace zel::host {

class StationLock {
  public:
    // Takes the lock of the station in `dir` for `command` ("run", "init"...).
    // Held by another process: waits up to `waitSeconds` (0: not at all), then
    // throws StationError naming the holder — its pid, command and since when.
    static StationLock acquire(const std::filesystem::path& dir, const std::string& command, double waitSeconds = 0);

    StationLock(StationLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    StationLock& operator=(StationLock&&) = delete;
    ~StationLock();

    static std::filesystem::path path(const std::filesystem::path& dir) { return dir / "station.lock"; }

  private:
    explicit StationLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace zel::host
