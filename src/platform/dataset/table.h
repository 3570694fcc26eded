// Working tables: named in-memory tables of typed fields with a cursor, index
// orders, a filter and look-ups, taking and giving data packets and table files.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/dataset/codec.h"
#include "platform/dataset/filter.h"
#include "platform/dataset/packet.h"
#include "platform/dataset/row_store.h"
#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/locale.h"
#include "platform/variant.h"

namespace zel::ds {

class Table;

// An index order: a name and the fields of its key, "F1;F2".
struct IndexDef {
    std::string name;
    std::string fields;
};

// A field of a table, resolved once by name. The handle stays right when the
// table takes a new structure: it finds its field again by name (and throws
// when the new structure lacks it). Reads and writes act on the current row
// (or on the pending row while inserting or editing).
class Field {
  public:
    Field() = default;

    const std::string& name() const { return name_; }
    int index() const { return resolve(); }
    const FieldDef& def() const;
    Table& table() const { return *table_; }

    bool isNull() const;
    void clear();
    std::string asString() const;
    void setAsString(std::string_view text);
    double asFloat() const;
    void setAsFloat(double value);
    DateTime asDateTime() const;
    void setAsDateTime(DateTime value);
    Variant value() const;
    void setValue(const Variant& value);

  private:
    friend class Table;
    Field(Table* table, std::string name, int index, uint64_t generation)
        : table_(table), name_(std::move(name)), index_(index), generation_(generation) {}
    int resolve() const;

    Table* table_ = nullptr;
    std::string name_;
    mutable int index_ = -1;
    mutable uint64_t generation_ = 0;
};

struct LocateOptions {
    bool caseInsensitive = false;  // texts compared ignoring letter case (ASCII and Latin-1)
};

class Table {
  public:
    enum class State { Inactive, Browse, Insert, Edit };

    // A table starts closed. `declaredFields` is the structure create() builds;
    // `indexName` names the index of `indexes` in force ("" for none).
    explicit Table(std::string name, std::vector<FieldDef> declaredFields = {}, std::vector<IndexDef> indexes = {},
                   std::string indexName = {}, FormatSettings fs = {});
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;
    // Field handles taken from the moved-from table do not follow the move.
    Table(Table&&) = default;
    Table& operator=(Table&&) = default;

    const std::string& name() const { return name_; }
    const FormatSettings& formatSettings() const { return fs_; }
    void setFormatSettings(const FormatSettings& fs);
    const CodecOptions& codecOptions() const { return codecOptions_; }
    void setCodecOptions(const CodecOptions& opts) { codecOptions_ = opts; }

    // ---- structure
    const std::vector<FieldDef>& declaredFields() const { return declared_; }
    const std::vector<FieldDef>& fields() const { return fields_; }  // the structure in use
    int fieldCount() const { return static_cast<int>(fields_.size()); }
    int fieldIndex(std::string_view name) const;  // ignoring letter case; -1 when absent
    Field field(std::string_view name);           // throws Error naming table and field
    const std::vector<Property>& packetProperties() const { return props_; }
    // Counts changes of structure; field handles use it to find their field again.
    uint64_t structureGeneration() const { return generation_; }

    // ---- index orders
    void addIndex(std::string name, std::string fields);
    const std::vector<IndexDef>& indexes() const { return indexes_; }
    // "" walks in insertion order. Throws for an unknown index or one whose
    // fields the structure lacks.
    void setIndexName(std::string_view name);
    const std::string& indexName() const { return indexName_; }

    // ---- life cycle
    // An empty open table of the declared fields; throws when none are declared.
    void create();
    // Opens the table: loads the file behind it, or keeps rows still held.
    void open();
    // Closes: pending changes are cancelled and the rows are discarded (a table
    // with a file behind it reads them again on open). The structure stays.
    void close();
    bool isOpen() const { return open_; }
    // True while the table is open on the rows the last setData put in, not
    // one of them changed since.
    bool holdsTakenData() const { return open_ && taken_; }
    // Back where taking that data left the table: browsing, on the first row
    // in walking order, nothing pending; its filter and index stay in force.
    void returnToTakenState();
    void setFileName(std::filesystem::path path) { fileName_ = std::move(path); }
    const std::filesystem::path& fileName() const { return fileName_; }

    // Replace structure and rows; on any failure the table is left exactly as
    // it was. The table is open on its first row afterwards.
    void loadFromFile(const std::filesystem::path& path);
    // The same for a file that must hold every declared field: one that lacks
    // one is refused (an Error naming the file, the table and the field) and
    // the table stays as it was. A plain file goes straight into the rows,
    // never whole into memory as a packet.
    void loadDeclaredFromFile(const std::filesystem::path& path);
    void setData(const Packet& packet);
    void setData(Packet&& packet);
    // Throws Error naming the table when `value` is not a data packet (an
    // error text from a query, an empty value).
    void setData(const Variant& value);

    // The table as a data packet: the packet it was given, unchanged, while no
    // row has changed since; else the structure with the rows in storage order,
    // change log merged. A row being inserted or edited is not part of it.
    Packet data() const;
    Variant dataVariant() const;
    // Written atomically; `durability` as for writeFileAtomically (a file no
    // later run relies on need not reach the disk before the call returns).
    void saveToFile(const std::filesystem::path& path, PacketForm form = PacketForm::Binary,
                    Durability durability = Durability::Flushed) const;
    // Written in place on a file kept open between writes.
    void saveToFile(RewrittenFile& file, const std::filesystem::path& path, PacketForm form) const;

    // Deletes every row, keeping the structure.
    void emptyTable();

    // ---- rows and cursor (under the filter, in the walking order)
    bool isEmpty() const { return recordCount() == 0; }
    int recordCount() const;
    void first();
    void next();
    void prior();
    void last();
    bool eof() const;
    bool bof() const;
    State state() const { return state_; }

    // insert and append both start a row that post stores after the rows
    // already there; an index in force places it by its key.
    void insert();
    void append();
    void edit();
    void post();
    void cancel();
    void deleteRow();

    // ---- field access by index (handles use these)
    bool isNull(int field) const;
    void clear(int field);
    std::string asString(int field) const;
    // Text into a string field is cut to the field's width in characters, as
    // the runtime does; into a number or date field it is parsed strictly in
    // the station's format (an empty text makes the field null).
    void setAsString(int field, std::string_view text);
    double asFloat(int field) const;
    void setAsFloat(int field, double value);
    DateTime asDateTime(int field) const;
    void setAsDateTime(int field, DateTime value);
    Variant value(int field) const;
    void setValue(int field, const Variant& value);
    // The current row's value; the reference holds until this field is read
    // again or the table changes.
    const Cell& cell(int field) const;
    // Bytes the rows take in memory (for tests and benchmarks).
    size_t rowBytes() const { return rows_.bytes(); }

    // ---- filter
    // Parses at once (a FilterError for bad text; the old filter stays). An
    // empty text is no filter.
    void setFilter(std::string_view text);
    const std::string& filter() const { return filter_.text(); }
    void setFiltered(bool on);
    bool filtered() const { return filtered_; }

    // ---- locate
    // Makes current the first row, in walking order and under the filter,
    // whose `fields` ("A;B") equal `values`; false leaves the cursor alone.
    bool locate(std::string_view fields, const std::vector<Variant>& values, LocateOptions opts = {});
    bool locate(std::string_view field, const Variant& value, LocateOptions opts = {});

  private:
    struct HashIndex {
        struct Slot {
            uint32_t tag = 0;  // high half of the key's hash
            uint32_t row = 0;  // first row of the key + 1; 0 for an empty slot
        };
        std::vector<int> fields;
        bool fold = false;
        uint64_t mask = 0;
        std::vector<Slot> slots;
        std::vector<uint32_t> nextSame;  // per row: the next row of the same key, in storage order
        // The first row whose key fields equal `probe` (hash key `key`), or UINT32_MAX.
        uint32_t find(const RowStore& rows, const std::vector<FieldDef>& defs, std::string_view key,
                      const std::vector<Scalar>& probe) const;
    };

    [[noreturn]] void fail(const std::string& what) const;
    void requireOpen(const char* operation) const;
    void checkBrowse();
    const FieldDef& fieldDef(int field) const;
    const Cell& currentCell(int field) const;
    Cell& writableCell(int field);
    std::vector<int> resolveFields(std::string_view list) const;
    std::vector<int> indexFieldsFor(const std::string& indexName, const std::vector<FieldDef>& fields) const;
    void replaceData(Packet&& packet);
    bool takePlainData(const Packet& packet);
    void loadFile(const std::filesystem::path& path, bool requireDeclared);
    void requireDeclared(const std::filesystem::path& path, const Packet& header) const;
    void checkFieldNames(const std::vector<FieldDef>& fields) const;
    void install(Packet&& header, RowStore&& rows, bool keepSource, bool sameFields = false);
    bool rowAccepted(uint32_t row) const;  // by the filter
    void rowsChanged();
    void ensureOrder() const;
    const std::vector<uint32_t>& filteredView() const;  // only while a filter is active
    size_t viewSize() const;
    uint32_t rowAt(size_t pos) const;
    bool filterActive() const { return filtered_ && !filter_.isEmpty(); }
    const HashIndex& hashIndex(const std::vector<int>& fields, bool fold) const;
    // Calls `visit` with each row whose `fields` equal `probe` (texts folded
    // when `fold`; `key` is its hash key), in storage order, until it answers
    // false. The first look-ups after the rows change walk the rows; later
    // ones build and use a hash index, which pays only for a table looked up
    // again and again.
    void matchingRows(const std::vector<int>& fields, bool fold, const std::string& key,
                      const std::vector<Scalar>& probe, const std::function<bool(uint32_t)>& visit) const;
    void positionOn(int64_t row, int64_t fallbackPos);
    Scalar locateValue(int field, const Variant& v) const;

    std::string name_;
    std::vector<FieldDef> declared_;
    bool declaredChecked_ = false;  // their names, once
    bool fieldsDeclared_ = true;    // the fields are the declared ones, as made by create()
    std::vector<IndexDef> indexes_;
    std::string indexName_;
    FormatSettings fs_;
    CodecOptions codecOptions_;
    std::filesystem::path fileName_;

    // structure and rows
    std::vector<FieldDef> fields_;
    std::vector<Property> props_;
    uint16_t majorVersion_ = Packet{}.majorVersion;
    uint16_t minorVersion_ = Packet{}.minorVersion;
    uint32_t flags_ = Packet{}.flags;
    RowStore rows_;                 // insertion order
    bool taken_ = false;            // the rows are those the last setData or load put in
    std::optional<Packet> source_;  // that packet, while taken_, when the rows alone cannot give it back
                                    // (it held a change log)
    uint64_t generation_ = 1;
    bool open_ = false;

    // cursor and pending row
    State state_ = State::Inactive;
    int64_t pos_ = 0;  // position in the walking order under the filter
    bool eof_ = true;
    bool bof_ = true;
    std::vector<Cell> buffer_;
    int64_t editRow_ = -1;

    // filter
    Filter filter_;
    bool filtered_ = false;
    // The last few filters replaced, parsed and bound to the present fields
    // and format settings, by their text: a table filtered again and again
    // with the same texts parses each once. Forgotten when either changes.
    struct ParsedFilter {
        std::string text;
        Filter filter;
    };
    std::vector<ParsedFilter> parsedFilters_;

    // derived, rebuilt lazily after any change of rows
    mutable bool orderValid_ = false;
    mutable bool identityOrder_ = true;
    mutable std::vector<uint32_t> order_;  // rows in walking order
    mutable std::vector<uint32_t> rank_;   // row -> position in order_
    mutable bool filteredValid_ = false;
    mutable std::vector<uint32_t> filteredRows_;
    mutable std::vector<HashIndex> hashIndexes_;
    mutable std::array<size_t, 128> foundFields_{};  // a field's place, by the address of the name looked up
    // A walk of 100,000 rows costs a fraction of building their hash index.
    static constexpr int kWalksBeforeIndex = 8;
    mutable int walksLeft_ = kWalksBeforeIndex;  // look-ups by walking the rows before a hash index is built
    // Cells read from the compact rows are handed out from here: the current
    // row's cell of each field, and a row for the filter.
    mutable std::vector<Cell> readCells_;
    mutable std::vector<Cell> filterRow_;
};

}  // namespace zel::ds
