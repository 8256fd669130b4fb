#include "storage/split_raw.hpp"

#include "platform/platform.hpp"
#include "platform/unicode.hpp"
#include "storage/file_handle.hpp"

#include <algorithm>
#include <new>

namespace {

// Piece files kept open at once; the rest are opened when read.
constexpr size_t split_open_files = 8;

struct split_piece {
    uint64_t start = 0;  // disk offset of its first byte
    uint64_t size = 0;
};

struct split_raw_disk : disk_container {
    std::vector<split_piece> pieces;
    file_pool files{split_open_files};  // paths by piece index

    bool read(uint8_t* buffer, uint64_t offset, uint32_t length) override {
        // The last piece that starts at or before `offset`.
        auto it = std::upper_bound(pieces.begin(), pieces.end(), offset,
                                   [](uint64_t o, const split_piece& p) { return o < p.start; });
        if (it == pieces.begin()) return false;
        size_t index = static_cast<size_t>(it - pieces.begin()) - 1;
        uint32_t done = 0;
        while (done < length && index < pieces.size()) {
            const split_piece& p = pieces[index];
            const uint64_t at = offset + done - p.start;
            if (at >= p.size) {
                ++index;
                continue;
            }
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length - done, p.size - at));
            const owned_fd* f = files.get(index);
            if (!f || !read_exact(*f, at, std::span<uint8_t>(buffer + done, n))) return false;
            done += n;
            ++index;
        }
        if (done < length) std::fill(buffer + done, buffer + length, uint8_t(0));
        return true;
    }
};

}  // namespace

bool parse_split_name(const std::u16string& path, split_name& out) {
    out = split_name{};
    const size_t leaf = leaf_start(path);
    size_t first_digit = path.size();
    while (first_digit > leaf && path[first_digit - 1] >= u'0' && path[first_digit - 1] <= u'9') --first_digit;
    const size_t digits = path.size() - first_digit;
    if (digits < split_min_digits || digits > split_max_digits) return false;
    out.folder = path.substr(0, leaf);
    out.stem = path.substr(leaf, first_digit - leaf);
    out.digits = static_cast<uint32_t>(digits);
    for (size_t i = first_digit; i < path.size(); ++i) out.number = out.number * 10 + (path[i] - u'0');
    return true;
}

std::u16string split_piece_name(const split_name& name, uint64_t number) {
    std::string digits = std::to_string(number);
    if (digits.size() < name.digits) digits.insert(0, name.digits - digits.size(), '0');
    return name.folder + name.stem + uni::to_utf16(digits);
}

namespace {

// The pieces of a set whose folder holds more entries than were listed,
// so that some pieces may not be among `listed` (the numbers seen): each
// is looked up by its name, from the first on, up to the first number
// with no file. A number listed or named past that one is a missing piece.
bool probe_split_pieces(const std::u16string& path, const split_name& name, const std::vector<uint64_t>& listed,
                        std::vector<std::u16string>& pieces, std::string& message) {
    uint64_t n = platform::is_regular_file(split_piece_name(name, 0)) ? 0 : 1;
    for (;; ++n) {
        std::u16string piece = split_piece_name(name, n);
        if (!platform::is_regular_file(piece)) break;
        if (pieces.size() == split_max_pieces) {
            message = "split image " + uni::to_utf8(path) + ": more than " + std::to_string(split_max_pieces) + " pieces";
            pieces.clear();
            return false;
        }
        pieces.push_back(std::move(piece));
    }
    // A lone numbered file, with no piece beside it, is a plain image.
    const bool set = !pieces.empty() || std::any_of(listed.begin(), listed.end(), [&](uint64_t x) { return x != name.number; });
    if (!set) return false;
    if (name.number > n || (!listed.empty() && listed.back() > n)) {
        message = "split image piece missing: " + uni::to_utf8(split_piece_name(name, n));
        pieces.clear();
        return false;
    }
    if (pieces.size() >= 2) return true;
    pieces.clear();
    return false;
}

}  // namespace

bool find_split_pieces(const std::u16string& path, std::vector<std::u16string>& pieces, std::string& message,
                       size_t folder_limit) {
    pieces.clear();
    message.clear();
    split_name name;
    if (!parse_split_name(path, name)) return false;
    std::vector<std::u16string> entries;
    if (!platform::list_folder(name.folder, folder_limit, entries)) return false;
    // A piece whose number has outgrown the set's digits (disk.1000 after
    // disk.999) is written without padding, so its digit count is not the
    // set's: the set's is that of the narrowest zero-padded piece beside it
    // (disk.001), and the set is found from there as from any other piece.
    const size_t leaf = leaf_start(path);
    if (path[leaf + name.stem.size()] != u'0') {
        for (const auto& e : entries) {
            split_name other;
            if (!parse_split_name(name.folder + e, other) || !same_host_name(other.stem, name.stem) ||
                other.digits >= name.digits || e[other.stem.size()] != u'0')
                continue;
            name.digits = other.digits;
        }
    }
    // The numbers present in the set, each written as the set writes them:
    // the set's digit count, or more digits once the numbers outgrow it.
    std::vector<uint64_t> numbers;
    for (const auto& e : entries) {
        split_name other;
        if (!parse_split_name(name.folder + e, other) || !same_host_name(other.stem, name.stem) || other.digits < name.digits) continue;
        if (other.digits > name.digits && e[name.stem.size()] == u'0') continue;
        numbers.push_back(other.number);
        if (numbers.size() > split_max_pieces) {
            message = "split image " + uni::to_utf8(path) + ": more than " + std::to_string(split_max_pieces) + " pieces";
            return false;
        }
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    if (entries.size() >= folder_limit) return probe_split_pieces(path, name, numbers, pieces, message);
    if (numbers.size() < 2) return false;
    // Sets count from 0 or from 1; every number from there to the last
    // present must have its piece.
    uint64_t expected = numbers.front() == 0 ? 0 : 1;
    for (const uint64_t n : numbers) {
        if (n != expected) {
            message = "split image piece missing: " + uni::to_utf8(split_piece_name(name, expected));
            return false;
        }
        pieces.push_back(split_piece_name(name, n));
        ++expected;
    }
    return true;
}

bool open_split_raw(const std::u16string& path, std::unique_ptr<disk_container>& out, std::string& message) try {
    out.reset();
    std::vector<std::u16string> names;
    if (!find_split_pieces(path, names, message)) {
        if (message.empty()) message = "not a split image: " + uni::to_utf8(path);
        return false;
    }
    auto disk = std::make_unique<split_raw_disk>();
    uint64_t start = 0;
    for (const auto& n : names) {
        owned_fd f;
        uint64_t size = 0;
        if (!open_read_only(n, f, size)) {
            message = "split image piece can't be opened: " + uni::to_utf8(n);
            return false;
        }
        if (size > UINT64_MAX - start) {
            message = "split image too large: " + uni::to_utf8(path);
            return false;
        }
        disk->pieces.push_back({start, size});
        disk->files.paths.push_back(n);
        start += size;
    }
    disk->disk_size = start;
    out = std::move(disk);
    return true;
} catch (const std::bad_alloc&) {
    message = "out of memory opening split image " + uni::to_utf8(path);
    out.reset();
    return false;
}
