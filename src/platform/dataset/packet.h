// The data packet: a whole table (field descriptors, packet properties and
// records) as the client-dataset runtime stores it. The codecs read and write
// it; working tables take and give it; database providers build it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zel::ds {

// Type codes of a field or property (bits 0-5 of the type word).
enum TypeCode : uint8_t {
    kInt = 1,
    kUInt = 2,
    kBool = 3,
    kFloat = 4,
    kBcd = 5,
    kDate = 6,
    kTime = 7,
    kDateTime = 8,
    kString = 9,
    kWString = 10,
    kBytes = 11,
    kAdt = 12,
    kArrayType = 13,
    kNested = 14,
    kReference = 15,
};
constexpr uint16_t kTypeMask = 0x3F;
constexpr uint16_t kVaryingBit = 0x40;
constexpr uint16_t kArrayBit = 0x80;

enum FieldAttribute : uint16_t {
    kHidden = 0x01,
    kReadOnly = 0x02,
    kRequired = 0x04,
    kLink = 0x08,
};

// A field or packet property, kept as stored so that a packet saved again
// writes the same bytes. `value` holds the bytes after name, size and type:
// for the array bit a 4-byte count then the elements, for the varying bit a
// length prefix then the bytes, else `size` bytes.
struct Property {
    std::string name;
    uint16_t size = 0;
    uint16_t type = 0;
    std::string value;

    static Property uint16(std::string name, uint16_t v);                        // WIDTH
    static Property int32(std::string name, int32_t v);                          // LCID
    static Property text(std::string name, std::string_view s);                  // SUBTYPE
    static Property intList(std::string name, const std::vector<int64_t>& list,  // DEFAULT_ORDER
                            uint16_t elementSize = 2);

    // Decoded views; nullopt when the property is not of that shape.
    std::optional<int64_t> asInt() const;
    std::optional<std::string> asText() const;
    std::optional<std::vector<int64_t>> asList() const;

    bool operator==(const Property&) const = default;
};

// The properties of a field. Copies of a field share them until one of the
// copies changes them: a table's structure goes into every packet it gives,
// and its fields' properties are read there, seldom changed.
class PropertyList {
  public:
    using const_iterator = std::vector<Property>::const_iterator;

    PropertyList() = default;
    PropertyList(std::vector<Property> list) { assign(std::move(list)); }
    PropertyList(std::initializer_list<Property> list) { assign(std::vector<Property>(list)); }
    PropertyList& operator=(std::vector<Property> list) {
        assign(std::move(list));
        return *this;
    }

    size_t size() const { return list_ ? list_->size() : 0; }
    bool empty() const { return size() == 0; }
    const_iterator begin() const { return list_ ? list_->cbegin() : none().cbegin(); }
    const_iterator end() const { return list_ ? list_->cend() : none().cend(); }
    const Property& operator[](size_t i) const { return (*list_)[i]; }

    void push_back(Property p) { own().push_back(std::move(p)); }
    template <class It>
    void insert(const_iterator at, It first, It last) {
        auto offset = at - begin();
        std::vector<Property>& list = own();
        list.insert(list.begin() + offset, first, last);
    }

    bool operator==(const PropertyList& other) const {
        return size() == other.size() && std::equal(begin(), end(), other.begin());
    }

  private:
    static const std::vector<Property>& none() {
        static const std::vector<Property> empty;
        return empty;
    }
    void assign(std::vector<Property> list) {
        if (list.empty()) list_.reset();
        else list_ = std::make_shared<std::vector<Property>>(std::move(list));
    }
    // The list this copy alone holds, made so on the first change.
    std::vector<Property>& own() {
        if (!list_) list_ = std::make_shared<std::vector<Property>>();
        else if (list_.use_count() > 1) list_ = std::make_shared<std::vector<Property>>(*list_);
        return *list_;
    }

    std::shared_ptr<std::vector<Property>> list_;
};

struct FieldDef {
    std::string name;  // UTF-8
    uint16_t size = 0;
    uint16_t type = 0;  // type code with the varying and array bits
    uint16_t attributes = 0;
    PropertyList props;

    uint8_t typeCode() const { return static_cast<uint8_t>(type & kTypeMask); }
    bool varying() const { return (type & kVaryingBit) != 0; }
    bool isString() const { return typeCode() == kString || typeCode() == kWString; }
    const Property* prop(std::string_view propName) const;
    int width() const;            // WIDTH, 0 when absent
    std::string subtype() const;  // SUBTYPE, empty when absent
    bool fixedChar() const { return subtype() == "FixedChar"; }

    // The declared field kinds of this system's tables.
    static FieldDef string(std::string name, int width, bool fixedLength = false);
    static FieldDef floatField(std::string name, bool money = false);
    static FieldDef int32(std::string name);
    static FieldDef int16(std::string name);
    static FieldDef boolean(std::string name);
    static FieldDef date(std::string name);
    static FieldDef time(std::string name);
    static FieldDef dateTime(std::string name);
    static FieldDef memo(std::string name);

    bool operator==(const FieldDef&) const = default;
};

// A "not changed" value of a delta record (field status 2).
struct Unchanged {
    bool operator==(const Unchanged&) const = default;
};

// One value of a record. The field's type says how to read it:
//   integer, unsigned            int64_t
//   Boolean                      bool
//   float, money                 double
//   date                         int64_t  day number, 1 = 0001-01-01
//   time                         int64_t  milliseconds since midnight
//   date-time                    double   day number * 86 400 000 + ms
//   string, Unicode string       std::string, UTF-8
//   bytes (memo, blob), BCD      std::string, raw bytes
// monostate is null.
using Cell = std::variant<std::monostate, Unchanged, bool, int64_t, double, std::string>;

inline bool isNull(const Cell& c) { return std::holds_alternative<std::monostate>(c); }

// Record status bits.
enum RecordStatus : uint8_t {
    kUnchangedRecord = 0x00,
    kOriginal = 0x01,
    kDeleted = 0x02,
    kInserted = 0x04,
    kModified = 0x08,
    kUnused = 0x20,
    kDetailUpdates = 0x40,
};

struct Record {
    uint8_t status = 0;
    std::vector<Cell> cells;

    bool operator==(const Record&) const = default;
};

struct Packet {
    uint16_t majorVersion = 1;
    uint16_t minorVersion = 0;
    uint32_t flags = 3;
    std::vector<FieldDef> fields;
    std::vector<Property> props;
    std::vector<Record> records;  // storage order, change-log records included

    // Index of a field by name, ignoring letter case; -1 when absent.
    int fieldIndex(std::string_view name) const;
    const Property* prop(std::string_view propName) const;

    // The rows as the user last saw them: the change log applied, originals and
    // deleted records left out, a modified record in the place of the one it
    // replaces. Indexes into `records`.
    std::vector<size_t> liveRecordOrder() const;

    // For each record, the index of the record it replaces by the change log,
    // or -1.
    std::vector<int64_t> replacedRecords() const;
    // The value a cell stands for: a "not changed" cell of a modified record
    // takes the value of the record it replaces (following the change log);
    // null when nothing is found. `replaced` is replacedRecords().
    const Cell& resolvedCell(size_t record, size_t field, const std::vector<int64_t>& replaced) const;
    // The rows as the user last saw them (liveRecordOrder), with "not changed"
    // cells replaced by the values they stand for.
    std::vector<Record> liveRecords() const;

    bool operator==(const Packet&) const = default;
};

}  // namespace zel::ds
