// The text of a row's lines as a writer builds it, in a buffer kept from
// row to row. A line is made of many short pieces: each is one inlined
// copy here, where a string's append checks and grows its capacity through
// a call for every piece. The buffer only grows, so the room it has is
// never cleared again.
#pragma once

#include "output/number_text.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

class line_text {
public:
    void clear() { size_ = 0; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    char* data() { return store_.data(); }
    std::string_view view() const { return {store_.data(), size_}; }

    line_text& operator+=(char c) {
        if (size_ == store_.size()) grow(1);
        store_[size_++] = c;
        return *this;
    }
    line_text& operator+=(std::string_view s) {
        append(s.data(), s.size());
        return *this;
    }
    // Room for `n` more characters at the end, to be written through the
    // pointer and then counted in with added().
    char* room(size_t n) {
        if (store_.size() - size_ < n) grow(n);
        return store_.data() + size_;
    }
    void added(size_t n) { size_ += n; }
    void append(const char* p, size_t n) {
        char* at = room(n);
        if (n != 0) std::memcpy(at, p, n);
        added(n);
    }

private:
    void grow(size_t n) { store_.resize(std::max(2 * store_.size(), size_ + n + min_room)); }
    // A first row's lines fit in this much without growing again.
    static constexpr size_t min_room = 4096;
    std::string store_;  // its size is the room in use; the text is its first size_ bytes
    size_t size_ = 0;
};

// Puts the first `n` characters of `from` (n at most Fixed, and `from`
// readable for Fixed) at `p` with one copy of a fixed size, which the
// compiler makes a few moves; `p` must have room for Fixed. Returns the
// end of the `n` characters.
template <size_t Fixed>
inline char* put_fixed(char* p, const char* from, size_t n) {
    std::memcpy(p, from, Fixed);
    return p + n;
}

// Puts a short text (a separator) at `p` a character at a time: for the
// one or two characters it mostly has, cheaper than a call to copy them.
inline char* put_short(char* p, std::string_view text) {
    for (const char c : text) *p++ = c;
    return p;
}

// `value` in decimal at the end of `out`, written in place.
inline void append_decimal(line_text& out, uint64_t value) {
    char* p = out.room(20);
    out.added(static_cast<size_t>(put_decimal(p, value) - p));
}
