// The run journal: the passage being charged, written over the same open file
// consumer after consumer, read back by recovery; an emptied or cut file reads
// as no passage, and only the pass that wrote it removes it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "station/journal.h"

using namespace zel::host;
namespace fs = std::filesystem;

namespace {

CurrentPassage passage(const std::string& seq, const std::string& name) {
    CurrentPassage p;
    p.record = "7";
    p.seq = seq;
    p.client = "000001";
    p.consumer = "1001";
    p.name = name;
    p.moment = "2026-03-16 12:05:00";
    p.couponBefore = 41;
    return p;
}

TEST(RunJournal, KeepsOnlyThePassageInProgressAndGoesWithThePass) {
    fs::path dir = fs::temp_directory_path() / ("zel-journal-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::path file = dir / "run-current.json";
    {
        // A crash left a longer passage behind: the next one replaces it whole.
        std::ofstream(file) << std::string(400, 'x');
        Journal j(file);
        j.begin(passage("123", "Maria Aparecida dos Santos Oliveira"));
        std::optional<CurrentPassage> r = Journal(file).read();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->seq, "123");
        EXPECT_EQ(r->name, "Maria Aparecida dos Santos Oliveira");
        EXPECT_EQ(r->couponBefore, 41);
        EXPECT_TRUE(fs::exists(file)) << "a reader leaves the file of the pass alone";

        j.clear();
        EXPECT_FALSE(Journal(file).read()) << "between consumers there is no passage";
        j.begin(passage("124", "Zé"));
        ASSERT_TRUE(Journal(file).read());
        EXPECT_EQ(Journal(file).read()->name, "Zé");

        // A write cut short by a crash does not parse: no passage, not a wrong one.
        fs::resize_file(file, 20);
        EXPECT_FALSE(Journal(file).read());

        // Removed under the open file (recovery between two passes): the next
        // passage is written where readers look for it.
        Journal(file).clear();
        j.begin(passage("125", "Ana"));
        ASSERT_TRUE(Journal(file).read());
        EXPECT_EQ(Journal(file).read()->seq, "125");
        j.close();
        EXPECT_FALSE(fs::exists(file));
    }
    {
        // A journal that did not write the file removes it when cleared (recovery).
        std::ofstream(file) << "{}";
        Journal(file).clear();
        EXPECT_FALSE(fs::exists(file));
    }
    fs::remove_all(dir);
}

}  // namespace
