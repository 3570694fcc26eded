// Packet files: telling the binary form from the XML one, reading a whole
// file, and replacing a file atomically so readers never see half.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/atomic_file.h"
#include "platform/large_block.h"
#include "platform/dataset/codec.h"

namespace zel::ds {

PacketForm detectForm(std::string_view bytes) {
    static constexpr char kMagic[4] = {'\x96', '\x19', '\xE0', '\xBD'};
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), kMagic, 4) == 0) return PacketForm::Binary;
    std::string_view rest = bytes;
    if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
    size_t i = rest.find_first_not_of(" \t\r\n");
    if (i != std::string_view::npos && rest[i] == '<') return PacketForm::Xml;
    return PacketForm::Unknown;
}

Packet decodePacket(std::string_view bytes, std::string_view source, const CodecOptions& opts) {
    switch (detectForm(bytes)) {
        case PacketForm::Binary:
            return decodeBinary(bytes, source, opts);
        case PacketForm::Xml:
            return decodeXml(bytes, source, opts);
        default:
            throw PacketError(fmt::format("{}: byte offset 0: neither a binary data packet nor XML", source));
    }
}

namespace {

[[noreturn]] void ioFail(const std::filesystem::path& path, std::string_view what) {
    throw PacketError(fmt::format("{}: {}: {}", path.string(), what, std::strerror(errno)));
}

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

namespace {

std::atomic<int64_t> readNanoseconds{0}, writeNanoseconds{0};

struct Timed {
    std::atomic<int64_t>& total;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    ~Timed() {
        total +=
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started).count();
    }
};

}  // namespace

PacketFileTimes packetFileTimes() {
    return {std::chrono::nanoseconds(readNanoseconds.load()), std::chrono::nanoseconds(writeNanoseconds.load())};
}

namespace {

// The bytes of a file, read into memory of their own (not set to zeros
// first); the file may have grown since its size was taken. Reading, unlike
// mapping the file, never faults the process when another program cuts the
// file short in place while it is loaded: the bytes then fail to decode, with
// a message. The memory goes with the object, before the next file is read.
class FileBytes {
  public:
    explicit FileBytes(const std::filesystem::path& path) {
        Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
        if (f.fd < 0) ioFail(path, "cannot open");
        struct stat st {};
        if (::fstat(f.fd, &st) != 0) ioFail(path, "cannot read");
        room_ = S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) + 1 : 65536;
        bytes_ = static_cast<char*>(allocateBlock(room_));
        try {
            readAll(path, f.fd);
        } catch (...) {
            freeBlock(bytes_, room_);
            throw;
        }
    }
    ~FileBytes() { freeBlock(bytes_, room_); }
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    std::string_view view() const { return {bytes_, size_}; }

  private:
    void readAll(const std::filesystem::path& path, int fd) {
        for (;;) {
            if (size_ == room_) {
                size_t bigger = room_ + std::max<size_t>(room_ / 2, 65536);
                char* more = static_cast<char*>(allocateBlock(bigger));
                std::memcpy(more, bytes_, size_);
                freeBlock(bytes_, room_);
                bytes_ = more;
                room_ = bigger;
            }
            ssize_t n = ::read(fd, bytes_ + size_, room_ - size_);
            if (n < 0) {
                if (errno == EINTR) continue;
                ioFail(path, "cannot read");
            }
            if (n == 0) break;
            size_ += static_cast<size_t>(n);
        }
    }

    char* bytes_ = nullptr;
    size_t room_ = 0;
    size_t size_ = 0;
};

}  // namespace

Packet readPacketFile(const std::filesystem::path& path, const CodecOptions& opts) {
    Timed timed{readNanoseconds};
    FileBytes file(path);
    return decodePacket(file.view(), path.string(), opts);
}

bool readTableFile(const std::filesystem::path& path, Packet& header, RowStore& rows, Packet& packet,
                   const CodecOptions& opts) {
    Timed timed{readNanoseconds};
    FileBytes file(path);
    std::string_view bytes = file.view();
    if (detectForm(bytes) == PacketForm::Binary && decodeBinaryRows(bytes, path.string(), header, rows, opts))
        return true;
    packet = decodePacket(bytes, path.string(), opts);
    return false;
}

void writePacketFile(const std::filesystem::path& path, const Packet& packet, PacketForm form, const CodecOptions& opts,
                     Durability durability) {
    Timed timed{writeNanoseconds};
    std::string bytes = form == PacketForm::Xml ? encodeXml(packet, opts) : encodeBinary(packet, opts);
    try {
        writeFileAtomically(path, bytes, "table file", durability);
    } catch (const FileWriteError& e) {
        throw PacketError(e.what());  // the dataset layer reports its files with its own error
    }
}

void writePacketFile(RewrittenFile& file, const std::filesystem::path& path, const Packet& packet, PacketForm form,
                     const CodecOptions& opts) {
    Timed timed{writeNanoseconds};
    std::string bytes = form == PacketForm::Xml ? encodeXml(packet, opts) : encodeBinary(packet, opts);
    try {
        file.write(path, bytes);
    } catch (const FileWriteError& e) {
        throw PacketError(e.what());
    }
}

}  // namespace zel::ds
