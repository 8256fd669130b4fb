#include "ntfs/resolve.hpp"
#include "ntfs/attribute_header.hpp"
#include "ntfs/attributes.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/index.hpp"
#include "ntfs/names_utf16.hpp"
#include "ntfs/open_volume.hpp"
#include "platform/unicode.hpp"

namespace {

void log_line(const cmd_params* log, const char* fmt, const std::string& a = {}, unsigned long long n = 0) {
    if (!log || !log->diag_enabled) return;
    if (a.empty() && n == 0) {
        diag_log(*log, "%s", fmt);
    } else if (n == 0 && std::string(fmt).find("%llx") == std::string::npos) {
        diag_log(*log, fmt, a.c_str());
    } else if (a.empty()) {
        diag_log(*log, fmt, n);
    } else {
        diag_log(*log, fmt, a.c_str(), n);
    }
}

std::string u8(const std::u16string& s) { return uni::to_shown_utf8(s); }

// The UTF-8 text a name is looked up by keeps every unit (a surrogate
// without its partner as the 3-byte form of its own value): every name then
// has a text of its own, so a name holding such a unit (a path that -mft
// climbed to) finds its own entry, and is never taken for another name.
std::string lookup_text(std::u16string_view s) { return ntfs_text_to_utf8(s); }

std::vector<std::u16string> split(const std::u16string& path, char16_t sep) {
    std::vector<std::u16string> out;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find(sep, i);
        if (j == std::u16string::npos) j = path.size();
        if (j > i) out.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::vector<std::u16string> split_any(const std::u16string& path) {
    return split(path, path.find(u'/') != std::u16string::npos ? u'/' : u'\\');
}

std::u16string lower_ascii(std::u16string s) { return uni::ascii_lower(s); }

// The name key of a segment: the text before its first ':', trimmed of
// blanks, tabs and line ends, ASCII letters lower-cased.
std::string segment_key(const std::u16string& seg) {
    std::u16string s = seg.substr(0, seg.find(u':'));
    auto trim = [&s](char16_t c) {
        const size_t a = s.find_first_not_of(c);
        if (a == std::u16string::npos) {
            s.clear();
            return;
        }
        s.erase(0, a);
        while (!s.empty() && s.back() == c) s.pop_back();
    };
    trim(u' ');
    trim(u'\t');
    while (!s.empty() && s.back() == u'\r') s.pop_back();
    while (!s.empty() && s.back() == u'\n') s.pop_back();
    return lookup_text(uni::ascii_lower(s));
}

// The segment's name before any ':', untrimmed: a name that really begins
// or ends with blanks is found under its own spelling first.
std::string exact_key(const std::u16string& seg) {
    return lookup_text(uni::ascii_lower(seg.substr(0, seg.find(u':'))));
}

size_t start_index(const std::vector<std::u16string>& segs) {
    return (!segs.empty() && segs[0].size() >= 2 && segs[0][1] == u':') ? 1 : 0;
}

// Children and names of directory `p` into the cache, as far as needed;
// with `exact` also the names as stored.
bool fetch(ntfs_volume& v, uint64_t p, const cmd_params* log, bool exact) {
    auto node = v.directory_cache.find(p);
    const bool need_children = node == v.directory_cache.end() || node->second.children.empty();
    if (!need_children && !node->second.names.empty() && (!exact || !node->second.exact_names.empty())) {
        log_line(log, "info: cache lookup");
        return true;
    }
    if (need_children) {
        log_line(log, "info: get children nodes");
        if (node == v.directory_cache.end()) {
            child_entry_set s;
            if (!collect_directory_children(v, p, s) || s.empty()) {
                log_line(log, "info: none found");
                return false;
            }
            node = v.directory_cache.emplace(p, directory_cache_node{std::move(s), {}, {}}).first;
        } else {
            collect_directory_children(v, p, node->second.children);
        }
        if (log && log->diag_enabled) diag_log(*log, "info: # children [%d]", static_cast<int>(node->second.children.size()));
    }
    log_line(log, "info: get children names");
    const uint32_t rs = working_record_size(v);
    std::vector<uint8_t> rec;
    // Collected first, inserted after: new cache nodes must not disturb the
    // walk over this node's children.
    std::vector<uint64_t> subdirs;
    for (const auto& [c, flag] : node->second.children) {
        if (c == p) continue;
        if (!read_file_record(v, c, rec)) {
            log_line(log, "err: readFR: inode 0x%llx", {}, c);
            continue;
        }
        if (rec.size() < rs) {
            log_line(log, "err: paramsFR: inode 0x%llx", {}, c);
            continue;
        }
        entry_name_map m;
        if (!collect_entry_names(v, c, rec, false, any_parent, m)) {
            log_line(log, "err: namelookup: inode 0x%llx", {}, c);
            continue;
        }
        for (const entry_name& n : m) {
            const auto [at, added] = node->second.names.emplace(lookup_text(uni::ascii_lower(n.name)), c);
            if (!added && at->second != c && (n.parent_ref & entry_number_mask) == p) node->second.case_twins = true;
            // A hard link's names in other folders are no names of this one.
            if (exact && (n.parent_ref & entry_number_mask) == p)
                node->second.exact_names.emplace(lookup_text(n.name), c);
        }
        if (le::u16(rec, file_header::flags) & record_is_directory) subdirs.push_back(c);
    }
    for (uint64_t c : subdirs) v.directory_cache.emplace(c, directory_cache_node{});
    return true;
}

// The target of X's reparse point, or false when it has none.
bool link_target(ntfs_volume& v, uint64_t x, std::u16string& target) {
    std::vector<uint8_t> rec;
    if (!read_file_record(v, x, rec) || rec.size() < working_record_size(v)) return false;
    const le::bytes r(rec);
    uint64_t off = le::u16(r, file_header::first_attribute);
    while (le::fits(r, off, 8)) {
        const uint32_t type = le::u32(r, off);
        const uint32_t len = le::u32(r, off + attr_header::length);
        if (type == attr_end || len == 0 || !le::fits(r, off, len)) return false;
        if (type == attr_reparse_point) {
            const le::bytes a = le::sub(r, off, len);
            std::vector<uint8_t> outside;
            const bool kept_outside = le::u8(a, attr_header::non_resident) != 0;
            if (kept_outside && !read_reparse_value(&v, a, outside)) return false;
            const le::bytes val = kept_outside ? le::bytes(outside) : resident_value(a);
            if (le::u16(val, 4) == 0 || le::u16(val, 10) == 0) return false;
            target = reparse_target(val, true);
            return true;
        }
        off += len;
    }
    return false;
}

}  // namespace

std::u16string shadow_copy_device_prefix() {
    return std::u16string(u"\\\\?\\") + u"GLOBALROOT" + u"\\" + u"Device" + u"\\" + u"HarddiskVolumeShadowCopy";
}

// The entry filed under `key`, into `x`; false when there is none.
bool find_name(const std::map<std::string, uint64_t>& names, const std::string& key, uint64_t& x) {
    const auto hit = names.find(key);
    if (hit == names.end()) return false;
    x = hit->second;
    return true;
}

bool resolve_path(ntfs_volume& v, std::u16string path, bool follow, const cmd_params* log, resolve_result& out,
                  name_match match) {
    out = resolve_result{};
    out.found = 0;
    out.parent = ~uint64_t(0);
    if (path.empty()) return false;

    // Shadow-copy and snapshot device prefixes name the volume, not a folder.
    const std::u16string vss = lower_ascii(shadow_copy_device_prefix());
    if (path.rfind(u"\\\\?\\", 0) == 0) {
        if (lower_ascii(path).rfind(vss, 0) == 0) {
            const size_t b = path.find(u'\\', vss.size());
            if (b != std::u16string::npos) path = path.substr(b);
        }
    } else if (path.rfind(u"\\\\.\\", 0) == 0 && path.size() > 47 && lower_ascii(path).compare(4, 7, u"snapid_") == 0) {
        const size_t b = path.find(u'\\', 47);
        if (b != std::u16string::npos) path = path.substr(b);
    }
    if (log && log->diag_enabled) diag_log(*log, "anal: %s", u8(path).c_str());

    const bool slash = path.find(u'/') != std::u16string::npos;
    const bool root = path[0] == (slash ? u'/' : u'\\');
    std::vector<std::u16string> segs = split(path, slash ? u'/' : u'\\');
    if (root) log_line(log, "root dir");
    if (segs.empty()) {
        log_line(log, "path empty");
        if (!root) return false;
        out.found = 5;
        out.display.assign(1, u'\\');
        return true;
    }

    uint64_t parent = 5, previous = 5;
    out.found = 5;
    // A host's name such as "x:y" is a name, not a drive: only a link's
    // target starts with a drive.
    size_t i = match == name_match::exact_first ? 0 : start_index(segs);
    int restarts = 0;
    bool ok = true;
    while (i < segs.size()) {
        const std::string key = segment_key(segs[i]);
        log_line(log, "seg: %s", key);
        const bool exact = match == name_match::exact_first;
        if (!fetch(v, parent, log, exact)) {
            ok = false;
            break;
        }
        const auto& node = v.directory_cache[parent];
        if (node.names.empty()) {
            log_line(log, "err: no child names");
            ok = false;
            break;
        }
        uint64_t x = 0;
        // Of two names differing only in case, the one typed is meant.
        const bool twin = !exact && node.case_twins && fetch(v, parent, log, true) &&
                          find_name(v.directory_cache[parent].exact_names,
                                    lookup_text(segs[i].substr(0, segs[i].find(u':'))), x);
        const bool hit = twin ||
                         (exact && (find_name(node.exact_names, lookup_text(segs[i]), x) ||
                                    find_name(node.names, lookup_text(uni::ascii_lower(segs[i])), x))) ||
                         find_name(node.names, exact_key(segs[i]), x) || find_name(node.names, key, x);
        if (!hit) {
            log_line(log, "err: no child nodes");
            ok = false;
            break;
        }
        out.found = x;
        std::u16string target;
        if (follow && link_target(v, x, target)) {
            if (++restarts > max_link_restarts) {
                log_line(log, "err: too many link restarts");
                ok = false;
                break;
            }
            std::u16string rewritten = target;
            for (size_t k = i + 1; k < segs.size(); ++k) {
                rewritten.push_back(u'\\');
                rewritten.append(segs[k]);
            }
            segs = split(rewritten, u'\\');
            parent = 5;
            previous = 0;
            i = start_index(segs);
            log_line(log, "info: restart segments [link]");
            continue;
        }
        if (log && log->diag_enabled)
            diag_log(*log, "info: inode found for seg: %s : 0x%llx", key.c_str(), static_cast<unsigned long long>(x));
        previous = parent;
        parent = x;
        ++i;
    }
    if (!ok) {
        if (log && log->diag_enabled) diag_log(*log, "inode not found for %s", u8(path).c_str());
        return false;
    }
    out.parent = previous;
    std::u16string display;
    if (root) display.push_back(u'\\');
    for (size_t k = 0; k < segs.size(); ++k) {
        if (k) display.push_back(u'\\');
        display += segs[k];
    }
    out.display = display;
    return true;
}

namespace {

bool finish(std::unique_ptr<ntfs_volume>& v, const std::u16string& path, bool follow, const cmd_params* log,
            resolve_result& out, name_match match = name_match::windows) {
    out = resolve_result{};
    out.found = 5;
    const std::vector<std::u16string> segs = split_any(path);
    if (segs.size() == 1 && segs[0] == u".") {
        out.display = path;
        out.parent = 5;
        return true;
    }
    return resolve_path(*v, path, follow, log, out, match);
}

}  // namespace

bool resolve_on_drive(int drive, int64_t offset, const std::u16string& path, bool follow, const cmd_params* log,
                      std::unique_ptr<ntfs_volume>& v, resolve_result& out) {
    if (!open_drive_volume(drive, offset, v)) return false;
    return finish(v, path, follow, log, out);
}

bool resolve_on_vmdk(const std::vector<std::u16string>& files, int64_t offset, const std::u16string& path, bool follow,
                     const cmd_params* log, std::unique_ptr<ntfs_volume>& v, resolve_result& out) {
    if (!open_vmdk_volume(files, offset, v)) return false;
    return finish(v, path, follow, log, out);
}

bool resolve_on_image(const std::u16string& image, int64_t offset, const std::u16string& path, bool follow,
                      const cmd_params* log, std::unique_ptr<ntfs_volume>& v, resolve_result& out, name_match match) {
    if (!open_volume_by_path(image, offset, v)) return false;
    return finish(v, path, follow, log, out, match);
}

bool resolve_on_live(const std::u16string& path, bool follow, const cmd_params* log, std::unique_ptr<ntfs_volume>& v,
                     resolve_result& out) {
    // A path with a drive letter names that drive's volume; two leading
    // backslashes a device; anything else an image file.
    const bool device = path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\';
    const int code = device ? source_device_path : (path.size() >= 2 && path[1] == u':') ? source_live_volume : source_image;
    if (!open_live_volume(path, code, v)) return false;
    return finish(v, path, follow, log, out);
}
