#include "platform/dataset/row_store.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace zel::ds {

void RowStore::reset(size_t width) {
    width_ = width;
    rows_ = 0;
    slots_.clear();
    arena_.clear();
    garbage_ = 0;
}

RowStore::Arena::Arena(const Arena& other) {
    reserve(other.size);
    if (other.size) std::memcpy(data, other.data, other.size);
    size = other.size;
}

RowStore::Arena::~Arena() { std::free(data); }

void RowStore::Arena::swap(Arena& other) noexcept {
    std::swap(data, other.data);
    std::swap(size, other.size);
    std::swap(capacity, other.capacity);
}

void RowStore::Arena::reserve(size_t bytes) {
    if (bytes <= capacity) return;
    char* p = static_cast<char*>(std::realloc(data, bytes));
    if (!p) throw std::bad_alloc();
    data = p;
    capacity = bytes;
}

void RowStore::Arena::grow(size_t more) {
    if (more > SIZE_MAX / 2 - size) throw std::length_error("the texts of a working table are too long");
    reserve(std::max(size + more, capacity + capacity / 2));
}

// realloc gives back the tail of a block where it lies, without copying.
void RowStore::Arena::shrink() {
    if (size == capacity) return;
    if (size == 0) {
        std::free(data);
        data = nullptr;
        capacity = 0;
        return;
    }
    if (char* p = static_cast<char*>(std::realloc(data, size))) {
        data = p;
        capacity = size;
    }
}

void RowStore::reserve(size_t rows, size_t textBytes) {
    slots_.reserve(rows * width_);
    arena_.reserve(textBytes);
}

void RowStore::shrink() {
    slots_.shrink_to_fit();
    arena_.shrink();
}

void RowStore::putFloat(double v) { slots_.push_back(Slot{Float, 0, std::bit_cast<uint64_t>(v)}); }

void RowStore::putText(std::string_view t) {
    char* room = textRoom(t.size());
    if (!t.empty()) std::memcpy(room, t.data(), t.size());
    putTextFromRoom(t.size());
}

void RowStore::putTextFromRoom(size_t length) {
    if (length > UINT32_MAX) throw std::length_error("a text of a working table is too long");
    Slot s{ShortText, static_cast<uint32_t>(length), 0};
    if (length <= sizeof s.bits) {
        s.bits = packShort(arena_.data + arena_.size, length);
    } else {
        s.tag = LongText;
        s.bits = arena_.size;
        arena_.size += length;
    }
    slots_.push_back(s);
}

RowStore::Slot RowStore::encode(const Cell& cell) {
    Slot s;
    switch (cell.index()) {
        case 0:
            s.tag = Null;
            break;
        case 1:
            s.tag = Unchanged_;
            break;
        case 2:
            s.tag = Bool;
            s.bits = std::get<bool>(cell) ? 1 : 0;
            break;
        case 3:
            s.tag = Int;
            s.bits = static_cast<uint64_t>(std::get<int64_t>(cell));
            break;
        case 4:
            s.tag = Float;
            s.bits = std::bit_cast<uint64_t>(std::get<double>(cell));
            break;
        default: {
            const std::string& t = std::get<std::string>(cell);
            if (t.size() > UINT32_MAX) throw std::length_error("a text of a working table is too long");
            s.length = static_cast<uint32_t>(t.size());
            if (t.size() <= sizeof s.bits) {
                s.tag = ShortText;
                std::memcpy(&s.bits, t.data(), t.size());
            } else {
                s.tag = LongText;
                s.bits = arena_.size;
                arena_.append(t);
            }
        }
    }
    return s;
}

void RowStore::release(const Slot& slot) {
    if (slot.tag == LongText) garbage_ += slot.length;
}

void RowStore::append(const std::vector<Cell>& cells) {
    if (cells.size() != width_) throw std::invalid_argument("a row of the wrong width");
    for (const Cell& c : cells) slots_.push_back(encode(c));
    ++rows_;
}

void RowStore::assign(size_t row, const std::vector<Cell>& cells) {
    if (cells.size() != width_) throw std::invalid_argument("a row of the wrong width");
    for (size_t f = 0; f < width_; ++f) {
        Slot& s = slots_[row * width_ + f];
        release(s);
        s = encode(cells[f]);
    }
    compactIfWasteful();
}

void RowStore::erase(size_t row) {
    auto begin = slots_.begin() + static_cast<ptrdiff_t>(row * width_);
    for (auto it = begin; it != begin + static_cast<ptrdiff_t>(width_); ++it) release(*it);
    slots_.erase(begin, begin + static_cast<ptrdiff_t>(width_));
    --rows_;
    compactIfWasteful();
}

// Rows edited again and again leave their old texts behind; once those are
// most of the arena, the live texts are copied into a new one.
void RowStore::compactIfWasteful() {
    if (garbage_ < 4096 || garbage_ * 2 < arena_.size) return;
    Arena fresh;
    fresh.reserve(arena_.size - garbage_);
    for (Slot& s : slots_)
        if (s.tag == LongText) {
            uint64_t at = fresh.size;
            fresh.append({arena_.data + s.bits, s.length});
            s.bits = at;
        }
    arena_ = std::move(fresh);
    garbage_ = 0;
}

std::string_view RowStore::textOf(const Slot& s) const {
    if (s.tag == ShortText) return {reinterpret_cast<const char*>(&s.bits), s.length};
    return {arena_.data + s.bits, s.length};
}

void RowStore::cellInto(size_t row, size_t field, Cell& out) const {
    const Slot& s = slots_[row * width_ + field];
    switch (s.tag) {
        case Null:
            out = std::monostate{};
            break;
        case Unchanged_:
            out = ds::Unchanged{};
            break;
        case Bool:
            out = s.bits != 0;
            break;
        case Int:
            out = static_cast<int64_t>(s.bits);
            break;
        case Float:
            out = std::bit_cast<double>(s.bits);
            break;
        default: {
            std::string_view t = textOf(s);
            if (auto* existing = std::get_if<std::string>(&out)) existing->assign(t.data(), t.size());
            else out.emplace<std::string>(t);
        }
    }
}

Cell RowStore::cell(size_t row, size_t field) const {
    Cell c;
    cellInto(row, field, c);
    return c;
}

void RowStore::rowInto(size_t row, std::vector<Cell>& out) const {
    out.resize(width_);
    for (size_t f = 0; f < width_; ++f) cellInto(row, f, out[f]);
}

std::vector<Cell> RowStore::row(size_t r) const {
    std::vector<Cell> out;
    rowInto(r, out);
    return out;
}

bool RowStore::isNull(size_t row, size_t field) const { return slots_[row * width_ + field].tag == Null; }

bool RowStore::text(size_t row, size_t field, std::string_view& out) const {
    const Slot& s = slots_[row * width_ + field];
    if (s.tag != ShortText && s.tag != LongText) return false;
    out = textOf(s);
    return true;
}

}  // namespace zel::ds
