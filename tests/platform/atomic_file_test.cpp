// Replacing and appending files: the content after success, the old content and
// no scratch file after a failure, and messages that name the file and why.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/atomic_file.h"

using namespace zel;
namespace fs = std::filesystem;

namespace {

class AtomicFile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               (std::string("zel-atomic-") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
                std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    static std::string read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The names in the directory, to see that no scratch file is left.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir_)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    // The message of the FileWriteError that `f` throws ("" when none).
    template <class F>
    static std::string failure(F f) {
        try {
            f();
        } catch (const FileWriteError& e) {
            return e.what();
        }
        return {};
    }

    fs::path dir_;
};

TEST_F(AtomicFile, ReplacesTheWholeContentAndLeavesNoScratchFile) {
    fs::path p = dir_ / "memory.json";
    writeFileAtomically(p, "first version, rather long\n", "the memory");
    writeFileAtomically(p, "second\n", "the memory", Durability::Cached);
    EXPECT_EQ(read(p), "second\n");
    EXPECT_EQ(names(), std::vector<std::string>{"memory.json"});
}

TEST_F(AtomicFile, ADirectoryWhereTheFileBelongsIsRefusedWithPathAndReason) {
    fs::path p = dir_ / "printer-state.json";
    fs::create_directory(p);
    std::string msg = failure([&] { writeFileAtomically(p, "x", "printer state"); });
    EXPECT_NE(msg.find("printer state " + p.string()), std::string::npos) << msg;
    EXPECT_NE(msg.find("Is a directory"), std::string::npos) << msg;
    EXPECT_TRUE(fs::is_directory(p));
    EXPECT_EQ(names(), std::vector<std::string>{"printer-state.json"});  // the scratch file is gone

    msg = failure([&] { appendFileDurably(p, "line\n", "printer tape"); });
    EXPECT_NE(msg.find("printer tape " + p.string()), std::string::npos) << msg;
    EXPECT_NE(msg.find("Is a directory"), std::string::npos) << msg;
}

TEST_F(AtomicFile, AFailedReplacementKeepsTheOldContent) {
    fs::path p = dir_ / "grand-total.txt";
    writeFileAtomically(p, "old\n");
    fs::create_directory(dir_ / "grand-total.txt.tmp");  // the scratch file cannot be made
    std::string msg = failure([&] { writeFileAtomically(p, "new\n", "grand total file"); });
    EXPECT_NE(msg.find(p.string()), std::string::npos) << msg;
    EXPECT_EQ(read(p), "old\n");

    fs::path missingDir = dir_ / "no-such-dir" / "f.txt";
    msg = failure([&] { writeFileAtomically(missingDir, "x"); });
    EXPECT_NE(msg.find("No such file or directory"), std::string::npos) << msg;
}

TEST_F(AtomicFile, AppendsCreateAndExtendAndEachDurableWriteIsCounted) {
    fs::path p = dir_ / "tape.txt";
    uint64_t before = durableWriteCount();
    appendFileDurably(p, "one\n");
    appendFileDurably(p, "two\n");
    writeFileAtomically(dir_ / "memory.json", "{}");
    EXPECT_EQ(read(p), "one\ntwo\n");
    EXPECT_EQ(durableWriteCount() - before, 3u);
    writeFileAtomically(dir_ / "memory.json", "{}", "file", Durability::Cached);  // no flush, not counted
    EXPECT_EQ(durableWriteCount() - before, 3u);
    (void)failure([&] { writeFileAtomically(dir_ / "x" / "y", "{}"); });  // nothing reached the disk
    EXPECT_EQ(durableWriteCount() - before, 3u);

    // Cached appends wait for one flush of the file.
    appendFile(p, "three\n", "tape", Durability::Cached);
    appendFile(dir_ / "new.txt", "first\n", "tape", Durability::Cached);
    EXPECT_EQ(durableWriteCount() - before, 3u);
    EXPECT_EQ(read(p), "one\ntwo\nthree\n");
    flushFile(p, "tape");
    flushFile(dir_ / "new.txt", "tape");
    EXPECT_EQ(durableWriteCount() - before, 5u);
    std::string msg = failure([&] { flushFile(dir_ / "absent.txt", "printer tape"); });
    EXPECT_NE(msg.find("printer tape " + (dir_ / "absent.txt").string() + " cannot be flushed"), std::string::npos)
        << msg;
    EXPECT_EQ(durableWriteCount() - before, 5u);
}

// A file kept open between writes: exactly the new content each time (cut
// when nothing may pad it, padded with spaces when its readers allow it),
// written again by name after another hand removed it, and a failure names
// the file.
TEST_F(AtomicFile, AKeptOpenFileHoldsEachNewContentAndSurvivesItsRemoval) {
    fs::path items = dir_ / "cdsVenda.cds";
    {
        RewrittenFile f("item file");
        f.write(items, "three items, the longest");
        f.write(items, "one item");
        EXPECT_EQ(read(items), "one item");
        fs::remove(items);  // recovery removes it under the open file
        f.write(items, "two items");
        EXPECT_EQ(read(items), "two items");
        fs::rename(items, dir_ / "kept-by-a-person.cds");  // renamed away: the name is made again
        f.write(items, "three");
        EXPECT_EQ(read(items), "three");
        EXPECT_EQ(read(dir_ / "kept-by-a-person.cds"), "two items");
        f.write(items, "two items");
        EXPECT_TRUE(f.blank());
        EXPECT_EQ(read(items), "");
    }
    EXPECT_TRUE(fs::exists(items)) << "closing keeps the file";

    fs::path journal = dir_ / "run-current.json";
    const std::string left = R"({"left":"by a run before, longer than what comes"})";
    std::ofstream(journal) << left;
    RewrittenFile j("run journal", ' ');
    j.write(journal, R"({"seq":"1"})");
    std::string text = read(journal);
    EXPECT_EQ(text.size(), left.size()) << "never cut shorter than it was";
    EXPECT_EQ(text.substr(0, 11), R"({"seq":"1"})");
    EXPECT_EQ(text.find_first_not_of(' ', 11), std::string::npos) << "the rest is padding";
    EXPECT_TRUE(j.blank());
    EXPECT_EQ(read(journal), std::string(left.size(), ' '));
    j.close();
    EXPECT_FALSE(j.blank()) << "nothing open to blank";

    fs::path d = dir_ / "a-directory";
    fs::create_directory(d);
    RewrittenFile bad("item file");
    std::string msg = failure([&] { bad.write(d, "x"); });
    EXPECT_NE(msg.find("item file " + d.string()), std::string::npos) << msg;
}

// A retired file is gone from its name at once, and comes back under it, the
// same file, at the next write; whatever another hand did in between wins.
TEST_F(AtomicFile, ARetiredFileLeavesItsNameAndIsTakenBackByTheNextWrite) {
    fs::path items = dir_ / "cdsVenda.cds", spare = dir_ / "cdsVenda.spare";
    auto inode = [](const fs::path& p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
    };
    RewrittenFile f("item file");
    f.write(items, "sale 1, two items");
    ino_t first = inode(items);
    EXPECT_TRUE(f.retire(items, spare));
    EXPECT_FALSE(fs::exists(items));
    EXPECT_EQ(read(spare), "") << "kept empty: no sale's items outlive it";
    f.write(items, "sale 2");
    EXPECT_EQ(read(items), "sale 2");
    EXPECT_EQ(inode(items), first) << "the same file, not a new one";
    EXPECT_FALSE(fs::exists(spare));

    // The name taken by another file meanwhile: that file is written.
    EXPECT_TRUE(f.retire(items, spare));
    std::ofstream(items) << "made by another hand, longer";
    f.write(items, "sale 3");
    EXPECT_EQ(read(items), "sale 3");
    EXPECT_NE(inode(items), first);
    // A file under the name that is not the open one is removed, as before.
    fs::remove(items);
    std::ofstream(items) << "another file";
    EXPECT_TRUE(f.retire(items, spare));
    EXPECT_FALSE(fs::exists(items));
    f.write(items, "sale 4");
    EXPECT_EQ(read(items), "sale 4");
    // The spare removed meanwhile: the next write makes the file anew.
    EXPECT_TRUE(f.retire(items, spare));
    fs::remove(spare);
    f.write(items, "sale 5");
    EXPECT_EQ(read(items), "sale 5");
}

// A tape kept open between appends follows its name: taken away (removed, or
// renamed to be kept), the next append starts a new file under the name and
// the old one keeps what it had.
TEST_F(AtomicFile, AKeptOpenAppendFollowsItsNameWhenTheFileIsTakenAway) {
    fs::path tape = dir_ / "printer-tape.txt";
    AppendedFile f("printer tape");
    EXPECT_EQ(f.ready(tape), 0);
    EXPECT_TRUE(fs::exists(tape)) << "made when missing";
    f.append(tape, "receipt 1\n");
    f.append(tape, "receipt 2\n");
    std::ofstream(tape, std::ios::app) << "written by another hand\n";
    f.append(tape, "receipt 3\n");
    EXPECT_EQ(read(tape), "receipt 1\nreceipt 2\nwritten by another hand\nreceipt 3\n") << "always at the end";

    fs::rename(tape, dir_ / "tape-of-monday.txt");
    EXPECT_EQ(f.ready(tape), 0);
    f.append(tape, "receipt 4\n");
    EXPECT_EQ(read(tape), "receipt 4\n");
    EXPECT_EQ(read(dir_ / "tape-of-monday.txt"), "receipt 1\nreceipt 2\nwritten by another hand\nreceipt 3\n");
    fs::remove(tape);
    f.append(tape, "receipt 5\n");
    EXPECT_EQ(read(tape), "receipt 5\n");

    fs::remove(tape);
    fs::create_directory(tape);  // the name can no longer be written
    EXPECT_EQ(f.ready(tape), EISDIR);
    std::string msg = failure([&] { f.append(tape, "receipt 6\n"); });
    EXPECT_NE(msg.find("printer tape " + tape.string() + " cannot be written"), std::string::npos) << msg;
}

}  // namespace

// Written in place: the content is exactly the new one whether the old was
// longer or shorter, no scratch file, the same messages, nothing flushed.
TEST_F(AtomicFile, InPlaceWritesLeaveExactlyTheNewContent) {
    fs::path p = dir_ / "cdsVenda.cds";
    uint64_t before = durableWriteCount();
    writeFileAtomically(p, "three items, the longest\n", "item file", Durability::InPlace);
    writeFileAtomically(p, "one item\n", "item file", Durability::InPlace);
    EXPECT_EQ(read(p), "one item\n");
    writeFileAtomically(p, "two items, longer again\n", "item file", Durability::InPlace);
    EXPECT_EQ(read(p), "two items, longer again\n");
    EXPECT_EQ(names(), std::vector<std::string>{"cdsVenda.cds"});
    EXPECT_EQ(durableWriteCount(), before);

    fs::path d = dir_ / "a-directory";
    fs::create_directory(d);
    std::string msg = failure([&] { writeFileAtomically(d, "x", "grand total file", Durability::InPlace); });
    EXPECT_NE(msg.find("grand total file " + d.string()), std::string::npos) << msg;
    EXPECT_NE(msg.find("Is a directory"), std::string::npos) << msg;
}
