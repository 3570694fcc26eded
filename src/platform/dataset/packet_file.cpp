// Packet files: telling the binary form from the XML one, reading a whole
// file, and replacing a file atomically so readers never see half.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/atomic_file.h"
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

std::string readWholeFile(int fd, size_t size, const std::filesystem::path& path) {
    std::string bytes;
    bytes.resize(size);
    size_t got = 0;
    for (;;) {
        if (got == bytes.size()) bytes.resize(bytes.size() + 65536);  // the file may have grown
        ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            ioFail(path, "cannot read");
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

// The bytes of a file: mapped read-only and decoded where they lie, or read
// into memory where the file cannot be mapped. A file replaced whole while it
// is mapped (written aside, then renamed over it, as writePacketFile does)
// stays as it was for the reader; one cut short in place by another program
// while it is mapped would fault the process.
class FileBytes {
  public:
    explicit FileBytes(const std::filesystem::path& path) {
        Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
        if (f.fd < 0) ioFail(path, "cannot open");
        struct stat st {};
        if (::fstat(f.fd, &st) != 0) ioFail(path, "cannot read");
        size_t size = static_cast<size_t>(st.st_size);
        if (S_ISREG(st.st_mode) && size > 0) {
            void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, f.fd, 0);
            if (p != MAP_FAILED) {
                map_ = p;
                view_ = {static_cast<const char*>(p), size};
                return;
            }
        }
        read_ = readWholeFile(f.fd, size, path);
        view_ = read_;
    }
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes() {
        if (map_) ::munmap(map_, view_.size());
    }
    std::string_view view() const { return view_; }

  private:
    void* map_ = nullptr;
    std::string read_;
    std::string_view view_;
};

}  // namespace

Packet readPacketFile(const std::filesystem::path& path, const CodecOptions& opts) {
    Timed timed{readNanoseconds};
    FileBytes file(path);
    return decodePacket(file.view(), path.string(), opts);
}

void readPacketFile(const std::filesystem::path& path, RecordSink& sink, const CodecOptions& opts) {
    Timed timed{readNanoseconds};
    FileBytes file(path);
    std::string_view bytes = file.view();
    if (detectForm(bytes) == PacketForm::Binary) {
        decodeBinary(bytes, path.string(), sink, opts);
        return;
    }
    Packet p = decodePacket(bytes, path.string(), opts);
    std::vector<Record> records = std::move(p.records);
    p.records.clear();
    sink.begin(p, static_cast<uint32_t>(records.size()), bytes.size());
    for (Record& r : records)
        if (!sink.record(r)) return;
}

bool readPacketFileRows(const std::filesystem::path& path, Packet& header, RowStore& rows, const CodecOptions& opts) {
    Timed timed{readNanoseconds};
    FileBytes file(path);
    if (detectForm(file.view()) != PacketForm::Binary) return false;
    return decodeBinaryRows(file.view(), path.string(), header, rows, opts);
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

}  // namespace zel::ds
