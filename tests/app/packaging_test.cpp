// What is installed with the program names every command it has: the bash
// completion and the man page cannot drift from the program's own help.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

std::string output(const std::string& command) {
    std::string text;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    ::pclose(p);
    return text;
}

std::string file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Packaging, CompletionAndManPageNameEveryCommand) {
    std::string help = output(std::string(GERACUPOM_BIN) + " --help");
    std::string section = help.substr(help.find("Subcommands:"));
    std::regex line(R"(\n  ([a-z]+) )");
    std::string completion = file(std::string(ZEL_SOURCE_DIR) + "/packaging/geracupom.bash-completion");
    std::string man = file(std::string(ZEL_SOURCE_DIR) + "/packaging/geracupom.1");
    ASSERT_FALSE(completion.empty());
    ASSERT_FALSE(man.empty());
    int commands = 0;
    for (auto it = std::sregex_iterator(section.begin(), section.end(), line); it != std::sregex_iterator(); ++it) {
        std::string command = (*it)[1];
        ++commands;
        EXPECT_TRUE(std::regex_search(completion, std::regex("\\b" + command + "\\b"))) << command;
        EXPECT_NE(man.find(".B " + command), std::string::npos) << command;
    }
    EXPECT_GE(commands, 10);
}

}  // namespace
