#include "output/listing_driver.hpp"
#include "cli/filter.hpp"
#include "ntfs/attr_desc.hpp"
#include "ntfs/attribute_header.hpp"
#include "ntfs/attributes.hpp"
#include "ntfs/deleted.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/index.hpp"
#include "ntfs/names.hpp"
#include "ntfs/names_utf16.hpp"
#include "ntfs/record_window.hpp"
#include "output/writers.hpp"
#include "platform/platform.hpp"
#include "platform/unicode.hpp"
#include "storage/damage.hpp"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <set>

deleted_map& volume_deleted_map(ntfs_volume& v, brelvik_opts& opts) {
    if (!opts.deleted) {
        opts.deleted = std::make_shared<deleted_map>();
        build_deleted_map(v, *opts.deleted);
    }
    return *opts.deleted;
}

namespace {

row_name to_row_name(entry_name&& n) {
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
    r.name = std::move(n.name);
    r.dos_only = n.name_space == namespace_dos ? 1 : 0;
    r.attr_id = n.attr_id;
    r.record_number = n.record_number;
    return r;
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

// True when the record of a file with more than one link has a name in a
// folder other than `dir`: that folder lists it too, later.
bool names_another_folder(le::bytes rec, uint64_t dir) {
    if (le::u16(rec, file_header::link_count) < 2 || (le::u16(rec, file_header::flags) & record_is_directory))
        return false;
    uint64_t off = le::u16(rec, file_header::first_attribute);
    while (le::fits(rec, off, 8)) {
        const uint32_t t = le::u32(rec, off);
        const uint32_t len = le::u32(rec, off + attr_header::length);
        if (t == attr_end || len == 0 || !le::fits(rec, off, len)) break;
        if (t == attr_file_name) {
            const le::bytes value = resident_value(le::sub(rec, off, len));
            if (value.size() >= 8 && (le::u64(value, 0) & entry_number_mask) != dir) return true;
        }
        off += len;
    }
    return false;
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

// True when the entry filters accept the file of `row` whose sort key
// `key()` gives, in the directory of lower-cased path `lower_path`, by its
// name and its creation and modification times. The key and the full path
// are made only for filters that read them.
template <class Key>
bool file_accepted(const brelvik_opts& opts, const std::u16string& lower_path, Key&& key, const listing_row& row) {
    if (filter_accepts_all(opts)) return true;
    platform::live_file_info times;
    times.created = row.si_created;
    times.modified = row.si_modified;
    times.time_kind = 1;
    return filter_accepts(opts, lower_path + key(), &times);
}

// The sort key of a child: '\\' and the lower-cased name, made in one
// piece. Every key of a listing stands after the listed directory's
// lower-cased path, which they all share and so leave out: a directory's
// own rows have the empty key.
std::u16string child_key(std::u16string_view name) {
    std::u16string s(1 + name.size(), u'\\');
    lower_key_units(name.data(), name.size(), s.data() + 1);
    return s;
}

// Rows as they are made, in that order, before they join the ordered set,
// with the room an entry's names and items are read into, kept from entry
// to entry. The walk keeps one from directory to directory: what it holds
// is emptied after each, its room is not.
struct row_batch {
    child_entry_set children;  // of the folder being read
    std::vector<listing_row> rows;
    entry_name_map names;
    std::vector<attr_desc> items;
    std::vector<uint64_t> entries;  // the children of the folder being read
    std::vector<listing_row> sorted;
    row_sort_room sort_room;
    // Why the last entry staged gave no rows although it names its folder:
    // nullptr when it gave them, or when nothing was wrong with it.
    const char* unlisted_why = nullptr;
};

// Moves the batch into `rows`: the order and the placing of equal keys are
// those of inserting the rows one by one, but the batch is sorted first and
// joins the rows held in one merge.
void merge_rows(row_batch& made, listing_rows& rows) {
    sorted_by_key(made.rows, made.sorted, made.sort_room);
    rows.merge_sorted(made.sorted);
}

// True when the rows are written in a layout that reads the names of a
// row (`listing_row::names`): the body file, and every layout with
// -alldates.
bool rows_show_names(const brelvik_opts& opts) { return opts.bodyfile || opts.all_dates; }

// The name of `names` that a path naming the entry by `typed` meant: the
// one spelled so, else the one equal to it but for case; `listed` (the
// name the listing shows) when that is such a name or none is. DOS names
// are left out: a path through the 8.3 name shows the long one, as before.
std::u16string_view named_link(const entry_name_map& names, std::u16string_view listed, const std::u16string& typed) {
    if (listed == typed) return listed;
    for (const entry_name& n : names)
        if (n.name_space != namespace_dos && n.name == typed) return n.name;
    const std::u16string lower = uni::wide_lower(typed);
    if (uni::wide_lower(listed) == lower) return listed;
    for (const entry_name& n : names)
        if (n.name_space != namespace_dos && uni::wide_lower(n.name) == lower) return n.name;
    return listed;
}

// `lower_path` is `path` lower-cased, made once for all of a directory's
// entries.
bool stage_entry_rows(ntfs_volume& v, le::bytes rec, uint64_t entry, uint64_t parent, const std::u16string& path,
                      const std::u16string& lower_path, row_batch& batch, bool show_indx, bool is_child,
                      brelvik_opts& opts) {
    if (!v.source) return false;
    batch.unlisted_why = nullptr;
    entry_name_map& names = batch.names;
    if (!collect_entry_names(v, entry, rec, true, parent, names)) return true;
    listing_row row;
    // The names are not needed after this: each is moved into the row,
    // where only the layouts that show every name's times read them; in
    // the others the chosen name's own string is taken.
    std::u16string_view listed = listed_name(names);
    if (!is_child && !opts.start_name.empty()) listed = named_link(names, listed, opts.start_name);
    std::u16string chosen_text;
    if (rows_show_names(opts)) {
        chosen_text = listed;
        row.names.reserve(names.size());
        for (entry_name& n : names) row.names.push_back(to_row_name(std::move(n)));
    } else {
        bool taken = false;
        for (entry_name& n : names)
            if (!listed.empty() && n.name.data() == listed.data() && n.name.size() == listed.size()) {
                chosen_text = std::move(n.name);
                taken = true;
                break;
            }
        if (!taken) chosen_text = listed;
    }
    const std::u16string& chosen = chosen_text;

    const le::bytes si_attr = find_attribute(rec, attr_standard_information, working_record_size(v));
    const le::bytes si = resident_value(si_attr);
    if (si.empty()) {
        batch.unlisted_why = "has no readable $STANDARD_INFORMATION";
        return true;
    }
    row.attr_type = attr_standard_information;
    row.attr_id = le::u16(si_attr, attr_header::id);
    row.si_created = le::u64(si, 0);
    row.si_modified = le::u64(si, 8);
    row.si_mft_changed = le::u64(si, 16);
    row.si_accessed = le::u64(si, 24);
    row.si_attributes = le::u32(si, 32);
    row.seq = le::u16(rec, file_header::sequence);
    row.record_flags = le::u16(rec, file_header::flags);
    if (opts.show_deleted && !(row.record_flags & record_flag_in_use)) row.deleted = row_deleted;
    row.entry = entry;
    row.parent_entry = parent;
    // Only a folder's rows (descended into) and the listed entry's own
    // carry the path; a child file's rows are printed under the path the
    // writer is given, and a copy for each would cost an allocation a row.
    if (!is_child || (row.record_flags & record_flag_directory)) row.dir_path = path;
    // The display name is set on each row as it is made below: the chosen
    // name's string goes to the last row that shows it as it is.

    std::vector<attr_desc>& items = batch.items;
    if (!collect_listing_attrs(v, entry, rec, items)) {
        batch.unlisted_why = "has attributes that could not be read";
        return true;
    }
    uint8_t object_id[16] = {};
    for (const auto& d : items) {
        // The first reparse point with a target gives the link target. The
        // items go by attribute id, so an object ID added after the reparse
        // point comes after it and is still read.
        if (d.type == attr_reparse_point && !d.text.empty()) {
            if (row.link_target.empty()) row.link_target = uni::to_utf16_lenient(d.text);
            continue;
        }
        // The object ID is the first 16 bytes of the value: the GUID, also
        // when birth IDs follow it.
        if (d.type == attr_object_id && d.value.size() >= 16) std::memcpy(object_id, d.value.data(), 16);
    }

    const bool directory = (row.record_flags & record_flag_directory) != 0;
    // Lower-casing goes unit by unit, so the key of "path\name" is '\' and
    // the lower-cased name after the shared lower-cased path, and that of
    // "full:stream" this key, ':' and the lower-cased stream name.
    // A directory's own rows have the empty key; a child's main row has
    // '\' and its lower-cased display name, which it leaves to be read from
    // that name (key_from_name). The key string itself is made only for
    // the rows that add to it and for filters that read it.
    const bool child_keyed = !(directory && !is_child);
    std::u16string base_key_text;
    bool base_key_made = !child_keyed;
    const auto base_key = [&]() -> const std::u16string& {
        if (!base_key_made) base_key_text = child_key(chosen);
        base_key_made = true;
        return base_key_text;
    };
    // The key of a row whose display name is the chosen name.
    const auto set_main_key = [child_keyed](listing_row& x) {
        x.sort_key.clear();
        x.key_from_name = child_keyed;
    };
    // A key of its own.
    const auto set_key = [](listing_row& x, std::u16string key) {
        x.sort_key = std::move(key);
        x.key_from_name = false;
    };
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
    bool main_row = false;
    if (directory) {
        row.kind = row_kind_directory;
        row.size = 0;
        if (const attr_desc* root = folder_index_root(items)) {
            row.attr_type = attr_index_root;
            row.attr_id = root->attr_id;
            row.attr_size = root->value_length;
        }
        std::memcpy(row.object_id, object_id, 16);
        row.display_name = chosen;
        set_main_key(row);
        // No item row follows: the folder's row is the only one.
        if (last_item_row == items.size()) batch.rows.push_back(std::move(row));
        else batch.rows.push_back(row);
        std::memset(object_id, 0, 16);
        main_row = true;
    } else {
        row.kind = row_kind_file;
        if (!file_accepted(opts, lower_path, base_key, row)) return true;
    }

    for (size_t i = 0; i < items.size(); ++i) {
        const attr_desc& d = items[i];
        // Only data and shown index streams make rows: the others are
        // passed before a row is made for them.
        if (d.type != attr_data && !(d.type == attr_index_allocation && show_indx && !d.name.empty())) continue;
        const uint64_t size = d.non_resident ? d.allocated_size : d.value_length;
        // Made in its place in the batch: a row is moved as few times as
        // can be. `r` is not used past this item, as the next row made may
        // move the batch.
        listing_row& r =
            row_taken && i == last_item_row ? batch.rows.emplace_back(std::move(row)) : batch.rows.emplace_back(row);
        r.attr_type = d.type;
        r.attr_id = d.attr_id;
        r.attr_size = d.non_resident ? d.real_size : d.value_length;
        if (d.type == attr_data) {
            r.size = size;
            if (!d.name.empty()) {
                const std::u16string stream = uni::to_utf16_lenient(d.name);
                r.display_name = chosen + u":" + stream;
                r.stream_at = static_cast<uint32_t>(chosen.size());
                r.kind = row_kind_data_stream;
                set_key(r, base_key() + u":" + uni::wide_lower(stream));
                std::memset(r.object_id, 0, 16);
            } else {
                // No row after the last one made here shows the chosen name.
                if (directory) {
                    r.display_name = chosen + u"<dir data entry>";
                    set_key(r, base_key());
                } else {
                    if (i == last_item_row) r.display_name = std::move(chosen_text);
                    else r.display_name = chosen;
                    set_main_key(r);
                }
                std::memcpy(r.object_id, object_id, 16);
                std::memset(object_id, 0, 16);
                main_row = true;
            }
        } else if (d.type == attr_index_allocation && show_indx && !d.name.empty()) {
            const std::u16string stream = uni::to_utf16_lenient(d.name);
            r.size = size;
            r.display_name = chosen == u"." ? stream : chosen + u":" + stream;
            r.stream_at = chosen == u"." ? no_stream_colon : static_cast<uint32_t>(chosen.size());
            r.kind = row_kind_index_stream;
            set_key(r, base_key() + u":" + uni::wide_lower(stream));
            std::memset(r.object_id, 0, 16);
        }
    }
    if (!main_row) {
        // A file without unnamed data: no row took `row` or the name.
        row.display_name = std::move(chosen_text);
        row.kind = row_kind_file;
        row.size = 0;
        set_main_key(row);
        std::memcpy(row.object_id, object_id, 16);
        batch.rows.push_back(std::move(row));
    }
    return true;
}

// The row of a name whose record now holds another file: what the name's
// own $FILE_NAME copies say (`names`, the copies of one file reference).
void stage_reused_row(uint64_t file_ref, const entry_name_map& names, uint64_t parent, const std::u16string& path,
                      const std::u16string& lower_path, row_batch& batch, brelvik_opts& opts) {
    const entry_name& first = *names.begin();
    const le::bytes h(first.head.data(), first.head.size());
    listing_row row;
    for (const entry_name& n : names) row.names.push_back(to_row_name(entry_name(n)));
    row.display_name = listed_name(names);
    const bool directory = (le::u32(h, 56) & file_name_directory) != 0;
    row.si_created = le::u64(h, 8);
    row.si_modified = le::u64(h, 16);
    row.si_mft_changed = le::u64(h, 24);
    row.si_accessed = le::u64(h, 32);
    row.si_attributes = le::u32(h, 56);
    row.entry = file_ref & entry_number_mask;
    row.seq = static_cast<uint16_t>(file_ref >> 48);
    row.record_flags = directory ? record_flag_directory : 0;
    row.parent_entry = parent;
    row.dir_path = path;
    row.kind = directory ? row_kind_directory : row_kind_file;
    row.size = directory ? 0 : le::u64(h, 48);
    row.sort_key = child_key(row.display_name);
    row.deleted = row_realloc;
    // All the row shows comes from the $FILE_NAME copy of the index entry.
    row.attr_type = attr_file_name;
    row.attr_size = row.size;
    if (!directory && !file_accepted(opts, lower_path, [&]() -> const std::u16string& { return row.sort_key; }, row))
        return;
    batch.rows.push_back(std::move(row));
}

// What a live child's record header said, by entry number.
struct child_state {
    uint64_t entry = 0;
    uint16_t seq = 0;
    uint16_t flags = 0;
};

// A folder's path as its rows show it, ending in its separator.
std::string shown_folder(const std::u16string& path) { return directory_prefix(uni::to_shown_utf8(path)); }

// A child the index names that has no row, its record unreadable or
// damaged (`why`): the listing says so rather than pass for complete.
void report_unlisted_child(const std::u16string& path, uint64_t entry, const char* why) {
    report_listing_gap(shown_folder(path) + ": entry " + std::to_string(entry) + " named in its index " + why +
                       ", not listed");
}

// The deleted children of directory `dir` that its live index walk did not
// give (`live`): records no longer in use that the MFT pass or the index
// slack places there, each from its own record, and names in the slack
// whose record now holds another file. A slack name whose record is in use
// with the name's sequence number is the live entry and is left out, and so
// is one whose record, no longer in use, is the same file under its last
// names elsewhere.
void stage_deleted_children(ntfs_volume& v, uint64_t dir, const std::u16string& path, const std::u16string& lower_path,
                            const child_entry_set& live, const std::vector<child_state>& live_states,
                            index_slack& slack, row_batch& batch, brelvik_opts& opts, listing_progress* progress) {
    deleted_map& m = volume_deleted_map(v, opts);
    std::set<uint64_t> from_records;
    for (uint64_t e : deleted_children(v, m, dir))
        if (!live.count(e)) from_records.insert(e);
    std::map<uint64_t, entry_name_map> reused;  // file reference -> its copies
    std::vector<uint8_t> rec;
    for (slack_entry& s : slack.entries) {
        const uint64_t e = s.file_ref & entry_number_mask;
        if (e == dir) continue;
        // Most slack entries are copies of live ones that the index walk
        // met already: their record's state is known without reading it.
        const auto known = std::lower_bound(live_states.begin(), live_states.end(), e,
                                            [](const child_state& c, uint64_t x) { return c.entry < x; });
        if (known != live_states.end() && known->entry == e && (known->flags & record_in_use) &&
            known->seq == static_cast<uint16_t>(s.file_ref >> 48))
            continue;
        // A key whose parent reference holds another sequence number than
        // this folder's record (the rule of the MFT pass) was written in an
        // index of an earlier folder in the same record, whose clusters this
        // one took over: the name was never in this folder. Its record, if
        // no longer in use, is an orphan and listed as one.
        if (!link_holds(v, m, deleted_link{dir, e, static_cast<uint16_t>(s.name.parent_ref >> 48)})) continue;
        const bool record_read = read_file_record(v, e, rec);
        // A record that cannot be read at all (past the end of a cut image,
        // a read error) says nothing of what it holds now: its name is not
        // listed as that of a record holding another file, and a line says
        // it is missing, as for a live entry.
        if (!record_read && !record_start_readable(v, e)) {
            report_unlisted_child(path, e, "could not be read");
            continue;
        }
        if (record_read && valid_file_header(rec)) {
            const uint16_t flags = le::u16(rec, file_header::flags);
            if (flags & record_in_use) {
                if (le::u16(rec, file_header::sequence) == static_cast<uint16_t>(s.file_ref >> 48)) continue;
            } else {
                entry_name_map held;
                collect_entry_names(v, e, rec, true, dir, held);
                const bool holds = std::any_of(held.begin(), held.end(),
                                               [&](const entry_name& n) { return n.name == s.name.name; });
                if (holds) {
                    if (!live.count(e)) from_records.insert(e);
                    continue;
                }
                // The same file, moved or renamed before it was deleted:
                // its record names it elsewhere and it is listed there.
                // The name is not one of a record that holds another file.
                entry_name_map own;
                if (freed_record_matches(le::u16(rec, file_header::sequence), static_cast<uint16_t>(s.file_ref >> 48)) &&
                    collect_entry_names(v, e, rec, true, any_parent, own) && !own.empty())
                    continue;
            }
        }
        s.name.key_parent = dir;
        s.name.key_record = e;
        reused[s.file_ref].emplace(std::move(s.name));
    }
    for (uint64_t e : from_records) {
        if (e == dir || !read_file_record(v, e, rec)) continue;
        if (progress) count_entry(*progress, path);
        stage_entry_rows(v, rec, e, dir, path, lower_path, batch, opts.show_indx != 0, true, opts);
    }
    for (const auto& [ref, names] : reused) {
        if (progress) count_entry(*progress, path);
        stage_reused_row(ref, names, dir, path, lower_path, batch, opts);
    }
}

// The rows of the children of directory `dir`: every entry its index
// names, and with -deleted the deleted ones. False when the index could
// not be read.
// `dir_record` is the directory's record when the caller has read it.
// With `keep_folders`, the records of the child folders are kept for their
// own listing (keep_record), which follows while the level count goes on.
bool stage_children(ntfs_volume& v, uint64_t dir, le::bytes dir_record, const std::u16string& path,
                    const std::u16string& lower_path, row_batch& batch, bool show_indx, bool keep_folders,
                    brelvik_opts& opts, listing_progress* progress) {
    child_entry_set& children = batch.children;
    children.clear();
    index_slack slack;
    slack.directory = dir;
    slack.entry_limit = mft_entries_in_use(v);
    index_slack* wanted = opts.show_deleted ? &slack : nullptr;
    const uint64_t gaps_before = v.index_gaps;
    const uint64_t damaged_before = v.damaged_index_nodes;
    const bool read = collect_directory_children(v, dir, dir_record, children, wanted);
    if (v.index_gaps != gaps_before)
        report_listing_gap(shown_folder(path) + ": index blocks could not be read, the entries in them are not listed");
    if (v.damaged_index_nodes != damaged_before)
        report_listing_gap(shown_folder(path) + ": index entries are damaged, the entries after them are not listed");
    prefetch_records(v, children);
    std::vector<uint64_t>& entries = batch.entries;
    entries.clear();
    entries.reserve(children.size());
    for (const auto& [c, flag] : children) entries.push_back(c);
    record_window* const window = children_window(v);
    std::vector<uint8_t> crec;
    std::vector<child_state> states;  // with -deleted: what each child's record said
    batch.rows.reserve(batch.rows.size() + children.size());  // a row or more per child
    for (size_t i = 0; i < entries.size(); ++i) {
        const uint64_t c = entries[i];
        if (c == dir) continue;
        le::bytes rec;
        if (take_kept_record(v, c, crec)) {
            rec = crec;
        } else {
            const window_read got = window ? window_record(v, *window, entries, i, rec) : window_read::not_held;
            if (got == window_read::unreadable || (got == window_read::not_held && !read_file_record(v, c, crec))) {
                report_unlisted_child(path, c, "could not be read");
                continue;
            }
            if (got == window_read::not_held) rec = crec;
            // A folder's record is read again when the folder is listed,
            // by then long out of every cache.
            if (names_another_folder(rec, dir) ||
                (keep_folders && (le::u16(rec, file_header::flags) & record_is_directory)))
                keep_record(v, c, rec);
        }
        if (progress) count_entry(*progress, path);
        if (wanted) states.push_back({c, le::u16(rec, file_header::sequence), le::u16(rec, file_header::flags)});
        if (!stage_entry_rows(v, rec, c, dir, path, lower_path, batch, show_indx, true, opts)) break;
        if (batch.unlisted_why) report_unlisted_child(path, c, batch.unlisted_why);
    }
    if (wanted) stage_deleted_children(v, dir, path, lower_path, children, states, slack, batch, opts, progress);
    return read;
}

// The virtual folder of the orphans, as a row of `path`: a child row of the
// root, or (`own`) the folder's own row when it is being listed.
listing_row orphan_folder_row(const ntfs_volume& v, const std::u16string& path, bool own) {
    listing_row row;
    row.dir_path = path;
    row.kind = row_kind_directory;
    row.entry = orphan_folder_entry(v);
    row.record_flags = record_flag_directory;
    row.parent_entry = 5;
    row.display_name = std::u16string(orphan_folder_name);
    row.sort_key = own ? std::u16string() : child_key(row.display_name);
    row.deleted = row_virtual;
    return row;
}

// The orphan folder's listing: its own row, then each orphan under the
// name it has in the folder its chain stopped at.
void stage_orphans(ntfs_volume& v, const std::u16string& path, row_batch& batch, brelvik_opts& opts,
                   listing_progress* progress) {
    const std::u16string lower_path = uni::wide_lower(path);
    batch.rows.push_back(orphan_folder_row(v, path, true));
    deleted_map& m = volume_deleted_map(v, opts);
    classify_deleted(v, m);
    std::vector<uint8_t> rec;
    for (const deleted_record& r : m.records) {
        if (r.place != deleted_place::orphan || !read_file_record(v, r.entry, rec)) continue;
        if (progress) count_entry(*progress, path);
        stage_entry_rows(v, rec, r.entry, r.parent, path, lower_path, batch, opts.show_indx != 0, true, opts);
    }
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

namespace {

// collect_subdirectory with the batch the walk keeps.
bool collect_subdirectory_in(ntfs_volume& v, const std::u16string& path, uint64_t entry, listing_rows& rows,
                             bool show_indx, brelvik_opts& opts, listing_progress* progress, bool keep_folders,
                             row_batch& batch) {
    if (opts.show_deleted && entry == orphan_folder_entry(v)) {
        stage_orphans(v, path, batch, opts, progress);
        merge_rows(batch, rows);
        return true;
    }
    std::vector<uint8_t> rec;
    if (!take_kept_record(v, entry, rec) && !read_file_record(v, entry, rec)) return false;
    entry_name_map names;
    const std::u16string lower_path = uni::wide_lower(path);
    bool result = collect_entry_names(v, entry, rec, false, any_parent, names);
    for (const entry_name& n : names)
        result = stage_entry_rows(v, rec, entry, n.parent_ref & entry_number_mask, path, lower_path, batch, show_indx,
                                  false, opts);
    const bool children_read =
        stage_children(v, entry, rec, path, lower_path, batch, show_indx, keep_folders, opts, progress);
    merge_rows(batch, rows);
    return children_read || result;
}

}  // namespace

bool collect_subdirectory(ntfs_volume& v, const std::u16string& path, uint64_t entry, listing_rows& rows, bool show_indx,
                          brelvik_opts& opts, listing_progress* progress, bool keep_folders) {
    row_batch batch;
    return collect_subdirectory_in(v, path, entry, rows, show_indx, opts, progress, keep_folders, batch);
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
    row_batch batch;  // every directory's, in turn
};

// True when a directory written with `levels` goes on to list its
// subdirectories (write_level: none at 0 or 1 level left; fewer than 0 is
// no limit).
bool descends_below(int32_t levels) { return levels != 0 && levels != 1; }

bool write_level(brelvik_opts& opts, ntfs_volume& v, const std::u16string& path, uint64_t entry, int32_t levels,
                 walk_state& w);

// A subfolder `r` of folder `parent` that the walk has written or tried
// already (an index naming an ancestor, or a second folder naming it):
// its own rows are written under the name it has here, as any folder's
// are, but its entries are not listed again.
void write_folder_met_again(brelvik_opts& opts, ntfs_volume& v, const listing_row& r, uint64_t parent,
                            walk_state& w) {
    std::vector<uint8_t> rec;
    if (!take_kept_record(v, r.entry, rec) && !read_file_record(v, r.entry, rec)) return;
    add_entry_rows(v, rec, r.entry, parent, r.dir_path, opts.rows, opts.show_indx != 0, false, opts);
    if (opts.rows.empty()) return;
    report_listing_gap(shown_folder(r.dir_path) + ": folder entry " + std::to_string(r.entry) +
                       " is listed already at another place, its entries are not listed again");
    write_level(opts, v, r.dir_path, r.entry, 1, w);
}

bool write_level(brelvik_opts& opts, ntfs_volume& v, const std::u16string& path, uint64_t entry, int32_t levels,
                 walk_state& w) {
    if (!opts.out || opts.rows.empty()) return false;
    if (levels == 0) return true;
    // At the depth cap the folder's subfolders are written as rows, as at
    // the last level asked for, but not listed: the listing says so
    // rather than pass for complete.
    // A subfolder the walk would descend into: not the folder itself, nor a
    // name whose record now holds another file.
    const auto subfolder = [entry](const listing_row& r) {
        return r.kind == row_kind_directory && r.entry != entry && r.deleted != row_realloc;
    };
    const bool at_cap = descends_below(levels) && w.chain.size() >= max_listing_depth;
    if (at_cap && std::any_of(opts.rows.begin(), opts.rows.end(), subfolder))
        report_listing_gap(shown_folder(path) + ": subfolders nested deeper than " +
                           std::to_string(max_listing_depth) + " levels, not listed");
    opts.last_level = levels == 1 || at_cap ? 1 : 0;
    // The first subdirectory is listed right after this directory: its
    // index is hinted while this directory's rows are written.
    if (descends_below(levels) && !at_cap && takes_hints(v)) {
        const auto first = std::find_if(opts.rows.begin(), opts.rows.end(), subfolder);
        if (first != opts.rows.end()) prefetch_kept_directory_index(v, first->entry);
    }
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
    // Once the output has failed nothing more reaches it: the walk stops
    // here, and the run flow reports the listing as incomplete.
    if (!out) return true;
    if (at_cap) return true;
    w.chain.push_back(entry);
    child_entry_set subdirectories;
    for (const listing_row& r : queue)
        if (r.kind == row_kind_directory) subdirectories.emplace(r.entry, 0);
    prefetch_records(v, subdirectories);
    // Each subdirectory's index is hinted while the one before it is listed.
    const listing_rows& folders = queue;
    const auto next_folder = [&folders](listing_rows::const_iterator from) {
        return std::find_if(from, folders.end(), [](const listing_row& r) { return r.kind == row_kind_directory; });
    };
    for (auto at = next_folder(folders.begin()); at != folders.end(); at = next_folder(at + 1)) {
        const listing_row& r = *at;
        if (const auto after = next_folder(at + 1); after != folders.end()) prefetch_kept_directory_index(v, after->entry);
        if (!w.visited.insert(r.entry).second) {
            opts.rows.clear();
            if (!out) break;
            write_folder_met_again(opts, v, r, entry, w);
            continue;
        }
        opts.rows.clear();
        if (!out) break;
        if (collect_subdirectory_in(v, r.dir_path, r.entry, opts.rows, opts.show_indx != 0, opts, w.progress,
                                    descends_below(levels - 1), w.batch) &&
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
    const bool written = write_level(opts, v, path, entry, levels, w);
    drop_kept_records(v);
    return written;
}

namespace {

// True when one of the names of `entry` is `name` as stored.
bool entry_has_name(ntfs_volume& v, uint64_t entry, const std::vector<uint8_t>& rec, std::u16string_view name) {
    entry_name_map names;
    if (!collect_entry_names(v, entry, rec, false, any_parent, names)) return false;
    for (const entry_name& n : names)
        if (n.name == name) return true;
    return false;
}

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
    if (!opts.path_shown_only && colon != std::u16string::npos && colon >= 4 && colon + 1 < path.size()) {
        wanted_stream = path.substr(colon + 1);
        if (!opts.host_names) opts.show_indx = 1;
    }
    std::vector<uint8_t> rec;
    if (!read_file_record(v, opts.start_entry, rec)) return false;
    // A host path names streams only where the entry has no name holding
    // the ':' itself (ntfs-3g keeps names such as "x:y").
    if (opts.host_names && !wanted_stream.empty()) {
        if (entry_has_name(v, opts.start_entry, rec, path.substr(path.rfind(u'\\') + 1))) wanted_stream.clear();
        else opts.show_indx = 1;
    }
    listing_progress progress;
    begin_progress(progress, progress_wanted(opts));
    entry_name_map names;
    if (collect_entry_names(v, opts.start_entry, rec, false, any_parent, names)) {
        if (!(le::u16(rec, file_header::flags) & record_is_directory)) {
            size_t cut = opts.list_path.rfind(u'\\');
            if (cut == std::u16string::npos) cut = opts.list_path.rfind(u'/');
            if (cut != std::u16string::npos) {
                // The last name of the path, without the stream it named.
                opts.start_name = opts.list_path.substr(cut + 1);
                if (!wanted_stream.empty() && opts.start_name.size() > wanted_stream.size())
                    opts.start_name.resize(opts.start_name.size() - wanted_stream.size() - 1);
                opts.list_path.resize(cut);
            }
        }
        // The directory the path named holds the entry; without it, the
        // parent of the entry's first name.
        uint64_t parent = names.begin()->parent_ref & entry_number_mask;
        for (const entry_name& n : names)
            if ((n.parent_ref & entry_number_mask) == opts.start_parent) parent = opts.start_parent;
        add_entry_rows(v, rec, opts.start_entry, parent, opts.list_path, opts.rows, opts.show_indx != 0, false, opts);
        opts.start_name.clear();
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
        row_batch batch;
        const std::u16string lower_path = uni::wide_lower(opts.list_path);
        stage_children(v, opts.start_entry, rec, opts.list_path, lower_path, batch, opts.show_indx != 0,
                       descends_below(opts.levels), opts, &progress);
        // The orphans hang below the root when the whole volume is walked.
        if (opts.show_deleted && opts.start_entry == 5 && opts.levels != 1)
            batch.rows.push_back(orphan_folder_row(v, opts.list_path, false));
        merge_rows(batch, opts.rows);
    }
    if (opts.rows.empty()) {
        end_progress(progress);
        // The timeline layouts hold their own lines only.
        if (opts.bodyfile || opts.csvl2t) std::cerr << "no items\n\n";
        else if (opts.out) *opts.out << "no items\n\n";
        return true;
    }
    if (opts.xml && opts.out) {
        const std::u16string& first = opts.rows.begin()->dir_path;
        write_xml_head(*opts.out, opts, first.empty() ? opts.list_path : first);
    }
    write_directory(opts, v, opts.list_path, opts.start_entry, opts.levels, &progress);
    end_progress(progress);
    if (opts.xml && opts.out) write_xml_tail(*opts.out);
    return true;
}
