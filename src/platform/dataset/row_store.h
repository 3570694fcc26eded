// The rows of a working table, held compactly: every cell is a 16-byte tagged
// slot in one flat array, row after row; a text of up to eight bytes lives in
// its slot, a longer one in a character arena shared by the whole table. A
// loaded table so costs a small multiple of its file, without an allocation
// per row or per text. Cells are read back as Cell values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/dataset/packet.h"

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
    // Gives back the room reserve or deletions left unused.
    void shrink();

    // `cells` must hold width() cells.
    void append(const std::vector<Cell>& cells);
    void assign(size_t row, const std::vector<Cell>& cells);
    void erase(size_t row);
    void clear() { reset(width_); }

    Cell cell(size_t row, size_t field) const;
    // Into `out`, reusing the text room it already has.
    void cellInto(size_t row, size_t field, Cell& out) const;
    void rowInto(size_t row, std::vector<Cell>& out) const;
    std::vector<Cell> row(size_t r) const;
    bool isNull(size_t row, size_t field) const;
    // The text of a text cell, viewed in place; false for any other cell.
    bool text(size_t row, size_t field, std::string_view& out) const;

    // Bytes held (slots and arena), for tests and benchmarks.
    size_t bytes() const { return slots_.capacity() * sizeof(Slot) + arena_.capacity(); }

  private:
    enum Tag : uint8_t { Null, Unchanged_, Bool, Int, Float, ShortText, LongText };
    struct Slot {
        uint8_t tag = Null;
        uint32_t length = 0;  // texts
        uint64_t bits = 0;    // the value, the short text's bytes, or the long text's arena offset
    };
    static_assert(sizeof(Slot) == 16);

    Slot encode(const Cell& cell);
    void release(const Slot& slot);
    void compactIfWasteful();
    std::string_view textOf(const Slot& s) const;

    size_t width_ = 0;
    size_t rows_ = 0;
    std::vector<Slot> slots_;
    std::vector<char> arena_;
    size_t garbage_ = 0;  // arena bytes no slot refers to any more
};

}  // namespace zel::ds
