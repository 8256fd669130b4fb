// The names of an MFT entry with their parent directories, and the full
// paths of an entry found by climbing parent references to the root.
#pragma once

#include "ntfs/names_utf16.hpp"
#include "ntfs/volume.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct entry_name {
    std::u16string name;
    uint64_t parent_ref = 0;
    std::array<uint8_t, 68> head{};  // the first 68 bytes of the $FILE_NAME value
    uint8_t name_space = 0;
    uint16_t attr_id = 0;
    uint64_t record_number = 0;      // the record the name stands in
    // What the name is ordered by among an entry's names, with the name:
    // the parent's entry number and the record (see name_key).
    uint64_t key_parent = 0;
    uint64_t key_record = 0;
};

// The names of one entry in the order of their keys (name_key: parent,
// name and record in hexadecimal); of equal keys the first stays. An entry
// has one to a few names, so they sit in one sorted vector, not in a node
// each, and their keys are compared without being built.
class entry_name_map {
public:
    using value_type = entry_name;
    using iterator = std::vector<entry_name>::iterator;
    using const_iterator = std::vector<entry_name>::const_iterator;

    // Non-const iteration is for moving names out; what orders them must
    // not change.
    iterator begin() { return items_.begin(); }
    iterator end() { return items_.end(); }
    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    void clear() { items_.clear(); }

    // Adds `name` unless a name of the same key is held; true when added.
    bool emplace(entry_name name) {
        auto at = items_.end();
        // Names mostly come in key order: the last one is looked at first.
        while (at != items_.begin()) {
            const int c = order(*(at - 1), name);
            if (c == 0) return false;
            if (c < 0) break;
            --at;
        }
        items_.insert(at, std::move(name));
        return true;
    }

private:
    static int order(const entry_name& a, const entry_name& b) {
        return compare_name_keys(a.key_parent, a.name, a.key_record, b.key_parent, b.name, b.key_record);
    }
    std::vector<entry_name> items_;
};

// DOS-only names (namespace 2) are left out unless `include_dos` is set.
constexpr uint8_t namespace_posix = 0;
constexpr uint8_t namespace_win32 = 1;
constexpr uint8_t namespace_dos = 2;
constexpr uint64_t any_parent = ~uint64_t(0);

// The name an entry is listed under among `names` (the names it has in one
// folder): its only name, else the first that is not a DOS-only name;
// empty when every one of several names is DOS-only.
std::u16string_view listed_name(const entry_name_map& names);

// Collects the $FILE_NAMEs of entry `entry` (whose record is `record`),
// including those its attribute list places in extension records. With a
// parent filter other than any_parent, only names in that directory.
bool collect_entry_names(ntfs_volume& v, uint64_t entry, le::bytes record, bool include_dos, uint64_t parent_filter,
                         entry_name_map& out);

// Climbing paths: every way from `entry` up to the root, depth first.
// `partial` holds the names collected so far (the entry's own first).
// With `parents`, the folder each path names the entry in (the parent of
// the entry's own name on that way) goes there, one for each path.
bool collect_entry_paths(ntfs_volume& v, uint64_t entry, const std::vector<std::u16string>& partial,
                         std::vector<std::u16string>& paths, std::vector<uint64_t>* parents = nullptr);

// Where an entry lives: the source to open.
struct volume_source {
    std::u16string image;                 // image file or device path
    int drive = -1;                       // physical drive number
    int64_t offset = 0;                   // volume offset in the source
    std::u16string volume_path;           // a live volume's path
    std::vector<std::u16string> vmdk;     // VMDK chain files
};

bool open_source_volume(const volume_source& src, std::unique_ptr<ntfs_volume>& out);

// All full paths of `entry`, each the prefix (e.g. "C:\") followed by the
// path below the root; "\" stands in for an empty prefix. With
// `parents`, the folder holding the entry's name on each path.
bool entry_to_paths(const volume_source& src, const std::u16string& prefix, uint64_t entry,
                    std::vector<std::u16string>& paths, std::vector<uint64_t>* parents = nullptr);
bool entry_is_directory(const volume_source& src, uint64_t entry);

// Bounds on climbing. The climb recurses once per level, so its depth is
// capped where every platform's stack holds it (Windows gives a thread
// 1 MiB unless told otherwise): 4096 levels, far deeper than any real
// folder tree, whose paths Windows tools cannot even open past 32767
// characters. And an entry whose ancestors carry many names multiplies
// its paths, so the count of paths collected is capped.
constexpr size_t max_path_depth = 4096;
constexpr size_t max_entry_paths = 4096;
// Records read while climbing from one entry: enough for every path of an
// entry with NTFS's 1024 hard links at a depth of 64, and a bound on the
// work a crafted web of parent references can demand.
constexpr size_t max_climb_steps = 65536;
