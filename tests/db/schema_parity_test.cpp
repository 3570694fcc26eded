// The SQLite and PostgreSQL schema files describe one database: the same
// tables, columns (in order, with their types, nullability and defaults),
// primary keys, unique constraints, foreign keys and indexes. The files are
// read as text, so a column added to one copy and not the other fails here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Column {
    std::string name, type, defaultValue;
    bool notNull = false, identity = false;
    bool operator==(const Column&) const = default;
};
struct Table {
    std::vector<Column> columns;
    std::vector<std::string> primaryKey;
    std::set<std::vector<std::string>> unique;
    std::set<std::string> foreignKeys;  // "(cols) -> TABLE (cols)"
};
struct Index {
    std::string table;
    bool unique = false;
    std::vector<std::string> columns;
    bool operator==(const Index&) const = default;
};
struct Schema {
    std::map<std::string, Table> tables;
    std::map<std::string, Index> indexes;
    std::set<std::string> drops;        // indexes of earlier versions dropped
    std::vector<std::string> problems;  // statements the reader does not understand
};

std::string upper(std::string s) {
    bool quoted = false;
    for (char& c : s) {
        if (c == '\'') quoted = !quoted;
        if (!quoted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// The statements of a file: comments dropped, blanks collapsed, split at the
// ";" outside quotes.
std::vector<std::string> statements(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str(), out;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (!quoted && c == '-' && i + 1 < text.size() && text[i + 1] == '-') {
            while (i < text.size() && text[i] != '\n') ++i;
            out += ' ';
            continue;
        }
        if (c == '\'') quoted = !quoted;
        if (!quoted && std::isspace(static_cast<unsigned char>(c))) {
            if (!out.empty() && out.back() != ' ') out += ' ';
            continue;
        }
        out += c;
    }
    std::vector<std::string> result;
    std::string cur;
    quoted = false;
    for (char c : out) {
        if (c == '\'') quoted = !quoted;
        if (c == ';' && !quoted) {
            if (!trim(cur).empty()) result.push_back(upper(trim(cur)));
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!trim(cur).empty()) result.push_back(upper(trim(cur)));
    return result;
}

// Splits at the commas outside parentheses and quotes.
std::vector<std::string> topLevel(const std::string& s) {
    std::vector<std::string> parts;
    std::string cur;
    int depth = 0;
    bool quoted = false;
    for (char c : s) {
        if (c == '\'') quoted = !quoted;
        if (!quoted && c == '(') ++depth;
        if (!quoted && c == ')') --depth;
        if (!quoted && depth == 0 && c == ',') {
            parts.push_back(trim(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!trim(cur).empty()) parts.push_back(trim(cur));
    return parts;
}

// The text inside the parentheses that open at `open`; `end` is left after them.
std::string inParens(const std::string& s, size_t open, size_t* end = nullptr) {
    int depth = 0;
    for (size_t i = open; i < s.size(); ++i) {
        if (s[i] == '(') ++depth;
        if (s[i] == ')' && --depth == 0) {
            if (end) *end = i + 1;
            return s.substr(open + 1, i - open - 1);
        }
    }
    if (end) *end = s.size();
    return s.substr(open + 1);
}

std::vector<std::string> names(const std::string& list) {
    std::vector<std::string> out;
    for (const std::string& n : topLevel(list)) out.push_back(trim(n));
    return out;
}

std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> out;
    std::string w;
    int depth = 0;
    for (char c : s) {
        if (c == '(') ++depth;
        if (c == ')') --depth;
        if (c == ' ' && depth == 0) {
            if (!w.empty()) out.push_back(w);
            w.clear();
        } else {
            w += c;
        }
    }
    if (!w.empty()) out.push_back(w);
    return out;
}

bool startsWith(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

void readTable(Schema& schema, const std::string& st) {
    size_t open = st.find('(');
    std::vector<std::string> head = words(st.substr(0, open));
    std::string name = head.back();
    Table t;
    for (const std::string& item : topLevel(inParens(st, open))) {
        if (startsWith(item, "PRIMARY KEY")) {
            t.primaryKey = names(inParens(item, item.find('(')));
        } else if (startsWith(item, "UNIQUE")) {
            t.unique.insert(names(inParens(item, item.find('('))));
        } else if (startsWith(item, "FOREIGN KEY")) {
            size_t end = 0;
            std::string from = inParens(item, item.find('('), &end);
            size_t ref = item.find("REFERENCES");
            std::string target = words(item.substr(ref + 10)).at(0);
            std::string to = inParens(item, item.find('(', ref));
            std::ostringstream fk;
            for (const std::string& n : names(from)) fk << n << ",";
            fk << " -> " << target << " (";
            for (const std::string& n : names(to)) fk << n << ",";
            fk << ")";
            t.foreignKeys.insert(fk.str());
        } else if (startsWith(item, "CHECK") || startsWith(item, "CONSTRAINT")) {
            schema.problems.push_back(name + ": table constraint not compared: " + item);
        } else {
            std::vector<std::string> w = words(item);
            Column c;
            c.name = w.at(0);
            size_t i = 1;
            // The type runs to the first constraint word.
            static const std::set<std::string> kConstraint = {"NOT",           "NULL",       "PRIMARY",   "DEFAULT",
                                                              "CHECK",         "REFERENCES", "UNIQUE",    "GENERATED",
                                                              "AUTOINCREMENT", "COLLATE",    "CONSTRAINT"};
            for (; i < w.size() && !kConstraint.count(w[i]); ++i) c.type += (c.type.empty() ? "" : " ") + w[i];
            for (; i < w.size(); ++i) {
                if (w[i] == "NOT" && i + 1 < w.size() && w[i + 1] == "NULL") c.notNull = true, ++i;
                else if (w[i] == "PRIMARY") t.primaryKey = {c.name}, c.notNull = true, ++i;
                else if (w[i] == "UNIQUE") t.unique.insert({c.name});
                else if (w[i] == "DEFAULT" && i + 1 < w.size()) c.defaultValue = w[++i];
                else if (w[i] == "AUTOINCREMENT") c.identity = true;
                else if (w[i] == "GENERATED") {
                    // GENERATED BY DEFAULT AS IDENTITY
                    c.identity = true;
                    while (i + 1 < w.size() && w[i + 1] != "PRIMARY" && w[i + 1] != "NOT") ++i;
                } else if (w[i] == "REFERENCES" && i + 1 < w.size()) {
                    std::string target = w[++i], to;
                    if (i + 1 < w.size() && w[i + 1][0] == '(') {
                        for (const std::string& n : names(inParens(w[i + 1], 0))) to += n + ",";
                        ++i;
                    }
                    t.foreignKeys.insert(c.name + ", -> " + target + " (" + to + ")");
                } else if (startsWith(w[i], "CHECK")) {
                    // Checks of the stored form differ by engine (SQLite has no date type).
                    if (w[i] == "CHECK") ++i;
                } else {
                    schema.problems.push_back(name + "." + c.name + ": word not understood: " + w[i]);
                }
            }
            t.columns.push_back(c);
        }
    }
    if (schema.tables.count(name)) schema.problems.push_back("table " + name + " created twice");
    schema.tables[name] = t;
}

void readIndex(Schema& schema, const std::string& st) {
    std::vector<std::string> w = words(st.substr(0, st.find('(')));
    Index ix;
    ix.unique = w.at(1) == "UNIQUE";
    auto on = std::find(w.begin(), w.end(), "ON");
    if (on == w.end() || on + 1 == w.end() || on == w.begin()) {
        schema.problems.push_back("index not understood: " + st);
        return;
    }
    ix.table = *(on + 1);
    ix.columns = names(inParens(st, st.find('(')));
    std::string name = *(on - 1);
    if (st.find(" WHERE ", st.find(')')) != std::string::npos) ix.columns.push_back("WHERE" + st.substr(st.find(')')));
    if (schema.indexes.count(name)) schema.problems.push_back("index " + name + " created twice");
    schema.indexes[name] = ix;
}

// The files of a backend's folder with those of db/common, in file-name order,
// as the schema set-up applies them.
Schema readSchema(const fs::path& dir) {
    Schema schema;
    std::vector<fs::path> files;
    for (const fs::path& d : {dir, dir.parent_path() / "common"})
        if (fs::is_directory(d))
            for (const auto& e : fs::directory_iterator(d))
                if (e.path().extension() == ".sql") files.push_back(e.path());
    std::sort(files.begin(), files.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
    for (const fs::path& f : files)
        for (const std::string& st : statements(f)) {
            if (startsWith(st, "CREATE TABLE")) readTable(schema, st);
            else if (startsWith(st, "CREATE INDEX") || startsWith(st, "CREATE UNIQUE INDEX")) readIndex(schema, st);
            else if (startsWith(st, "DROP INDEX IF EXISTS ")) schema.drops.insert(st.substr(21));  // made by earlier versions
            else if (startsWith(st, "CREATE OR REPLACE FUNCTION") || startsWith(st, "INSERT")) continue;
            else schema.problems.push_back(f.filename().string() + ": statement not compared: " + st.substr(0, 60));
        }
    return schema;
}

// What each engine can say only in its own words: a key numbered by the
// database, and the unbounded texts of the access log (SQLite does not
// enforce a length, so its 250 stands for PostgreSQL's TEXT).
Column engineNeutral(Column c) {
    if (c.identity && (c.type == "INTEGER" || c.type == "BIGINT")) c.type = "<identity>";
    if (c.type == "TEXT") c.type = "VARCHAR(250)";
    return c;
}

std::string describe(const Column& c) {
    return c.name + " " + c.type + (c.notNull ? " NOT NULL" : "") +
           (c.defaultValue.empty() ? "" : " DEFAULT " + c.defaultValue) + (c.identity ? " IDENTITY" : "");
}

const fs::path kDb = fs::path(ZEL_SOURCE_DIR) / "db";

TEST(SchemaParity, SqliteAndPostgresqlDefineTheSameTablesKeysAndIndexes) {
    Schema lite = readSchema(kDb / "sqlite");
    Schema pg = readSchema(kDb / "postgresql");
    for (const std::string& p : lite.problems) ADD_FAILURE() << "sqlite: " << p;
    for (const std::string& p : pg.problems) ADD_FAILURE() << "postgresql: " << p;
    ASSERT_GE(lite.tables.size(), 20u);

    for (const auto& [name, t] : lite.tables)
        if (!pg.tables.count(name)) ADD_FAILURE() << "table " << name << " only in the SQLite schema";
    for (const auto& [name, t] : pg.tables)
        if (!lite.tables.count(name)) ADD_FAILURE() << "table " << name << " only in the PostgreSQL schema";

    for (const auto& [name, a] : lite.tables) {
        auto other = pg.tables.find(name);
        if (other == pg.tables.end()) continue;
        const Table& b = other->second;
        SCOPED_TRACE("table " + name);
        size_t n = std::max(a.columns.size(), b.columns.size());
        for (size_t i = 0; i < n; ++i) {
            std::string l = i < a.columns.size() ? describe(engineNeutral(a.columns[i])) : "<none>";
            std::string p = i < b.columns.size() ? describe(engineNeutral(b.columns[i])) : "<none>";
            EXPECT_EQ(l, p) << "column " << i + 1 << " (SQLite, then PostgreSQL)";
        }
        EXPECT_EQ(a.primaryKey, b.primaryKey) << "primary key";
        EXPECT_EQ(a.unique, b.unique) << "unique constraints";
        EXPECT_EQ(a.foreignKeys, b.foreignKeys) << "foreign keys";
    }

    for (const auto& [name, ix] : lite.indexes) {
        auto other = pg.indexes.find(name);
        if (other == pg.indexes.end()) {
            ADD_FAILURE() << "index " << name << " only in the SQLite schema";
            continue;
        }
        EXPECT_EQ(ix, other->second) << "index " << name;
    }
    for (const auto& [name, ix] : pg.indexes)
        if (!lite.indexes.count(name)) ADD_FAILURE() << "index " << name << " only in the PostgreSQL schema";
    EXPECT_EQ(lite.drops, pg.drops) << "indexes of earlier versions dropped";
    for (const std::string& name : lite.drops) EXPECT_EQ(lite.indexes.count(name), 0u) << name << " made and dropped";
}

// The reader itself: it must see a drift in each thing it compares, or the
// test above would pass on anything.
TEST(SchemaParity, TheReaderSeesColumnsKeysAndIndexes) {
    fs::path dir = fs::temp_directory_path() / ("zel_schema_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "010_a.sql") << "-- a comment; with a semicolon\n"
                                        "CREATE TABLE IF NOT EXISTS T (\n"
                                        "    A VARCHAR(4) NOT NULL, -- the key\n"
                                        "    B NUMERIC(15,2) NOT NULL DEFAULT 0,\n"
                                        "    C DATE CHECK (C IS NULL OR C GLOB '[0-9]*') REFERENCES V (Y),\n"
                                        "    N INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,\n"
                                        "    UNIQUE (A, B),\n"
                                        "    FOREIGN KEY (A) REFERENCES U (X)\n"
                                        ");\n"
                                        "create unique index if not exists IX_T on T (B, A);\n";
    Schema s = readSchema(dir);
    fs::remove_all(dir);
    EXPECT_TRUE(s.problems.empty()) << s.problems.front();
    ASSERT_EQ(s.tables.size(), 1u);
    const Table& t = s.tables["T"];
    ASSERT_EQ(t.columns.size(), 4u);
    EXPECT_EQ(describe(t.columns[0]), "A VARCHAR(4) NOT NULL");
    EXPECT_EQ(describe(t.columns[1]), "B NUMERIC(15,2) NOT NULL DEFAULT 0");
    EXPECT_EQ(describe(t.columns[2]), "C DATE");
    EXPECT_EQ(describe(engineNeutral(t.columns[3])), "N <identity> NOT NULL IDENTITY");
    EXPECT_EQ(t.primaryKey, std::vector<std::string>{"N"});
    EXPECT_EQ(t.unique, (std::set<std::vector<std::string>>{{"A", "B"}}));
    EXPECT_EQ(t.foreignKeys, (std::set<std::string>{"A, -> U (X,)", "C, -> V (Y,)"}));
    ASSERT_EQ(s.indexes.size(), 1u);
    EXPECT_EQ(s.indexes["IX_T"], (Index{"T", true, {"B", "A"}}));
}

}  // namespace
