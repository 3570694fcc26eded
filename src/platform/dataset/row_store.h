// The rows of a working table, held compactly: every cell is a 16-byte tagged
// slot in one flat array, row after row; a text of up to eight bytes lives in
// its slot, a longer one in a character arena shared by the whole table. A
// loaded table so costs a small multiple of its file, without an allocation
// per row or per text. Cells are read back as Cell values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/dataset/packet.h"
#include "platform/large_block.h"

namespace zel::ds {

class RowStore {
  public:
    explicit RowStore(size_t width = 0) : width_(width) {}

    // No rows, `width` cells a row.
    void reset(size_t width);
    size_t size() const { return rows_; }
    bool empty() const { return rows_ == 0; }
    size_t width() const { return width_; }
    // Room for `rows` rows and `textBytes` bytes of long texts.
    void reserve(size_t rows, size_t textBytes);
    // Gives back the room reserve or deletions left unused. The texts are not
    // copied for it: the arena's unused tail is handed back in place.
    void shrink();

    // `cells` must hold width() cells.
    void append(const std::vector<Cell>& cells);
    void assign(size_t row, const std::vector<Cell>& cells);
    void erase(size_t row);
    void clear() { reset(width_); }

    // Rows filled cell by cell, for a decoder that knows each value's kind:
    // put exactly width() cells, then endRow(). Texts are UTF-8.
    void putNull() { slots_.push_back(Slot{Null, 0, 0}); }
    void putBool(bool v) { slots_.push_back(Slot{Bool, 0, v ? 1u : 0u}); }
    void putInt(int64_t v) { slots_.push_back(Slot{Int, 0, static_cast<uint64_t>(v)}); }
    void putFloat(double v);
    void putText(std::string_view utf8);
    // Room for a text of at most `maxBytes` bytes, to be written there and then
    // stored with putTextFromRoom(its length); valid until the next put.
    char* textRoom(size_t maxBytes) {
        arena_.ensure(maxBytes);
        return arena_.data + arena_.size;
    }
    void putTextFromRoom(size_t length);
    // A text of at most eight bytes, which its slot holds.
    void putShortText(std::string_view t) {
        slots_.push_back(Slot{ShortText, static_cast<uint32_t>(t.size()), packShort(t.data(), t.size())});
    }
    void endRow() { ++rows_; }

    Cell cell(size_t row, size_t field) const;
    // Into `out`, reusing the text room it already has.
    void cellInto(size_t row, size_t field, Cell& out) const;
    void rowInto(size_t row, std::vector<Cell>& out) const;
    std::vector<Cell> row(size_t r) const;
    bool isNull(size_t row, size_t field) const;
    // The text of a text cell, viewed in place; false for any other cell.
    bool text(size_t row, size_t field, std::string_view& out) const;

    // Bytes held (slots and arena), for tests and benchmarks.
    size_t bytes() const { return slots_.capacity() * sizeof(Slot) + arena_.capacity; }

  private:
    enum Tag : uint8_t { Null, Unchanged_, Bool, Int, Float, ShortText, LongText };
    struct Slot {
        uint8_t tag = Null;
        uint32_t length = 0;  // texts
        uint64_t bits = 0;    // the value, the short text's bytes, or the long text's arena offset
    };
    static_assert(sizeof(Slot) == 16);

    // The long texts, one after the other. Held in memory of its own (not a
    // vector) so that giving back an over-estimated reserve shrinks the block
    // where it lies instead of copying every text into a new one.
    struct Arena {
        char* data = nullptr;
        size_t size = 0;
        size_t capacity = 0;

        Arena() = default;
        Arena(const Arena& other);
        Arena(Arena&& other) noexcept { swap(other); }
        Arena& operator=(Arena other) noexcept {
            swap(other);
            return *this;
        }
        ~Arena();
        void swap(Arena& other) noexcept;
        // Room for `more` bytes after the texts held.
        void ensure(size_t more) {
            if (capacity - size < more) grow(more);
        }
        void grow(size_t more);
        void reserve(size_t bytes);
        void shrink();
        void clear() { size = 0; }
        void append(std::string_view t) {
            ensure(t.size());
            if (!t.empty()) std::memcpy(data + size, t.data(), t.size());
            size += t.size();
        }
    };

    // Up to eight bytes in the low bytes of a slot's value, the rest zero.
    static uint64_t packShort(const char* p, size_t n) {
        uint64_t bits = 0;
        for (size_t i = 0; i < n; ++i) bits |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
        return bits;
    }
    Slot encode(const Cell& cell);
    void release(const Slot& slot);
    void compactIfWasteful();
    std::string_view textOf(const Slot& s) const;

    size_t width_ = 0;
    size_t rows_ = 0;
    std::vector<Slot, zel::BlockAllocator<Slot>> slots_;
    Arena arena_;
    size_t garbage_ = 0;  // arena bytes no slot refers to any more
};

}  // namespace zel::ds
