// Working tables: structure and rows, cursor, index orders, filter views and
// hash look-ups, conversions of field values.
#include "platform/dataset/table.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <fmt/format.h>
#include "platform/text.h"

namespace zel::ds {
namespace {

// Cuts a UTF-8 text to at most `chars` characters.
std::string cutToChars(std::string_view s, size_t chars) {
    size_t count = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (count == chars) return std::string(s.substr(0, i));
            ++count;
        }
    }
    return std::string(s);
}

bool cellFits(const Cell& c, uint8_t code) {
    if (std::holds_alternative<std::monostate>(c)) return true;
    switch (code) {
        case kInt:
        case kUInt:
        case kDate:
        case kTime:
            return std::holds_alternative<int64_t>(c);
        case kBool:
            return std::holds_alternative<bool>(c);
        case kFloat:
        case kDateTime:
            return std::holds_alternative<double>(c);
        case kBcd:
        case kString:
        case kWString:
        case kBytes:
            return std::holds_alternative<std::string>(c);
        default:
            return !std::holds_alternative<Unchanged>(c);
    }
}

const char* typeName(uint8_t code) {
    switch (code) {
        case kInt:
            return "integer";
        case kUInt:
            return "unsigned integer";
        case kBool:
            return "Boolean";
        case kFloat:
            return "float";
        case kBcd:
            return "BCD";
        case kDate:
            return "date";
        case kTime:
            return "time";
        case kDateTime:
            return "date-time";
        case kString:
            return "string";
        case kWString:
            return "Unicode string";
        case kBytes:
            return "blob";
        case kNested:
            return "nested table";
        default:
            return "composite";
    }
}

bool isDateType(uint8_t code) { return code == kDate || code == kTime || code == kDateTime; }

// The record each record of a change log replaces (0 when none), by position.
std::vector<size_t> replacedRecords(const Packet& p) {
    std::vector<size_t> replaces(p.records.size(), 0);
    if (const Property* log = p.prop("CHANGE_LOG")) {
        if (auto list = log->asList()) {
            for (size_t i = 0; i + 2 < list->size(); i += 3) {
                int64_t rec = (*list)[i], old = (*list)[i + 1];
                if (rec >= 1 && static_cast<size_t>(rec) <= p.records.size() && old >= 1 &&
                    static_cast<size_t>(old) <= p.records.size() && rec != old)
                    replaces[static_cast<size_t>(rec - 1)] = static_cast<size_t>(old);
            }
        }
    }
    return replaces;
}

const Cell kNullCell{};

}  // namespace

// ---------------------------------------------------------------- Field

int Field::resolve() const {
    if (!table_) throw Error("field handle not bound to a table");
    if (generation_ != table_->structureGeneration()) {
        int i = table_->fieldIndex(name_);
        if (i < 0) throw Error(fmt::format("table {} has no field {}", table_->name(), name_));
        index_ = i;
        generation_ = table_->structureGeneration();
    }
    return index_;
}

const FieldDef& Field::def() const { return table_->fields()[static_cast<size_t>(resolve())]; }
bool Field::isNull() const { return table_->isNull(resolve()); }
void Field::clear() { table_->clear(resolve()); }
std::string Field::asString() const { return table_->asString(resolve()); }
void Field::setAsString(std::string_view text) { table_->setAsString(resolve(), text); }
double Field::asFloat() const { return table_->asFloat(resolve()); }
void Field::setAsFloat(double value) { table_->setAsFloat(resolve(), value); }
DateTime Field::asDateTime() const { return table_->asDateTime(resolve()); }
void Field::setAsDateTime(DateTime value) { table_->setAsDateTime(resolve(), value); }
Variant Field::value() const { return table_->value(resolve()); }
void Field::setValue(const Variant& value) { table_->setValue(resolve(), value); }

// ---------------------------------------------------------------- Table: structure

Table::Table(std::string name, std::vector<FieldDef> declaredFields, std::vector<IndexDef> indexes,
             std::string indexName, FormatSettings fs)
    : name_(std::move(name)),
      declared_(std::move(declaredFields)),
      indexes_(std::move(indexes)),
      fs_(std::move(fs)),
      fields_(declared_) {
    if (!indexName.empty()) setIndexName(indexName);
}

void Table::fail(const std::string& what) const { throw Error(fmt::format("table {}: {}", name_, what)); }

void Table::requireOpen(const char* operation) const {
    if (!open_) fail(fmt::format("cannot {}: the table is closed", operation));
}

void Table::setFormatSettings(const FormatSettings& fs) {
    Filter rebound = filter_;
    if (!rebound.isEmpty() && !fields_.empty()) rebound.bind(fields_, fs);
    fs_ = fs;
    filter_ = std::move(rebound);
    filteredValid_ = false;
    parsedFilters_.clear();
}

int Table::fieldIndex(std::string_view name) const {
    // The same names come again and again, mostly from the same literals: the
    // place last found for a name's text is tried first. A name matches one
    // field at most, so a place whose field has the name is the answer.
    size_t& found = foundFields_[(reinterpret_cast<uintptr_t>(name.data()) >> 3) % foundFields_.size()];
    if (found < fields_.size() && equalsIgnoringCase(fields_[found].name, name)) return static_cast<int>(found);
    for (size_t i = 0; i < fields_.size(); ++i)
        if (equalsIgnoringCase(fields_[i].name, name)) {
            found = i;
            return static_cast<int>(i);
        }
    return -1;
}

Field Table::field(std::string_view name) {
    int i = fieldIndex(name);
    if (i < 0) fail(fmt::format("no field {}", name));
    return Field(this, fields_[static_cast<size_t>(i)].name, i, generation_);
}

const FieldDef& Table::fieldDef(int field) const {
    if (field < 0 || field >= fieldCount()) fail(fmt::format("no field number {}", field));
    return fields_[static_cast<size_t>(field)];
}

std::vector<int> Table::resolveFields(std::string_view list) const {
    std::vector<int> out;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string_view::npos) end = list.size();
        std::string_view name = trimWhitespace(list.substr(start, end - start));
        if (name.empty()) fail(fmt::format("empty field name in \"{}\"", list));
        int i = fieldIndex(name);
        if (i < 0) fail(fmt::format("no field {}", name));
        out.push_back(i);
        start = end + 1;
    }
    return out;
}

// ---------------------------------------------------------------- index orders

void Table::addIndex(std::string name, std::string fields) {
    for (auto& ix : indexes_)
        if (equalsIgnoringCase(ix.name, name)) fail(fmt::format("index {} declared twice", name));
    indexes_.push_back({std::move(name), std::move(fields)});
}

std::vector<int> Table::indexFieldsFor(const std::string& indexName, const std::vector<FieldDef>& fields) const {
    if (indexName.empty()) return {};
    const IndexDef* def = nullptr;
    for (auto& ix : indexes_)
        if (equalsIgnoringCase(ix.name, indexName)) def = &ix;
    if (!def) fail(fmt::format("no index {}", indexName));
    std::vector<int> out;
    std::string_view list = def->fields;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string_view::npos) end = list.size();
        std::string_view fname = trimWhitespace(list.substr(start, end - start));
        int found = -1;
        for (size_t i = 0; i < fields.size(); ++i)
            if (equalsIgnoringCase(fields[i].name, fname)) found = static_cast<int>(i);
        if (found < 0) fail(fmt::format("index {} names field {}, which the table lacks", def->name, fname));
        out.push_back(found);
        start = end + 1;
    }
    return out;
}

void Table::setIndexName(std::string_view name) {
    std::string canonical;
    if (!name.empty()) {
        for (auto& ix : indexes_)
            if (equalsIgnoringCase(ix.name, name)) canonical = ix.name;
        if (canonical.empty()) fail(fmt::format("no index {}", name));
        if (!fields_.empty()) indexFieldsFor(canonical, fields_);
    }
    int64_t current = -1;
    if (open_ && state_ == State::Browse && viewSize() > 0) current = rowAt(static_cast<size_t>(pos_));
    indexName_ = canonical;
    orderValid_ = false;
    filteredValid_ = false;
    if (open_) positionOn(current, 0);
}

// ---------------------------------------------------------------- life cycle

void Table::create() {
    if (declared_.empty()) fail("no declared fields to create the table from");
    // The declared names never change: checked on the first creation only.
    if (!declaredChecked_) {
        checkFieldNames(declared_);
        declaredChecked_ = true;
    }
    // Made again from the declared fields it already has, the table takes
    // them back instead of a copy, and keeps its filters bound to them.
    bool same = fieldsDeclared_;
    Packet p;
    if (same) p.fields = std::move(fields_);
    else p.fields = declared_;
    try {
        install(std::move(p), RowStore(declared_.size()), false, same);
    } catch (...) {
        if (same && fields_.empty()) fields_ = declared_;
        throw;
    }
    fieldsDeclared_ = true;
}

void Table::open() {
    if (open_) return;
    if (fileName_.empty()) fail("nothing to open: create it, load a file or give it a data packet");
    loadFromFile(fileName_);
}

void Table::close() {
    open_ = false;
    state_ = State::Inactive;
    buffer_.clear();
    editRow_ = -1;
    rows_.clear();
    rows_.shrink();
    readCells_.clear();
    filterRow_.clear();
    rowsChanged();
    pos_ = 0;
    eof_ = bof_ = true;
}

void Table::loadFromFile(const std::filesystem::path& path) { loadFile(path, false); }
void Table::loadDeclaredFromFile(const std::filesystem::path& path) { loadFile(path, true); }

void Table::requireDeclared(const std::filesystem::path& path, const Packet& header) const {
    for (const FieldDef& f : declared_)
        if (header.fieldIndex(f.name) < 0)
            throw Error(
                fmt::format("{}: the table {} needs the field {}, which the file lacks", path.string(), name_, f.name));
}

void Table::loadFile(const std::filesystem::path& path, bool mustHoldDeclared) {
    // A binary file of original records, the usual table file, is decoded
    // straight into the rows; any other is decoded whole and taken as
    // setData takes a packet (a change log merged).
    Packet header, whole;
    RowStore rows;
    if (readTableFile(path, header, rows, whole, codecOptions_)) {
        if (mustHoldDeclared) requireDeclared(path, header);
        checkFieldNames(header.fields);
        rows.shrink();
        install(std::move(header), std::move(rows), false);
        return;
    }
    if (mustHoldDeclared) requireDeclared(path, whole);
    if (!takePlainData(whole)) replaceData(std::move(whole));
}

void Table::setData(const Packet& packet) {
    if (!takePlainData(packet)) replaceData(Packet(packet));
}

// A packet of original records only, without a change log, is taken straight
// into rows, without a copy of its records; false for any other packet.
bool Table::takePlainData(const Packet& p) {
    for (const Property& prop : p.props)
        if (prop.name == "CHANGE_LOG") return false;
    size_t textBytes = 0;
    for (const Record& rec : p.records) {
        if (rec.status != kUnchangedRecord) return false;
        for (const Cell& c : rec.cells) {
            if (std::holds_alternative<Unchanged>(c)) return false;
            if (auto* t = std::get_if<std::string>(&c); t && t->size() > 8) textBytes += t->size();
        }
    }
    checkFieldNames(p.fields);
    RowStore rows(p.fields.size());
    rows.reserve(p.records.size(), textBytes);
    for (size_t idx = 0; idx < p.records.size(); ++idx) {
        const Record& rec = p.records[idx];
        if (rec.cells.size() != p.fields.size())
            fail(fmt::format("record {} of the data has {} values for {} fields", idx + 1, rec.cells.size(),
                             p.fields.size()));
        for (size_t f = 0; f < rec.cells.size(); ++f)
            if (!cellFits(rec.cells[f], p.fields[f].typeCode()))
                fail(fmt::format("record {} of the data: the value of field {} is not a {}", idx + 1, p.fields[f].name,
                                 typeName(p.fields[f].typeCode())));
        rows.append(rec.cells);
    }
    Packet header;
    header.majorVersion = p.majorVersion;
    header.minorVersion = p.minorVersion;
    header.flags = p.flags;
    header.fields = p.fields;
    header.props = p.props;
    install(std::move(header), std::move(rows), false);
    return true;
}
void Table::setData(Packet&& packet) { replaceData(std::move(packet)); }

void Table::setData(const Variant& value) {
    if (!value.isPacket() || !value.packetPtr()) {
        std::string shown;
        if (value.isText()) {
            shown = value.text();
            if (shown.size() > 200) shown = shown.substr(0, 200) + "...";
            fail(fmt::format("expected a data packet, got the text \"{}\"", shown));
        }
        fail(fmt::format("expected a data packet, got {}", Variant::typeName(value.type())));
    }
    setData(value.asPacket());
}

void Table::checkFieldNames(const std::vector<FieldDef>& fields) const {
    // The names in one case, sorted: a name held twice lies next to itself.
    std::vector<std::pair<std::string, size_t>> folded;
    folded.reserve(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].name.empty()) fail(fmt::format("field {} of the data has no name", i + 1));
        std::string name = fields[i].name;
        for (char& c : name)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        folded.emplace_back(std::move(name), i);
    }
    std::sort(folded.begin(), folded.end());
    for (size_t k = 1; k < folded.size(); ++k)
        if (folded[k].first == folded[k - 1].first)  // told by its second place, as the data holds it
            fail(fmt::format("the data holds field {} twice", fields[folded[k].second].name));
}

void Table::replaceData(Packet&& p) {
    // Everything is checked and built aside; the table changes only at the end.
    checkFieldNames(p.fields);
    std::vector<size_t> live = p.liveRecordOrder();
    // A packet of original records only, without a change log, is given back
    // from the rows alone; any other is kept whole for data().
    bool plain = live.size() == p.records.size();
    for (const Property& prop : p.props)
        if (prop.name == "CHANGE_LOG") plain = false;
    for (size_t i = 0; plain && i < p.records.size(); ++i)
        if (p.records[i].status != kUnchangedRecord || live[i] != i) plain = false;
    std::vector<size_t> replaces = plain ? std::vector<size_t>(p.records.size(), 0) : replacedRecords(p);
    RowStore rows(p.fields.size());
    size_t textBytes = 0;
    for (size_t idx : live)
        for (const Cell& c : p.records[idx].cells)
            if (auto* t = std::get_if<std::string>(&c); t && t->size() > 8) textBytes += t->size();
    rows.reserve(live.size(), textBytes);
    for (size_t idx : live) {
        const Record& rec = p.records[idx];
        if (rec.cells.size() != p.fields.size())
            fail(fmt::format("record {} of the data has {} values for {} fields", idx + 1, rec.cells.size(),
                             p.fields.size()));
        std::vector<Cell> resolved;
        bool delta = false;
        for (const Cell& c : rec.cells) delta = delta || std::holds_alternative<Unchanged>(c);
        if (delta) resolved = rec.cells;
        const std::vector<Cell>& cells = delta ? resolved : rec.cells;
        for (size_t f = 0; f < cells.size(); ++f) {
            if (delta && std::holds_alternative<Unchanged>(cells[f])) {
                // A delta record: the value is that of the record it replaces.
                size_t at = idx, guard = 0;
                resolved[f] = std::monostate{};
                while (replaces[at] != 0 && guard++ < p.records.size()) {
                    at = replaces[at] - 1;
                    const auto& older = p.records[at].cells;
                    if (f < older.size() && !std::holds_alternative<Unchanged>(older[f])) {
                        resolved[f] = older[f];
                        break;
                    }
                }
            }
            if (!cellFits(cells[f], p.fields[f].typeCode()))
                fail(fmt::format("record {} of the data: the value of field {} is not a {}", idx + 1, p.fields[f].name,
                                 typeName(p.fields[f].typeCode())));
        }
        rows.append(cells);
        // Taken over record by record: a plain packet is not kept.
        if (plain) std::vector<Cell>().swap(p.records[idx].cells);
    }
    install(std::move(p), std::move(rows), !plain);
}

void Table::install(Packet&& p, RowStore&& rows, bool keepSource, bool sameFields) {
    indexFieldsFor(indexName_, p.fields);
    // The filter bound again to the new fields; on the same fields it stays.
    std::optional<Filter> rebound;
    if (!sameFields && !filter_.isEmpty()) {
        rebound = filter_;
        try {
            rebound->bind(p.fields, fs_);
        } catch (const FilterError& e) {
            throw FilterError(fmt::format("table {}: {}", name_, e.what()));
        }
    }
    if (rows.size() > UINT32_MAX) fail("too many rows");

    fieldsDeclared_ = false;
    if (!sameFields) parsedFilters_.clear();
    if (keepSource) {
        fields_ = p.fields;
        props_ = p.props;
    } else {
        fields_ = std::move(p.fields);
        props_ = std::move(p.props);
    }
    majorVersion_ = p.majorVersion;
    minorVersion_ = p.minorVersion;
    flags_ = p.flags;
    rows_ = std::move(rows);
    if (rebound) filter_ = std::move(*rebound);
    ++generation_;
    rowsChanged();
    taken_ = true;
    if (keepSource) source_ = std::move(p);
    open_ = true;
    state_ = State::Browse;
    buffer_.clear();
    editRow_ = -1;
    positionOn(-1, 0);
}

void Table::returnToTakenState() {
    state_ = State::Browse;
    buffer_.clear();
    editRow_ = -1;
    positionOn(-1, 0);
}

Packet Table::data() const {
    if (taken_ && source_) return *source_;
    Packet p;
    p.majorVersion = majorVersion_;
    p.minorVersion = minorVersion_;
    p.flags = flags_;
    p.fields = fields_;
    for (const Property& prop : props_)
        if (prop.name != "CHANGE_LOG") p.props.push_back(prop);
    p.records.reserve(rows_.size());
    for (size_t r = 0; r < rows_.size(); ++r) p.records.push_back(Record{kUnchangedRecord, rows_.row(r)});
    return p;
}

Variant Table::dataVariant() const { return Variant::packet(data()); }

void Table::saveToFile(const std::filesystem::path& path, PacketForm form, Durability durability) const {
    writePacketFile(path, data(), form, codecOptions_, durability);
}

void Table::saveToFile(RewrittenFile& file, const std::filesystem::path& path, PacketForm form) const {
    writePacketFile(file, path, data(), form, codecOptions_);
}

void Table::emptyTable() {
    requireOpen("empty it");
    state_ = State::Browse;
    buffer_.clear();
    editRow_ = -1;
    rows_.clear();
    rowsChanged();
    positionOn(-1, 0);
}

// ---------------------------------------------------------------- walking

void Table::rowsChanged() {
    orderValid_ = false;
    filteredValid_ = false;
    hashIndexes_.clear();
    walksLeft_ = kWalksBeforeIndex;
    taken_ = false;
    source_.reset();
}

void Table::ensureOrder() const {
    if (orderValid_) return;
    size_t n = rows_.size();
    std::vector<int> keyFields = indexFieldsFor(indexName_, fields_);
    identityOrder_ = keyFields.empty();
    order_.clear();
    if (!identityOrder_) {
        order_.resize(n);
        std::iota(order_.begin(), order_.end(), 0u);
        size_t k = keyFields.size();
        std::vector<Scalar> keys(n * k);
        Cell cell;
        for (size_t r = 0; r < n; ++r)
            for (size_t j = 0; j < k; ++j) {
                auto f = static_cast<size_t>(keyFields[j]);
                rows_.cellInto(r, f, cell);
                keys[r * k + j] = cellScalar(cell, fields_[f]);
            }
        std::stable_sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) {
            for (size_t j = 0; j < k; ++j) {
                int c = compareScalars(keys[a * k + j], keys[b * k + j]);
                if (c != 0) return c < 0;
            }
            return false;
        });
        rank_.resize(n);
        for (size_t i = 0; i < n; ++i) rank_[order_[i]] = static_cast<uint32_t>(i);
    } else {
        rank_.clear();
    }
    orderValid_ = true;
}

size_t Table::viewSize() const {
    if (filterActive()) return filteredView().size();
    return rows_.size();
}

uint32_t Table::rowAt(size_t pos) const {
    if (filterActive()) return filteredView()[pos];
    ensureOrder();
    return identityOrder_ ? static_cast<uint32_t>(pos) : order_[pos];
}

namespace {

constexpr uint32_t kNoRow = UINT32_MAX;

// Whether a cell equals a probe value (texts of the probe already folded when
// `fold`), without copying the cell.
bool cellMatches(const Cell& cell, uint8_t typeCode, const Scalar& probe, bool fold) {
    switch (probe.kind) {
        case Scalar::Kind::Null:
            return ds::isNull(cell) || std::holds_alternative<Unchanged>(cell);
        case Scalar::Kind::Text: {
            auto* s = std::get_if<std::string>(&cell);
            if (!s) return false;
            return fold ? foldCase(*s) == probe.text : *s == probe.text;
        }
        case Scalar::Kind::Number: {
            if (std::holds_alternative<std::string>(cell)) return false;
            Scalar c = cellScalar(cell, typeCode);
            return c.kind == Scalar::Kind::Number && c.number == probe.number;
        }
    }
    return false;
}

// The same for a cell of the compact rows; texts are compared in place.
bool storedCellMatches(const RowStore& rows, size_t row, size_t field, uint8_t typeCode, const Scalar& probe,
                       bool fold) {
    if (probe.kind == Scalar::Kind::Text) {
        std::string_view t;
        if (!rows.text(row, field, t)) return false;
        return fold ? foldCase(t) == probe.text : t == probe.text;
    }
    return cellMatches(rows.cell(row, field), typeCode, probe, fold);
}

}  // namespace

uint32_t Table::HashIndex::find(const RowStore& rows, const std::vector<FieldDef>& defs, std::string_view key,
                                const std::vector<Scalar>& probe) const {
    if (slots.empty()) return kNoRow;
    uint64_t h = std::hash<std::string_view>{}(key);
    auto tag = static_cast<uint32_t>(h >> 32);
    for (uint64_t i = h & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots[i];
        if (slot.row == 0) return kNoRow;
        if (slot.tag != tag) continue;
        bool same = true;
        for (size_t j = 0; j < fields.size() && same; ++j) {
            auto f = static_cast<size_t>(fields[j]);
            same = storedCellMatches(rows, slot.row - 1, f, defs[f].typeCode(), probe[j], fold);
        }
        if (same) return slot.row - 1;
    }
}

const Table::HashIndex& Table::hashIndex(const std::vector<int>& fields, bool fold) const {
    for (const auto& hi : hashIndexes_)
        if (hi.fold == fold && hi.fields == fields) return hi;
    // Open addressing over the rows themselves: a slot holds a tag of the hash
    // and the first row of a key; rows of equal keys are chained in storage order.
    HashIndex hi;
    hi.fields = fields;
    hi.fold = fold;
    size_t capacity = 16;
    while (capacity < rows_.size() * 2) capacity *= 2;
    hi.mask = capacity - 1;
    hi.slots.assign(capacity, HashIndex::Slot{});
    hi.nextSame.assign(rows_.size(), kNoRow);
    std::vector<uint32_t> tail(capacity, kNoRow);
    std::string key;
    std::vector<Scalar> values(fields.size());
    Cell cell;
    for (size_t r = 0; r < rows_.size(); ++r) {
        key.clear();
        for (size_t j = 0; j < fields.size(); ++j) {
            auto f = static_cast<size_t>(fields[j]);
            std::string_view text;
            if (rows_.text(r, f, text)) {  // read in place, into the text room the key already has
                values[j].kind = Scalar::Kind::Text;
                values[j].text.assign(text);
            } else {
                rows_.cellInto(r, f, cell);
                values[j] = cellScalar(cell, fields_[f]);
            }
            if (fold && values[j].kind == Scalar::Kind::Text) values[j].text = foldCase(values[j].text);
            appendKey(key, values[j], false);
        }
        uint64_t h = std::hash<std::string_view>{}(key);
        auto tag = static_cast<uint32_t>(h >> 32);
        for (uint64_t i = h & hi.mask;; i = (i + 1) & hi.mask) {
            HashIndex::Slot& slot = hi.slots[i];
            if (slot.row == 0) {
                slot = {tag, static_cast<uint32_t>(r + 1)};
                tail[i] = static_cast<uint32_t>(r);
                break;
            }
            if (slot.tag != tag) continue;
            bool same = true;
            for (size_t j = 0; j < fields.size() && same; ++j) {
                auto f = static_cast<size_t>(fields[j]);
                same = storedCellMatches(rows_, slot.row - 1, f, fields_[f].typeCode(), values[j], fold);
            }
            if (same) {
                hi.nextSame[tail[i]] = static_cast<uint32_t>(r);
                tail[i] = static_cast<uint32_t>(r);
                break;
            }
        }
    }
    hashIndexes_.push_back(std::move(hi));
    return hashIndexes_.back();
}

void Table::matchingRows(const std::vector<int>& fields, bool fold, const std::string& key,
                         const std::vector<Scalar>& probe, const std::function<bool(uint32_t)>& visit) const {
    bool indexed = false;
    for (const auto& hi : hashIndexes_) indexed = indexed || (hi.fold == fold && hi.fields == fields);
    if (!indexed && walksLeft_ > 0) {
        --walksLeft_;
        for (size_t r = 0; r < rows_.size(); ++r) {
            bool same = true;
            for (size_t j = 0; j < fields.size() && same; ++j) {
                auto f = static_cast<size_t>(fields[j]);
                same = storedCellMatches(rows_, r, f, fields_[f].typeCode(), probe[j], fold);
            }
            if (same && !visit(static_cast<uint32_t>(r))) return;
        }
        return;
    }
    const HashIndex& hi = hashIndex(fields, fold);
    for (uint32_t r = hi.find(rows_, fields_, key, probe); r != kNoRow; r = hi.nextSame[r])
        if (!visit(r)) return;
}

// The probe of a look-up: its hash key and its values, texts folded when asked.
static std::string probeKey(std::vector<Scalar>& values, bool fold) {
    std::string key;
    for (auto& v : values) {
        if (fold && v.kind == Scalar::Kind::Text) v.text = foldCase(v.text);
        appendKey(key, v, false);
    }
    return key;
}

const std::vector<uint32_t>& Table::filteredView() const {
    ensureOrder();
    if (filteredValid_) return filteredRows_;
    filteredRows_.clear();
    if (filter_.hasEqualities()) {
        // Candidates from a hash index on the fields compared for equality;
        // the other terms are tested on those rows only.
        std::vector<int> fields;
        std::vector<Scalar> values;
        for (const auto& eq : filter_.equalities()) {
            fields.push_back(eq.field);
            values.push_back(eq.value);
        }
        bool rest = !filter_.isEqualityConjunction();
        std::string key = probeKey(values, false);
        matchingRows(fields, false, key, values, [&](uint32_t r) {
            if (!rest || (rows_.rowInto(r, filterRow_), filter_.evaluateResidual(filterRow_) == Truth::True))
                filteredRows_.push_back(r);
            return true;
        });
        if (!identityOrder_)
            std::sort(filteredRows_.begin(), filteredRows_.end(),
                      [&](uint32_t a, uint32_t b) { return rank_[a] < rank_[b]; });
    } else if (identityOrder_) {
        for (uint32_t r = 0; r < rows_.size(); ++r)
            if (rowAccepted(r)) filteredRows_.push_back(r);
    } else {
        for (uint32_t r : order_)
            if (rowAccepted(r)) filteredRows_.push_back(r);
    }
    filteredValid_ = true;
    return filteredRows_;
}

bool Table::rowAccepted(uint32_t row) const {
    rows_.rowInto(row, filterRow_);
    return filter_.accepts(filterRow_);
}

void Table::positionOn(int64_t row, int64_t fallbackPos) {
    ensureOrder();
    auto size = static_cast<int64_t>(viewSize());
    int64_t pos = -1;
    if (row >= 0 && static_cast<size_t>(row) < rows_.size()) {
        auto r = static_cast<uint32_t>(row);
        if (!filterActive()) {
            pos = identityOrder_ ? row : rank_[r];
        } else {
            const auto& v = filteredView();
            auto rankOf = [&](uint32_t x) { return identityOrder_ ? x : rank_[x]; };
            auto it = std::lower_bound(v.begin(), v.end(), rankOf(r),
                                       [&](uint32_t a, uint32_t target) { return rankOf(a) < target; });
            if (it != v.end() && *it == r) pos = it - v.begin();
        }
    }
    if (pos < 0) pos = std::clamp<int64_t>(fallbackPos, 0, std::max<int64_t>(size - 1, 0));
    pos_ = pos;
    eof_ = bof_ = size == 0;
}

int Table::recordCount() const {
    requireOpen("count its rows");
    return static_cast<int>(viewSize());
}

void Table::checkBrowse() {
    if (state_ == State::Insert || state_ == State::Edit) post();
}

void Table::first() {
    requireOpen("move to the first row");
    checkBrowse();
    pos_ = 0;
    eof_ = viewSize() == 0;
    bof_ = true;
}

void Table::next() {
    requireOpen("move to the next row");
    checkBrowse();
    size_t size = viewSize();
    if (size == 0) {
        eof_ = bof_ = true;
        return;
    }
    if (pos_ + 1 < static_cast<int64_t>(size)) {
        ++pos_;
        bof_ = false;
    } else {
        eof_ = true;
    }
}

void Table::prior() {
    requireOpen("move to the prior row");
    checkBrowse();
    if (viewSize() == 0) {
        eof_ = bof_ = true;
        return;
    }
    if (pos_ > 0) {
        --pos_;
        eof_ = false;
    } else {
        bof_ = true;
    }
}

void Table::last() {
    requireOpen("move to the last row");
    checkBrowse();
    size_t size = viewSize();
    pos_ = size == 0 ? 0 : static_cast<int64_t>(size) - 1;
    eof_ = true;
    bof_ = size == 0;
}

bool Table::eof() const { return !open_ || eof_; }
bool Table::bof() const { return !open_ || bof_; }

// ---------------------------------------------------------------- changing rows

void Table::insert() {
    requireOpen("insert a row");
    checkBrowse();
    buffer_.assign(fields_.size(), Cell{});
    editRow_ = -1;
    state_ = State::Insert;
}

void Table::append() { insert(); }

void Table::edit() {
    requireOpen("edit a row");
    if (state_ == State::Insert || state_ == State::Edit) return;
    if (viewSize() == 0) {
        insert();  // as the runtime does: editing an empty table starts a new row
        return;
    }
    editRow_ = rowAt(static_cast<size_t>(pos_));
    buffer_ = rows_.row(static_cast<size_t>(editRow_));
    state_ = State::Edit;
}

void Table::post() {
    if (state_ != State::Insert && state_ != State::Edit) return;
    for (size_t f = 0; f < fields_.size(); ++f)
        if ((fields_[f].attributes & kRequired) && ds::isNull(buffer_[f]))
            fail(fmt::format("field {} must have a value", fields_[f].name));
    int64_t row;
    if (state_ == State::Insert) {
        if (rows_.size() >= UINT32_MAX) fail("too many rows");
        rows_.append(buffer_);
        row = static_cast<int64_t>(rows_.size()) - 1;
    } else {
        row = editRow_;
        rows_.assign(static_cast<size_t>(row), buffer_);
    }
    buffer_.clear();
    editRow_ = -1;
    state_ = State::Browse;
    int64_t oldPos = pos_;
    rowsChanged();
    positionOn(row, oldPos);
}

void Table::cancel() {
    if (state_ != State::Insert && state_ != State::Edit) return;
    buffer_.clear();
    editRow_ = -1;
    state_ = State::Browse;
}

void Table::deleteRow() {
    requireOpen("delete a row");
    if (state_ == State::Insert) {
        cancel();
        return;
    }
    cancel();
    if (viewSize() == 0) fail("no row to delete");
    auto row = rowAt(static_cast<size_t>(pos_));
    int64_t oldPos = pos_;
    rows_.erase(row);
    rowsChanged();
    positionOn(-1, oldPos);
}

// ---------------------------------------------------------------- field values

const Cell& Table::currentCell(int field) const {
    requireOpen("read a field");
    fieldDef(field);
    if (state_ == State::Insert || state_ == State::Edit) return buffer_[static_cast<size_t>(field)];
    if (viewSize() == 0) return kNullCell;
    if (readCells_.size() != fields_.size()) readCells_.resize(fields_.size());
    Cell& c = readCells_[static_cast<size_t>(field)];
    rows_.cellInto(rowAt(static_cast<size_t>(pos_)), static_cast<size_t>(field), c);
    return c;
}

Cell& Table::writableCell(int field) {
    requireOpen("write a field");
    const FieldDef& def = fieldDef(field);
    if (state_ != State::Insert && state_ != State::Edit)
        fail(fmt::format("cannot write field {}: the table is not in insert or edit mode", def.name));
    return buffer_[static_cast<size_t>(field)];
}

const Cell& Table::cell(int field) const { return currentCell(field); }

bool Table::isNull(int field) const { return ds::isNull(currentCell(field)); }

void Table::clear(int field) { writableCell(field) = std::monostate{}; }

std::string Table::asString(int field) const {
    const Cell& c = currentCell(field);
    const FieldDef& def = fields_[static_cast<size_t>(field)];
    if (ds::isNull(c)) return {};
    uint8_t code = def.typeCode();
    switch (code) {
        case kString:
        case kWString:
        case kBytes:
            return std::get<std::string>(c);
        case kFloat:
            return floatToStr(std::get<double>(c), fs_);
        case kInt:
        case kUInt:
            return std::to_string(std::get<int64_t>(c));
        case kBool:
            return std::get<bool>(c) ? "True" : "False";
        case kDate:
            return dateToStr(asDateTime(field), fs_);
        case kTime:
            return timeToStr(asDateTime(field), fs_);
        case kDateTime:
            return dateTimeToStr(asDateTime(field), fs_);
        default:
            fail(fmt::format("field {} of type {} cannot be read as text", def.name, typeName(code)));
    }
}

double Table::asFloat(int field) const {
    const Cell& c = currentCell(field);
    const FieldDef& def = fields_[static_cast<size_t>(field)];
    if (ds::isNull(c)) return 0;
    switch (def.typeCode()) {
        case kFloat:
            return std::get<double>(c);
        case kInt:
        case kUInt:
            return static_cast<double>(std::get<int64_t>(c));
        case kBool:
            return std::get<bool>(c) ? 1 : 0;
        case kDate:
        case kTime:
        case kDateTime:
            return asDateTime(field).value();
        case kString:
        case kWString:
        case kBytes:
            try {
                return strToFloat(std::get<std::string>(c), fs_);
            } catch (const ConvertError& e) {
                throw ConvertError(fmt::format("table {}: field {}: {}", name_, def.name, e.what()));
            }
        default:
            fail(fmt::format("field {} of type {} cannot be read as a number", def.name, typeName(def.typeCode())));
    }
}

DateTime Table::asDateTime(int field) const {
    const Cell& c = currentCell(field);
    const FieldDef& def = fields_[static_cast<size_t>(field)];
    if (ds::isNull(c)) return DateTime();
    switch (def.typeCode()) {
        case kDate:
        case kTime:
        case kDateTime:
            return DateTime(cellScalar(c, def).number);
        case kFloat:
            return DateTime(std::get<double>(c));
        case kInt:
        case kUInt:
            return DateTime(static_cast<double>(std::get<int64_t>(c)));
        case kString:
        case kWString:
            try {
                return strToDateTime(std::get<std::string>(c), fs_);
            } catch (const ConvertError& e) {
                throw ConvertError(fmt::format("table {}: field {}: {}", name_, def.name, e.what()));
            }
        default:
            fail(fmt::format("field {} of type {} cannot be read as a date-time", def.name, typeName(def.typeCode())));
    }
}

void Table::setAsString(int field, std::string_view text) {
    Cell& target = writableCell(field);
    const FieldDef& def = fields_[static_cast<size_t>(field)];
    uint8_t code = def.typeCode();
    if (code == kString || code == kWString || code == kBytes) {
        int width = def.width();
        if (width == 0 && code != kBytes && !def.varying()) width = code == kWString ? def.size / 2 : def.size;
        target = width > 0 ? cutToChars(text, static_cast<size_t>(width)) : std::string(text);
        return;
    }
    if (trimWhitespace(text).empty()) {
        target = std::monostate{};
        return;
    }
    try {
        switch (code) {
            case kFloat:
                target = strToFloat(text, fs_);
                return;
            case kInt:
            case kUInt: {
                long long v = strToInt(text);
                bool ok = def.size >= 1 && def.size <= 8;
                if (ok && def.typeCode() == kUInt) ok = v >= 0 && (def.size >= 8 || v < (1LL << (def.size * 8)));
                else if (ok && def.size < 8) ok = v >= -(1LL << (def.size * 8 - 1)) && v < (1LL << (def.size * 8 - 1));
                if (!ok) throw ConvertError(fmt::format("'{}' is out of range", text));
                target = static_cast<int64_t>(v);
                return;
            }
            case kBool: {
                std::string t = foldCase(trimWhitespace(text));
                if (!t.empty() && std::string_view("true").starts_with(t)) target = true;
                else if (!t.empty() && std::string_view("false").starts_with(t)) target = false;
                else throw ConvertError(fmt::format("'{}' is not a Boolean", text));
                return;
            }
            case kDate:
                setAsDateTime(field, strToDate(text, fs_));
                return;
            case kTime:
                setAsDateTime(field, strToTime(text, fs_));
                return;
            case kDateTime:
                setAsDateTime(field, strToDateTime(text, fs_));
                return;
            default:
                break;
        }
    } catch (const ConvertError& e) {
        throw ConvertError(fmt::format("table {}: field {}: {}", name_, def.name, e.what()));
    }
    fail(fmt::format("field {} of type {} cannot be written as text", def.name, typeName(code)));
}

void Table::setAsFloat(int field, double value) {
    Cell& target = writableCell(field);
    const FieldDef& def = fields_[static_cast<size_t>(field)];
    switch (def.typeCode()) {
        case kFloat:
            target = value;
            return;
        case kInt:
        case kUInt: {
            double r = std::round(value);
            double lo = def.typeCode() == kUInt ? 0 : -std::ldexp(1.0, def.size * 8 - 1);
            double hi = def.typeCode() == kUInt ? std::ldexp(1.0, def.size * 8) : std::ldexp(1.0, def.size * 8 - 1);
            if (def.size == 0 || def.size > 8 || !(r >= lo && r < hi))
                throw ConvertError(
                    fmt::format("table {}: field {}: {} is out of range", name_, def.name, floatToStr(value, fs_)));
            target = static_cast<int64_t>(r);
            return;
        }
        case kDate:
        case kTime:
        case kDateTime:
            setAsDateTime(field, DateTime(value));
            return;
        case kString:
        case kWString:
            setAsString(field, floatToStr(value, fs_));
            return;
        default:
            fail(fmt::format("field {} of type {} cannot be written as a number", def.name, typeName(def.typeCode())));
    }
}

void Table::setAsDateTime(int field, DateTime value) {
    Cell& target = writableCell(field);
    const FieldDef& def = fields_[static_cast<size_t>(field)];
    switch (def.typeCode()) {
        case kDate:
            target = static_cast<int64_t>(value.packetDate());
            return;
        case kTime:
            target = static_cast<int64_t>(value.packetTime());
            return;
        case kDateTime:
            target = value.packetDateTime();
            return;
        case kFloat:
            target = value.value();
            return;
        case kString:
        case kWString:
            setAsString(field, dateTimeToStr(value, fs_));
            return;
        default:
            fail(fmt::format("field {} of type {} cannot be written as a date-time", def.name,
                             typeName(def.typeCode())));
    }
}

Variant Table::value(int field) const {
    const Cell& c = currentCell(field);
    const FieldDef& def = fields_[static_cast<size_t>(field)];
    if (ds::isNull(c)) return Variant::null();
    switch (def.typeCode()) {
        case kDate:
        case kTime:
        case kDateTime:
            return Variant(asDateTime(field));
        case kBool:
            return Variant(std::get<bool>(c));
        case kInt:
        case kUInt:
            return Variant(std::get<int64_t>(c));
        case kFloat:
            return Variant(std::get<double>(c));
        default:
            if (auto* s = std::get_if<std::string>(&c)) return Variant(*s);
            return Variant::null();
    }
}

void Table::setValue(int field, const Variant& v) {
    const FieldDef& def = fieldDef(field);
    switch (v.type()) {
        case Variant::Type::Empty:
        case Variant::Type::Null:
            clear(field);
            return;
        case Variant::Type::Boolean:
            if (def.typeCode() == kBool) {
                writableCell(field) = v.toBool();
                return;
            }
            if (def.isString()) {
                setAsString(field, v.toBool() ? "True" : "False");
                return;
            }
            setAsFloat(field, v.toBool() ? 1 : 0);
            return;
        case Variant::Type::Int32:
        case Variant::Type::Int64:
            if (def.typeCode() == kInt || def.typeCode() == kUInt) {
                setAsString(field, std::to_string(v.toInt(fs_)));
                return;
            }
            setAsFloat(field, static_cast<double>(v.toInt(fs_)));
            return;
        case Variant::Type::Double:
            setAsFloat(field, v.toDouble(fs_));
            return;
        case Variant::Type::DateTime:
            setAsDateTime(field, v.toDateTime(fs_));
            return;
        case Variant::Type::Text:
            setAsString(field, v.text());
            return;
        default:
            fail(fmt::format("field {} cannot hold a {}", def.name, Variant::typeName(v.type())));
    }
}

// ---------------------------------------------------------------- filter and locate

void Table::setFilter(std::string_view text) {
    constexpr size_t kKept = 8;
    Filter parsed;
    bool same = filter_.isBound() && filter_.text() == text;
    auto known = std::find_if(parsedFilters_.begin(), parsedFilters_.end(),
                              [&](const ParsedFilter& f) { return f.text == text; });
    if (same) {
        // already set and bound: kept as it is
    } else if (known != parsedFilters_.end()) {
        parsed = std::move(known->filter);
        parsedFilters_.erase(known);
    } else {
        try {
            parsed = Filter::parse(text);
            if (!parsed.isEmpty() && !fields_.empty()) parsed.bind(fields_, fs_);
        } catch (const FilterError& e) {
            throw FilterError(fmt::format("table {}: {}", name_, e.what()));
        }
    }
    if (open_) checkBrowse();
    if (!same) {
        // The filter it replaces is kept, bound, for when its text comes again.
        if (!filter_.isEmpty() && filter_.isBound()) {
            if (parsedFilters_.size() == kKept) parsedFilters_.erase(parsedFilters_.begin());
            std::string replaced = filter_.text();
            parsedFilters_.push_back({std::move(replaced), std::move(filter_)});
        }
        filter_ = std::move(parsed);
    }
    filteredValid_ = false;
    if (open_ && filtered_) positionOn(-1, 0);
}

void Table::setFiltered(bool on) {
    if (on && !filter_.isEmpty() && !filter_.isBound()) {
        if (fields_.empty()) fail("cannot filter a table without fields");
        try {
            filter_.bind(fields_, fs_);
        } catch (const FilterError& e) {
            throw FilterError(fmt::format("table {}: {}", name_, e.what()));
        }
    }
    if (open_) checkBrowse();
    filtered_ = on;
    filteredValid_ = false;
    if (open_) positionOn(-1, 0);
}

Scalar Table::locateValue(int field, const Variant& v) const {
    const FieldDef& def = fields_[static_cast<size_t>(field)];
    if (v.isEmptyOrNull()) return Scalar::null();
    try {
        switch (scalarKind(def)) {
            case ScalarKind::Text:
                return Scalar::ofText(v.toText(fs_));
            case ScalarKind::Number:
                if (isDateType(def.typeCode())) {
                    DateTime dt = v.toDateTime(fs_);
                    if (def.typeCode() == kDate) dt = dt.dateOnly();
                    if (def.typeCode() == kTime) dt = dt.timeOnly();
                    return Scalar::ofNumber(dt.value());
                }
                return Scalar::ofNumber(v.toDouble(fs_));
            case ScalarKind::Other:
                break;
        }
    } catch (const ConvertError& e) {
        throw ConvertError(fmt::format("table {}: locate on field {}: {}", name_, def.name, e.what()));
    }
    fail(fmt::format("cannot locate on field {} of type {}", def.name, typeName(def.typeCode())));
}

bool Table::locate(std::string_view fields, const std::vector<Variant>& values, LocateOptions opts) {
    requireOpen("locate a row");
    checkBrowse();
    std::vector<int> idx = resolveFields(fields);
    if (idx.size() != values.size())
        fail(fmt::format("locate on \"{}\" with {} values for {} fields", fields, values.size(), idx.size()));
    std::vector<Scalar> probe;
    probe.reserve(idx.size());
    for (size_t i = 0; i < idx.size(); ++i) probe.push_back(locateValue(idx[i], values[i]));
    std::string key = probeKey(probe, opts.caseInsensitive);
    ensureOrder();
    bool filtering = filterActive();
    int64_t best = -1;
    uint32_t bestRank = 0;
    matchingRows(idx, opts.caseInsensitive, key, probe, [&](uint32_t r) {
        if (filtering && !rowAccepted(r)) return true;
        uint32_t rank = identityOrder_ ? r : rank_[r];
        if (best < 0 || rank < bestRank) {
            best = r;
            bestRank = rank;
        }
        return !identityOrder_;  // candidates come in storage order, which is then walking order
    });
    if (best < 0) return false;
    positionOn(best, pos_);
    eof_ = bof_ = false;
    return true;
}

bool Table::locate(std::string_view field, const Variant& value, LocateOptions opts) {
    return locate(field, std::vector<Variant>{value}, opts);
}

}  // namespace zel::ds
