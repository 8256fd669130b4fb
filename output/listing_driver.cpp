#include "output/listing_driver.hpp"
#include "cli/filter.hpp"
#include "ntfs/attr_desc.hpp"
#include "ntfs/attribute_header.hpp"
#include "ntfs/attributes.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/index.hpp"
#include "ntfs/names.hpp"
#include "output/writers.hpp"
#include "platform/platform.hpp"
#include "platform/unicode.hpp"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <set>

namespace {

row_name to_row_name(const entry_name& n) {
    row_name r;
    const le::bytes h(n.head.data(), n.head.size());
    r.parent_ref = le::u64(h, 0);
    if (n.name_space < 5) {
        r.name_created = le::u64(h, 8);
        r.name_modified = le::u64(h, 16);
        r.name_mft_changed = le::u64(h, 24);
        r.name_accessed = le::u64(h, 32);
        r.name_alloc_size = le::u64(h, 40);
        r.name_data_size = le::u64(h, 48);
        r.name_attributes = le::u32(h, 56);
        r.name_reparse = le::u32(h, 60);
        r.name_length = le::u8(h, 64);
        r.name_space = le::u8(h, 65);
        r.first_char = le::u16(h, 66);
    } else {
        r.parent_ref = 0;
    }
    r.name = n.name;
    r.dos_only = n.name_space == namespace_dos ? 1 : 0;
    r.attr_id = n.attr_id;
    r.record_number = n.record_number;
    return r;
}

// The name an entry is listed under in a directory: its only name, else
// the first that is not a DOS-only name (empty when all are).
std::u16string_view choose_name(const entry_name_map& m) {
    if (m.size() == 1) return m.begin()->second.name;
    for (const auto& [key, n] : m)
        if (n.name_space != namespace_dos) return n.name;
    return {};
}

// The first attribute of `type` in the record, bounded by `limit` bytes.
le::bytes find_attribute(le::bytes rec, uint32_t type, uint32_t limit) {
    uint64_t off = le::u16(rec, file_header::first_attribute);
    while (le::fits(rec, off, 8) && off < limit) {
        const uint32_t t = le::u32(rec, off);
        const uint32_t len = le::u32(rec, off + attr_header::length);
        if (t == attr_end || len == 0 || !le::fits(rec, off, len)) break;
        if (t == type) return le::sub(rec, off, len);
        off += len;
    }
    return {};
}

// A folder's own index: its $INDEX_ROOT named $I30, else its first
// $INDEX_ROOT; none when the record holds no index root.
const attr_desc* folder_index_root(const std::vector<attr_desc>& items) {
    const attr_desc* first = nullptr;
    for (const attr_desc& d : items) {
        if (d.type != attr_index_root) continue;
        if (d.name == "$I30") return &d;
        if (!first) first = &d;
    }
    return first;
}

// The sort key of a child: the directory's lower-cased path, '\\' and the
// lower-cased name, made in one piece.
std::u16string child_key(const std::u16string& lower_dir, std::u16string_view name) {
    std::u16string s;
    s.reserve(lower_dir.size() + 1 + name.size());
    s += lower_dir;
    s.push_back(u'\\');
    for (char16_t c : name) {
        // ASCII, by far the most common, lowered in place; the rest by the table.
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        else if (c >= 0x80) c = uni::wide_lower(c);
        s.push_back(c);
    }
    return s;
}

// Rows as they are made, in that order, before they join the ordered set.
using row_batch = std::vector<listing_row>;

// Moves the batch into `rows`: the order and the placing of equal keys are
// those of inserting the rows one by one, but the batch is sorted first,
// which costs far less than as many walks down the set.
void merge_rows(row_batch& batch, listing_rows& rows) {
    // The keys share the directory's path: what every key has in common
    // with the first decides no comparison and is left out of them.
    size_t shared = batch.empty() ? 0 : batch.front().sort_key.size();
    for (const listing_row& r : batch) {
        const std::u16string& a = batch.front().sort_key;
        const size_t n = std::min(shared, r.sort_key.size());
        const auto end = a.begin() + static_cast<std::ptrdiff_t>(n);
        shared = static_cast<size_t>(std::mismatch(a.begin(), end, r.sort_key.begin()).first - a.begin());
    }
    struct keyed {
        std::u16string_view rest;  // the key after the shared part
        size_t index;
    };
    std::vector<keyed> order;
    order.reserve(batch.size());
    for (size_t i = 0; i < batch.size(); ++i)
        order.push_back({std::u16string_view(batch[i].sort_key).substr(shared), i});
    std::stable_sort(order.begin(), order.end(),
                     [](const keyed& a, const keyed& b) { return sort_key_less(a.rest, b.rest); });
    // Into an empty set every row goes last, after the equal keys before it.
    const bool append = rows.empty();
    for (const auto& [rest, i] : order) {
        if (append) rows.insert(rows.end(), std::move(batch[i]));
        else rows.insert(std::move(batch[i]));
    }
    batch.clear();
}

// `lower_path` is `path` lower-cased, made once for all of a directory's
// entries.
bool stage_entry_rows(ntfs_volume& v, le::bytes rec, uint64_t entry, uint64_t parent, const std::u16string& path,
                      const std::u16string& lower_path, row_batch& rows, bool show_indx, bool is_child,
                      brelvik_opts& opts) {
    if (!v.source) return false;
    entry_name_map names;
    if (!collect_entry_names(v, entry, rec, true, parent, names)) return true;
    listing_row row;
    for (const auto& [key, n] : names) row.names.push_back(to_row_name(n));
    const std::u16string chosen(choose_name(names));

    const le::bytes si_attr = find_attribute(rec, attr_standard_information, working_record_size(v));
    const le::bytes si = resident_value(si_attr);
    if (si.empty()) return true;
    row.attr_type = attr_standard_information;
    row.attr_id = le::u16(si_attr, attr_header::id);
    row.si_created = le::u64(si, 0);
    row.si_modified = le::u64(si, 8);
    row.si_mft_changed = le::u64(si, 16);
    row.si_accessed = le::u64(si, 24);
    row.si_attributes = le::u32(si, 32);
    row.seq = le::u16(rec, file_header::sequence);
    row.record_flags = le::u16(rec, file_header::flags);
    row.entry = entry;
    row.parent_entry = parent;
    row.dir_path = path;
    row.display_name = chosen;

    std::vector<attr_desc> items;
    if (!collect_listing_attrs(v, entry, rec, items)) return true;
    uint8_t object_id[16] = {};
    for (const auto& d : items) {
        if (d.type == attr_reparse_point && !d.text.empty()) {
            row.link_target = uni::to_utf16(d.text);
            break;
        }
        // The object ID is the first 16 bytes of the value: the GUID, also
        // when birth IDs follow it.
        if (d.type == attr_object_id && d.value.size() >= 16) std::memcpy(object_id, d.value.data(), 16);
    }

    const bool directory = (row.record_flags & record_flag_directory) != 0;
    // Lower-casing goes unit by unit, so the key of "path\name" is the
    // lower-cased path, '\' and the lower-cased name, and that of
    // "full:stream" this key, ':' and the lower-cased stream name.
    const std::u16string base_key = directory && !is_child ? lower_path : child_key(lower_path, chosen);
    bool main_row = false;
    if (directory) {
        row.kind = row_kind_directory;
        row.size = 0;
        row.sort_key = base_key;
        if (const attr_desc* root = folder_index_root(items)) {
            row.attr_type = attr_index_root;
            row.attr_id = root->attr_id;
            row.attr_size = root->value_length;
        }
        std::memcpy(row.object_id, object_id, 16);
        rows.push_back(row);
        std::memset(object_id, 0, 16);
        main_row = true;
    } else {
        row.kind = row_kind_file;
        platform::live_file_info times;
        times.created = row.si_created;
        times.modified = row.si_modified;
        times.time_kind = 1;
        if (!filter_accepts(opts, base_key, &times)) return true;
    }

    // The last row made from the items takes `row` itself when no row of
    // its own follows them; the others copy it.
    size_t last_item_row = items.size();
    bool row_taken = directory;
    for (size_t i = 0; i < items.size(); ++i) {
        const attr_desc& d = items[i];
        if (d.type == attr_data) {
            last_item_row = i;
            if (d.name.empty()) row_taken = true;
        } else if (d.type == attr_index_allocation && show_indx && !d.name.empty()) {
            last_item_row = i;
        }
    }
    for (size_t i = 0; i < items.size(); ++i) {
        const attr_desc& d = items[i];
        const uint64_t size = d.non_resident ? d.allocated_size : d.value_length;
        listing_row r;
        if (d.type == attr_data || (d.type == attr_index_allocation && show_indx && !d.name.empty())) {
            if (row_taken && i == last_item_row) r = std::move(row);
            else r = row;
            r.attr_type = d.type;
            r.attr_id = d.attr_id;
            r.attr_size = d.non_resident ? d.real_size : d.value_length;
        }
        if (d.type == attr_data) {
            r.size = size;
            if (!d.name.empty()) {
                const std::u16string stream = uni::to_utf16(d.name);
                r.display_name = chosen + u":" + stream;
                r.kind = row_kind_data_stream;
                r.sort_key = base_key + u":" + uni::wide_lower(stream);
                std::memset(r.object_id, 0, 16);
            } else {
                r.display_name = directory ? chosen + u"<dir data entry>" : chosen;
                r.sort_key = base_key;
                std::memcpy(r.object_id, object_id, 16);
                std::memset(object_id, 0, 16);
                main_row = true;
            }
            rows.push_back(std::move(r));
        } else if (d.type == attr_index_allocation && show_indx && !d.name.empty()) {
            const std::u16string stream = uni::to_utf16(d.name);
            r.size = size;
            r.display_name = chosen == u"." ? stream : chosen + u":" + stream;
            r.kind = row_kind_index_stream;
            r.sort_key = base_key + u":" + uni::wide_lower(stream);
            std::memset(r.object_id, 0, 16);
            rows.push_back(std::move(r));
        }
    }
    if (!main_row) {
        row.kind = row_kind_file;
        row.size = 0;
        row.sort_key = base_key;
        std::memcpy(row.object_id, object_id, 16);
        rows.push_back(std::move(row));
    }
    return true;
}

}  // namespace

bool add_entry_rows(ntfs_volume& v, le::bytes rec, uint64_t entry, uint64_t parent, const std::u16string& path,
                    listing_rows& rows, bool show_indx, bool is_child, brelvik_opts& opts) {
    row_batch batch;
    const bool result =
        stage_entry_rows(v, rec, entry, parent, path, uni::wide_lower(path), batch, show_indx, is_child, opts);
    merge_rows(batch, rows);
    return result;
}

bool collect_subdirectory(ntfs_volume& v, const std::u16string& path, uint64_t entry, listing_rows& rows, bool show_indx,
                          brelvik_opts& opts, listing_progress* progress) {
    std::vector<uint8_t> rec;
    if (!read_file_record(v, entry, rec)) return false;
    entry_name_map names;
    row_batch batch;
    const std::u16string lower_path = uni::wide_lower(path);
    bool result = collect_entry_names(v, entry, rec, false, any_parent, names);
    for (const auto& [key, n] : names)
        result = stage_entry_rows(v, rec, entry, n.parent_ref & entry_number_mask, path, lower_path, batch, show_indx,
                                  false, opts);
    child_entry_set children;
    if (!collect_directory_children(v, entry, children)) {
        merge_rows(batch, rows);
        return result;
    }
    prefetch_records(v, children);
    std::vector<uint8_t> crec;
    batch.reserve(batch.size() + children.size());  // a row or more per child
    for (const auto& [c, flag] : children) {
        if (c == entry || !read_file_record(v, c, crec)) continue;
        if (progress) count_entry(*progress, path);
        if (!stage_entry_rows(v, crec, c, entry, path, lower_path, batch, show_indx, true, opts)) break;
    }
    merge_rows(batch, rows);
    return true;
}

namespace {

// The directories being written, from the start down, and every
// directory written or tried so far. A directory has one parent, so one
// met again is damage: an index naming its own ancestor, or several
// directories naming the same child, which would otherwise be descended
// once per way of reaching it.
struct walk_state {
    std::vector<uint64_t> chain;
    std::set<uint64_t> visited;
    listing_progress* progress = nullptr;
};

bool write_level(brelvik_opts& opts, ntfs_volume& v, const std::u16string& path, uint64_t entry, int32_t levels,
                 walk_state& w) {
    if (!opts.out || opts.rows.empty()) return false;
    if (levels == 0) return true;
    opts.last_level = levels == 1 ? 1 : 0;
    listing_rows queue;
    std::ostream& out = *opts.out;
    // The timeline layouts come first: -alldates also sets the CSV flag.
    if (opts.bodyfile) {
        write_bodyfile(out, queue, opts, path, entry);
    } else if (opts.csvl2t) {
        write_csv_l2t(out, queue, opts, path, entry);
    } else if (opts.csv) {
        write_csv(out, queue, opts, path, entry);
    } else if (opts.xml) {
        write_xml(out, queue, opts, path, entry);
    } else if (opts.path_only) {
        opts.header_pending = 0;
        write_path_list(out, queue, opts, path, entry);
    } else {
        write_text_table(out, queue, opts, path, entry, opts.show_objid != 0);
    }
    out.flush();
    if (w.chain.size() >= max_listing_depth) return true;
    w.chain.push_back(entry);
    child_entry_set subdirectories;
    for (const listing_row& r : queue)
        if (r.kind == row_kind_directory) subdirectories.emplace(r.entry, 0);
    prefetch_records(v, subdirectories);
    for (const listing_row& r : queue) {
        if (r.kind != row_kind_directory) continue;
        if (!w.visited.insert(r.entry).second) continue;
        opts.rows.clear();
        if (collect_subdirectory(v, r.dir_path, r.entry, opts.rows, opts.show_indx != 0, opts, w.progress) &&
            !opts.rows.empty())
            write_level(opts, v, r.dir_path, r.entry, levels - 1, w);
    }
    w.chain.pop_back();
    return true;
}

}  // namespace

bool write_directory(brelvik_opts& opts, ntfs_volume& v, const std::u16string& path, uint64_t entry, int32_t levels,
                     listing_progress* progress) {
    walk_state w;
    w.visited.insert(entry);
    w.progress = progress;
    return write_level(opts, v, path, entry, levels, w);
}

namespace {

// The progress line is for someone watching a terminal that the listing
// itself is not being written to.
bool progress_wanted(const brelvik_opts& opts) {
    if (opts.progress == 0 || !platform::stderr_is_terminal()) return false;
    return !(opts.out == &std::cout && platform::stdout_is_terminal());
}

}  // namespace

bool list_directory(brelvik_opts& opts, ntfs_volume& v) {
    std::u16string path = opts.list_path;
    std::u16string wanted_stream;
    const size_t colon = path.rfind(u':');
    if (colon != std::u16string::npos && colon >= 4 && colon + 1 < path.size()) {
        wanted_stream = path.substr(colon + 1);
        opts.show_indx = 1;
    }
    std::vector<uint8_t> rec;
    if (!read_file_record(v, opts.start_entry, rec)) return false;
    listing_progress progress;
    begin_progress(progress, progress_wanted(opts));
    entry_name_map names;
    if (collect_entry_names(v, opts.start_entry, rec, false, any_parent, names)) {
        if (!(le::u16(rec, file_header::flags) & record_is_directory)) {
            size_t cut = opts.list_path.rfind(u'\\');
            if (cut == std::u16string::npos) cut = opts.list_path.rfind(u'/');
            if (cut != std::u16string::npos) opts.list_path.resize(cut);
        }
        // The directory the path named holds the entry; without it, the
        // parent of the entry's first name.
        uint64_t parent = names.begin()->second.parent_ref & entry_number_mask;
        for (const auto& [key, n] : names)
            if ((n.parent_ref & entry_number_mask) == opts.start_parent) parent = opts.start_parent;
        add_entry_rows(v, rec, opts.start_entry, parent, opts.list_path, opts.rows, opts.show_indx != 0, false, opts);
    }
    if (!wanted_stream.empty()) {
        const std::u16string want = uni::wide_lower(wanted_stream);
        for (const listing_row& r : opts.rows) {
            const size_t c = r.display_name.rfind(u':');
            const std::u16string tail = c == std::u16string::npos ? r.display_name : r.display_name.substr(c + 1);
            if (uni::wide_lower(tail) == want) {
                listing_row keep = r;
                opts.rows.clear();
                opts.rows.insert(std::move(keep));
                const size_t lc = opts.list_path.rfind(u':');
                if (lc != std::u16string::npos && lc >= 4 && lc + 1 < opts.list_path.size()) opts.list_path.resize(lc);
                break;
            }
        }
    } else {
        child_entry_set children;
        collect_directory_children(v, opts.start_entry, children);
        prefetch_records(v, children);
        std::vector<uint8_t> crec;
        row_batch batch;
        const std::u16string lower_path = uni::wide_lower(opts.list_path);
        for (const auto& [c, flag] : children) {
            if (c == opts.start_entry || !read_file_record(v, c, crec)) continue;
            count_entry(progress, opts.list_path);
            if (!stage_entry_rows(v, crec, c, opts.start_entry, opts.list_path, lower_path, batch,
                                  opts.show_indx != 0, true, opts))
                break;
        }
        merge_rows(batch, opts.rows);
    }
    if (opts.rows.empty()) {
        end_progress(progress);
        // The timeline layouts hold their own lines only.
        if (opts.bodyfile || opts.csvl2t) std::cerr << "no items\n\n";
        else if (opts.out) *opts.out << "no items\n\n";
        return true;
    }
    if (opts.xml && opts.out) write_xml_head(*opts.out, opts, opts.rows.begin()->dir_path);
    write_directory(opts, v, opts.list_path, opts.start_entry, opts.levels, &progress);
    end_progress(progress);
    if (opts.xml && opts.out) write_xml_tail(*opts.out);
    return true;
}
