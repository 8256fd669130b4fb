#include "ntfs/names.hpp"
#include "ntfs/attribute_header.hpp"
#include "ntfs/entry.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/names_utf16.hpp"
#include "ntfs/open_volume.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

namespace {

// The record's own number: the header field in the newer layout, else the
// number it was read as.
uint64_t record_number(le::bytes rec, uint64_t read_as) {
    return has_record_number(rec) ? le::u32(rec, file_header::record_number) : read_as;
}

// The name pass over one record: every resident $FILE_NAME that passes the
// filters goes into the map (the first of equal keys stays).
void name_pass(le::bytes rec, uint64_t read_as, uint32_t bound, bool include_dos, uint64_t filter, entry_name_map& m) {
    uint64_t off = le::u16(rec, file_header::first_attribute);
    const uint64_t number = record_number(rec, read_as);
    while (le::fits(rec, off, 8)) {
        const uint32_t type = le::u32(rec, off);
        const uint32_t len = le::u32(rec, off + attr_header::length);
        if (type == attr_end || len == 0 || !le::fits(rec, off, len)) break;
        const le::bytes a = le::sub(rec, off, len);
        if (type == attr_file_name && !le::u8(a, attr_header::non_resident) && le::u32(a, attr_header::value_length)) {
            const le::bytes v = resident_value(a);
            const uint8_t nlen = le::u8(v, 0x40);
            const uint8_t ns = le::u8(v, 0x41);
            const uint64_t parent = le::u64(v, 0) & entry_number_mask;
            const bool ns_ok = include_dos || ns == namespace_posix || (ns & 1);
            if (nlen != 0 && (filter == any_parent || filter == parent) && ns_ok && v.size() >= 66u + 2u * nlen) {
                entry_name n;
                n.name = read_utf16(v, 66, nlen);
                n.parent_ref = le::u64(v, 0);
                std::memcpy(n.head.data(), v.data(), std::min<size_t>(v.size(), n.head.size()));
                n.name_space = ns;
                n.attr_id = le::u16(a, attr_header::id);
                n.record_number = number;
                n.key_parent = parent;
                n.key_record = number;
                m.emplace(std::move(n));
            }
        }
        // The next $FILE_NAME is looked for within one record's bytes.
        if (len >= bound) break;
        off += len;
        if (le::u32(rec, off) == attr_end) break;
    }
}

}  // namespace

std::u16string_view listed_name(const entry_name_map& m) {
    if (m.size() == 1) return m.begin()->name;
    for (const entry_name& n : m)
        if (n.name_space != namespace_dos) return n.name;
    return {};
}

bool collect_entry_names(ntfs_volume& v, uint64_t e, le::bytes r, bool include_dos, uint64_t filter,
                         entry_name_map& m) {
    m.clear();
    const uint32_t rs = working_record_size(v);
    // The first attribute list of the record, if any.
    le::bytes list_attr;
    uint64_t off = le::u16(r, file_header::first_attribute);
    while (le::fits(r, off, 8)) {
        const uint32_t type = le::u32(r, off);
        const uint32_t len = le::u32(r, off + attr_header::length);
        if (type == attr_end || len == 0 || len > rs || !le::fits(r, off, len)) break;
        if (type == attr_attribute_list) {
            list_attr = le::sub(r, off, len);
            break;
        }
        off += len;
    }
    if (!list_attr.empty()) {
        std::vector<uint8_t> list;
        if (v.source) attribute_list_bytes(v, list_attr, list);
        const le::bytes lb(list);
        int64_t remaining = static_cast<int64_t>(lb.size());
        uint64_t pos = 0;
        std::set<uint64_t> done;  // each extension record's names are taken once
        std::vector<uint8_t> ext;
        while (remaining > 0 && le::fits(lb, pos, 26)) {
            const uint16_t len = le::u16(lb, pos + 4);
            if (len == 0) break;
            const uint64_t other = le::u64(lb, pos + 16) & entry_number_mask;
            if (other != e && !done.count(other) && read_file_record(v, other, ext) && extends_entry(ext, e)) {
                const le::bytes eb(ext);
                const uint32_t type = le::u32(lb, pos);
                const uint16_t id = le::u16(lb, pos + 24);
                uint64_t ao = le::u16(eb, file_header::first_attribute);
                while (le::fits(eb, ao, 16)) {
                    const uint32_t at = le::u32(eb, ao);
                    const uint32_t alen = le::u32(eb, ao + attr_header::length);
                    if (at == attr_end || alen == 0 || alen >= rs) break;
                    if (at == type && le::u16(eb, ao + attr_header::id) == id) {
                        name_pass(eb, other, rs, include_dos, filter, m);
                        done.insert(other);
                        break;
                    }
                    ao += alen;
                }
            }
            pos += len;
            remaining -= len;
        }
    }
    name_pass(r, e, rs, include_dos, filter, m);
    return !m.empty();
}

namespace {

struct climb {
    ntfs_volume& v;
    std::vector<std::u16string>& paths;
    // The names on the way up, the entry's own first, shared by every level
    // of the climb: one copy per level would cost depth^2 strings.
    std::vector<std::u16string> names;
    std::set<uint64_t> on_chain;  // entries on the way up, to end cycles
    // Entries whose climb reached the root by no way: climbing them again
    // from another child cannot do better, and without this a lattice of
    // entries naming several parents each is climbed once per way through it.
    std::set<uint64_t> dead_ends;
    size_t steps = 0;
    std::vector<uint64_t>* parents = nullptr;  // one for each path, when asked for
    uint64_t first_parent = 0;                  // the parent of the entry's own name on this way
};

bool climb_paths(climb& c, uint64_t a) {
    if (c.paths.size() >= max_entry_paths || c.on_chain.size() >= max_path_depth) return false;
    if (++c.steps > max_climb_steps || c.dead_ends.count(a)) return false;
    const size_t found_before = c.paths.size();
    std::vector<uint8_t> rec;
    if (!read_file_record(c.v, a, rec)) return false;
    entry_name_map m;
    if (!collect_entry_names(c.v, a, rec, false, any_parent, m)) return false;
    c.on_chain.insert(a);
    for (const entry_name& n : m) {
        if (c.paths.size() >= max_entry_paths) break;
        c.names.push_back(n.name);
        const uint64_t parent = n.parent_ref & entry_number_mask;
        if (c.on_chain.size() == 1) c.first_parent = parent;
        if (parent == 5) {
            std::u16string t;
            for (auto it = c.names.rbegin(); it != c.names.rend(); ++it) {
                if (*it == u".") continue;
                t += *it;
                t.push_back(u'\\');
            }
            c.paths.push_back(std::move(t));
            if (c.parents) c.parents->push_back(c.first_parent);
        } else if (!c.on_chain.count(parent)) {
            climb_paths(c, parent);
        }
        // A parent already on the way up is a cycle: that branch has no path.
        c.names.pop_back();
    }
    c.on_chain.erase(a);
    if (c.paths.size() == found_before) c.dead_ends.insert(a);
    return true;
}

}  // namespace

bool collect_entry_paths(ntfs_volume& v, uint64_t a, const std::vector<std::u16string>& partial,
                         std::vector<std::u16string>& paths, std::vector<uint64_t>* parents) {
    climb c{v, paths, partial, {}, {}, 0, parents, 0};
    if (parents) parents->clear();
    return climb_paths(c, a);
}

bool open_source_volume(const volume_source& s, std::unique_ptr<ntfs_volume>& out) {
    if (!s.vmdk.empty()) return open_vmdk_volume(s.vmdk, s.offset, out);
    if (s.drive != -1) return open_drive_volume(s.drive, s.offset, out);
    if (!s.image.empty()) return open_volume_by_path(s.image, s.offset, out);
    const bool device = s.volume_path.size() >= 2 && s.volume_path[0] == u'\\' && s.volume_path[1] == u'\\';
    return open_live_volume(s.volume_path, device ? source_device_path : source_live_volume, out);
}

bool entry_to_paths(const volume_source& s, const std::u16string& prefix, uint64_t e, std::vector<std::u16string>& out,
                    std::vector<uint64_t>* parents) {
    out.clear();
    if (parents) parents->clear();
    std::unique_ptr<ntfs_volume> v;
    if (!open_source_volume(s, v)) return false;
    std::vector<std::u16string> texts;
    if (!collect_entry_paths(*v, e, {}, texts, parents)) return false;
    for (auto t : texts) {
        if (t.find_first_not_of(u'\\') != std::u16string::npos)
            while (!t.empty() && t.back() == u'\\') t.pop_back();
        out.push_back((prefix.empty() ? std::u16string(u"\\") : prefix) + t);
    }
    return true;
}

bool entry_is_directory(const volume_source& s, uint64_t e) {
    std::unique_ptr<ntfs_volume> v;
    if (!open_source_volume(s, v)) return false;
    std::vector<uint8_t> rec;
    return read_file_record(*v, e, rec) && (le::u16(rec, file_header::flags) & record_is_directory);
}
