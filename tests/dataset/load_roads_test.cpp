// The two roads of a binary table file, straight into compact rows and
// through Record values, make the same table of the same bytes and refuse the
// same bad bytes with the same message: over the real samples, every
// truncation of them and bytes damaged all along them; and a table loads alike
// from any file: an empty one, a pipe, files read one after the other.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "platform/dataset/codec.h"
#include "platform/dataset/row_store.h"
#include "platform/dataset/table.h"

namespace zel::ds {
namespace {

namespace fs = std::filesystem;

std::string sample(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<fs::path> binarySamples() {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(fs::path(ZEL_TESTDATA_DIR) / "datapackets"))
        if (e.path().extension() == ".cds") out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

// Floats compared by their bits: damaged bytes make NaNs too.
bool sameCell(const Cell& a, const Cell& b) {
    if (a.index() != b.index()) return false;
    if (auto* x = std::get_if<double>(&a)) return std::memcmp(x, &std::get<double>(b), sizeof(double)) == 0;
    return a == b;
}

enum class Road { Table, NotPlain, Refused };

// What the road through records makes of `bytes`: the message it refuses them
// with, or the rows of a table of original records only.
Road throughRecords(std::string_view bytes, std::string& error, Packet& p) {
    try {
        p = decodeBinary(bytes, "damaged.cds");
    } catch (const PacketError& e) {
        error = e.what();
        return Road::Refused;
    }
    if (p.prop("CHANGE_LOG")) return Road::NotPlain;
    for (const Record& r : p.records) {
        if (r.status != kUnchangedRecord) return Road::NotPlain;
        for (const Cell& c : r.cells)
            if (std::holds_alternative<Unchanged>(c)) return Road::NotPlain;
    }
    return Road::Table;
}

// Fails the test where the straight road differs from the one through records.
// Answers what the bytes were, for the tallies.
Road expectSameOutcome(std::string_view bytes, const std::string& what) {
    std::string expectedError;
    Packet expected;
    Road road = throughRecords(bytes, expectedError, expected);
    Packet header;
    RowStore rows;
    bool plain;
    try {
        plain = decodeBinaryRows(bytes, "damaged.cds", header, rows);
    } catch (const PacketError& e) {
        EXPECT_EQ(e.what(), expectedError) << what;
        return Road::Refused;
    }
    if (!plain) {
        // Stopped at the first record that is not an original one: the rest is
        // for the other road, which may still find it damaged.
        EXPECT_NE(road, Road::Table) << what;
        EXPECT_EQ(rows.size(), 0u) << what;
        return Road::NotPlain;
    }
    EXPECT_EQ(road, Road::Table) << what << ": " << expectedError;
    if (road != Road::Table) return road;
    std::vector<Record> records = std::move(expected.records);
    expected.records.clear();
    EXPECT_EQ(header, expected) << what;
    EXPECT_EQ(rows.size(), records.size()) << what;
    for (size_t r = 0; r < std::min(rows.size(), records.size()); ++r)
        for (size_t f = 0; f < header.fields.size(); ++f)
            if (!sameCell(rows.cell(r, f), records[r].cells[f])) {
                ADD_FAILURE() << what << ": record " << r + 1 << ", field " << header.fields[f].name;
                return road;
            }
    return road;
}

// Under the sanitizers every decode costs some fifty times more: every
// seventh place of the dense part is taken there.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kDenseStep = 7;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr size_t kDenseStep = 7;
#else
constexpr size_t kDenseStep = 1;
#endif
#else
constexpr size_t kDenseStep = 1;
#endif

TEST(LoadRoads, TheSamplesWholeCutAndDamagedGiveTheSameTablesAndErrors) {
    size_t tables = 0, refused = 0, notPlain = 0;
    auto tally = [&](Road r) { (r == Road::Table ? tables : r == Road::Refused ? refused : notPlain)++; };
    for (const fs::path& path : binarySamples()) {
        const std::string bytes = sample(path);
        const std::string name = path.filename().string();
        ASSERT_EQ(expectSameOutcome(bytes, name), Road::Table) << name;
        // Every place in the descriptors and the first records, then some hundred more.
        const size_t dense = 1024, sparse = std::max<size_t>(61, bytes.size() / 200);
        for (size_t len = 0; len < bytes.size(); len += len < dense ? kDenseStep : sparse)
            tally(expectSameOutcome(std::string(bytes, 0, len), fmt::format("{} cut at {}", name, len)));
        // One byte damaged at a time: inverted, and set to values that make a
        // deleted record or field status 3, or "not changed" values.
        for (size_t at = 0; at < bytes.size(); at += at < dense ? kDenseStep : sparse)
            for (unsigned char v : {static_cast<unsigned char>(~bytes[at]), static_cast<unsigned char>(0x03),
                                    static_cast<unsigned char>(0xAA)}) {
                std::string damaged = bytes;
                damaged[at] = static_cast<char>(v);
                tally(expectSameOutcome(damaged, fmt::format("{} with byte {} set to {}", name, at, v)));
            }
    }
    // Each kind of outcome was met many times over.
    EXPECT_GT(tables, 1000u / kDenseStep);
    EXPECT_GT(refused, 1000u / kDenseStep);
    EXPECT_GT(notPlain, 100u / kDenseStep);
}

struct TempDir {
    fs::path path = fs::temp_directory_path() / fmt::format("zel_load_roads_{}", ::getpid());
    TempDir() { fs::create_directories(path); }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// What a table holds, every cell, for comparing two tables.
std::vector<std::vector<Cell>> rowsOf(Table& t) {
    std::vector<std::vector<Cell>> out;
    for (t.first(); !t.eof(); t.next()) {
        out.emplace_back();
        for (int f = 0; f < t.fieldCount(); ++f) out.back().push_back(t.cell(f));
    }
    return out;
}

// A table loaded from a file holds what the decoded packet given to a table
// holds, and a bad file is refused as decoding its bytes is: the samples whole
// and cut, and a change log, which the file road merges as a packet's is.
TEST(LoadRoads, ATableFromAFileIsTheTableOfItsPacket) {
    Packet log;  // record 1 inserted, then modified by record 2, one value unchanged
    log.fields = {FieldDef::string("A", 5), FieldDef::floatField("B")};
    log.props = {Property::intList("CHANGE_LOG", {1, 0, 4, 2, 1, 8}, 4)};
    log.records = {Record{kInserted | kOriginal, {std::string("old"), 1.0}}, Record{kModified, {Unchanged{}, 2.0}}};
    std::vector<std::pair<std::string, std::string>> files = {{"log.cds", encodeBinary(log)}};
    for (const fs::path& path : binarySamples()) files.emplace_back(path.filename().string(), sample(path));

    TempDir dir;
    for (const auto& [name, bytes] : files)
        for (size_t cut : {bytes.size(), bytes.size() - 1, bytes.size() / 2}) {
            fs::path file = dir.path / name;
            std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(cut));
            std::string what = fmt::format("{} cut at {}", name, cut), fileError, packetError;
            Table fromFile("cdsFile"), fromPacket("cdsPacket");
            try {
                fromFile.loadFromFile(file);
            } catch (const Error& e) {
                fileError = e.what();
            }
            try {
                fromPacket.setData(decodePacket(std::string_view(bytes).substr(0, cut), file.string()));
            } catch (const Error& e) {
                packetError = e.what();
            }
            EXPECT_EQ(fileError, packetError) << what;
            if (!fileError.empty() || !packetError.empty()) {
                EXPECT_FALSE(fromFile.isOpen()) << what;
                continue;
            }
            EXPECT_EQ(fromFile.fields(), fromPacket.fields()) << what;
            EXPECT_EQ(fromFile.packetProperties(), fromPacket.packetProperties()) << what;
            EXPECT_EQ(rowsOf(fromFile), rowsOf(fromPacket)) << what;
            EXPECT_EQ(fromFile.data(), decodeBinary(bytes, "again")) << what;
        }
    writePacketFile(dir.path / "log.cds", log);
    Table merged("cdsLog");
    merged.loadFromFile(dir.path / "log.cds");
    EXPECT_EQ(rowsOf(merged), (std::vector<std::vector<Cell>>{{std::string("old"), 2.0}}));
}

TEST(LoadRoads, EmptyFilesPipesAndFilesReadOneAfterTheOther) {
    TempDir dir;
    fs::path empty = dir.path / "empty.cds";
    std::ofstream(empty).close();
    Table t("cdsEmpty");
    try {
        t.loadFromFile(empty);
        ADD_FAILURE() << "an empty file loaded";
    } catch (const PacketError& e) {
        EXPECT_EQ(std::string(e.what()), empty.string() + ": byte offset 0: neither a binary data packet nor XML");
    }

    // A pipe has no size, and gives its bytes once: they are read as they
    // come, and a file that is not a binary table of original records (XML,
    // a change log) is decoded from the same bytes, never read again.
    const fs::path dataDir = fs::path(ZEL_TESTDATA_DIR) / "datapackets";
    Packet withLog;  // record 1 inserted, then modified by record 2
    withLog.fields = {FieldDef::string("A", 5), FieldDef::floatField("B")};
    withLog.props = {Property::intList("CHANGE_LOG", {1, 0, 4, 2, 1, 8}, 4)};
    withLog.records = {Record{kInserted | kOriginal, {std::string("old"), 1.0}},
                       Record{kModified, {Unchanged{}, 2.0}}};
    const std::string logBytes = encodeBinary(withLog);
    Table fromLog("cdsLog");
    fromLog.setData(decodeBinary(logBytes, "log"));
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<std::vector<Cell>> rows;
    };
    for (const Case& c : {Case{"binary", sample(dataDir / "orders.cds"), {}},
                          Case{"XML", sample(dataDir / "orders.xml"), {}},
                          Case{"change log", logBytes, rowsOf(fromLog)}}) {
        fs::path pipe = dir.path / "pipe.cds";
        fs::remove(pipe);
        ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
        // The writer opens the pipe as the load opens it, writes every byte
        // and closes; what goes wrong on its side is told. Should the load
        // not end (it waits for a writer it will never get), a watchdog gives
        // it an empty pipe after a while, so the case fails instead of hanging.
        std::string writerTrouble;
        std::thread writer([&] {
            int fd;
            while ((fd = ::open(pipe.c_str(), O_WRONLY | O_CLOEXEC)) < 0 && errno == EINTR) {}
            if (fd < 0) {
                writerTrouble = std::string("open: ") + std::strerror(errno);
                return;
            }
            for (size_t done = 0; done < c.bytes.size();) {
                ssize_t n = ::write(fd, c.bytes.data() + done, c.bytes.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    writerTrouble = std::string("write: ") + std::strerror(errno);
                    break;
                }
                done += static_cast<size_t>(n);
            }
            ::close(fd);
        });
        std::atomic<bool> loaded{false};
        std::thread watchdog([&] {
            for (int i = 0; i < 3000 && !loaded; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (loaded) return;
            int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) ::close(fd);
        });
        Table fromPipe("cdsPipe");
        std::string loadTrouble;
        try {
            fromPipe.loadFromFile(pipe);
        } catch (const Error& e) {
            loadTrouble = e.what();
        }
        loaded = true;
        writer.join();
        watchdog.join();
        EXPECT_EQ(writerTrouble, "") << c.what;
        EXPECT_EQ(loadTrouble, "") << c.what;
        if (c.rows.empty()) {
            EXPECT_EQ(fromPipe.data(), decodePacket(c.bytes, "orders")) << c.what;
        } else {
            EXPECT_EQ(rowsOf(fromPipe), c.rows) << c.what;
        }
    }

    // Files read one after the other: a long one, a short one, the long one
    // again, each its own bytes only.
    std::vector<fs::path> samples = binarySamples();
    std::sort(samples.begin(), samples.end(),
              [](const fs::path& a, const fs::path& b) { return fs::file_size(a) > fs::file_size(b); });
    ASSERT_GE(samples.size(), 2u);
    for (const fs::path& f : {samples.front(), samples.back(), samples.front()}) {
        Table t("cdsSample"), fromBytes("cdsBytes");
        std::string error, expected;
        try {
            t.loadFromFile(f);
        } catch (const Error& e) {
            error = e.what();
        }
        try {
            fromBytes.setData(decodeBinary(sample(f), f.string()));
        } catch (const Error& e) {
            expected = e.what();
        }
        EXPECT_EQ(error, expected) << f;
        EXPECT_EQ(t.fields(), fromBytes.fields()) << f;
        EXPECT_EQ(rowsOf(t), rowsOf(fromBytes)) << f;
    }
}

}  // namespace
}  // namespace zel::ds
