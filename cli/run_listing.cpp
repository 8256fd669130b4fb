// The part of the run after the output stream is chosen: the options the
// run takes itself, the data source, the path or paths to list, and the
// listing of each.
#include "cli/report.hpp"
#include "cli/run.hpp"
#include "cli/text.hpp"
#include "ntfs/deleted.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/names.hpp"
#include "ntfs/resolve.hpp"
#include "output/listing_driver.hpp"
#include "output/sinks.hpp"
#include "platform/platform.hpp"
#include "platform/unicode.hpp"
#include "storage/live_mount.hpp"
#include "storage/partitions.hpp"

#include <iostream>
#include <limits>
#include <optional>
#include <sstream>

namespace {

// What the source options decided.
struct source_choice {
    std::string image;         // -image file name
    std::string source_path;   // image used as the volume, or a shadow-copy device
    std::string drive_text;    // -drivenum value as typed
};

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

void report_admin_needed() {
    report_error("command prompt not running w/ admin privileges...\n");
    report_error("[which is needed for examining live partitions]\n");
    report_error("need to restart cmd prompt using \"Run As Administrator\" option...\n\n");
}

// The root of the volume `path` lies on: "X:\" for a drive-letter path,
// else "\".
std::u16string volume_root(const std::u16string& path) {
    if (path.size() >= 2 && path[1] == u':') return path.substr(0, 2) + u"\\";
    return u"\\";
}

// Why a path on a mounted volume cannot be listed, in the user's words.
void report_live_mount_failure(live_mount_failure why, const std::string& typed, const live_mount& m) {
    const char* point = m.mount.mount_point.c_str();
    const char* source = m.mount.source.c_str();
    const char* type = m.mount.fs_type.c_str();
    switch (why) {
    case live_mount_failure::no_such_path:
        report_error("couldn't resolve path %s\n", typed.c_str());
        break;
    case live_mount_failure::no_mount_table:
        report_error("couldn't read the mount table /proc/self/mountinfo\n");
        break;
    case live_mount_failure::no_mount:
        report_error("couldn't find the mount that holds %s\n", m.real_path.c_str());
        break;
    case live_mount_failure::not_ntfs:
        report_error("not an NTFS volume: the mount at %s has type %s\n", point, type);
        break;
    case live_mount_failure::no_volume_path:
        report_error("couldn't resolve path %s: the mount at %s shows %s\n", typed.c_str(), point,
                     m.mount.root.c_str());
        break;
    case live_mount_failure::name_backslash:
        report_error("couldn't resolve path %s: a name in %s holds a backslash\n", typed.c_str(), m.real_path.c_str());
        break;
    case live_mount_failure::source_not_file:
        report_error("couldn't read the mount at %s raw: its source %s is neither a file nor a block device\n",
                     point, source);
        break;
    case live_mount_failure::other_device:
        report_error("couldn't read the mount at %s raw: its source %s is no longer the device mounted there (%u:%u)\n",
                     point, source, m.mount.device.major, m.mount.device.minor);
        break;
    case live_mount_failure::other_size:
        report_error("couldn't read the mount at %s raw: its source %s holds a volume of another size than the one "
                     "mounted there\n",
                     point, source);
        break;
    case live_mount_failure::no_access:
        report_error("no read access to %s, the source of the mount at %s...\n", source, point);
        report_error("[root is needed for examining live partitions]\n");
        report_error("need to run again as root, for example with sudo...\n\n");
        break;
    case live_mount_failure::cannot_open:
        report_error("couldn't open %s, the source of the mount at %s\n", source, point);
        break;
    case live_mount_failure::no_ntfs_boot:
        report_error("not an NTFS volume: the mount at %s has type %s and %s holds no NTFS boot sector\n", point,
                     type, uni::to_utf8(m.source).c_str());
        break;
    case live_mount_failure::none: break;
    }
}

// A POSIX path on a mounted volume: its mount's source becomes the source
// read as -image reads a file, and `path` the path inside the volume.
bool choose_mounted_volume(brelvik_opts& opts, const std::string& typed, source_choice& src, std::string& path) {
    live_mount m;
    live_mount_failure why = live_mount_failure::none;
    if (!find_live_mount(uni::to_utf16(typed), m, why)) {
        report_live_mount_failure(why, typed, m);
        return false;
    }
    src.source_path = uni::to_utf8(m.source);
    opts.volume_offset = static_cast<uint64_t>(m.offset);
    opts.host_names = 1;
    path = uni::to_utf8(m.volume_path);
    return true;
}

// Opens the source, resolves `opts.list_path` and lists it. A path that
// cannot be listed is reported here, as the user gave it (`shown`). With
// `by_entry` (an entry asked for by number) only the volume's root is
// resolved and the start entry is listed as it is, under `parent` (all
// bits set when not known): its path is only shown, for looking it up by
// name again could reach another entry (a name apart from another only by
// case, or holding a ':' or a '\', a link followed), and a deleted entry
// no index names any more. Without `deleted`, an entry whose record is not
// in use is listed only where an index still names it: its path must
// resolve to that very entry.
bool list_one_path(brelvik_opts& opts, const std::string& shown, bool by_entry, bool deleted = false,
                   uint64_t parent = ~uint64_t(0)) {
    std::unique_ptr<ntfs_volume> volume;
    resolve_result found;
    const bool follow = opts.resolve_links != 0;
    const cmd_params* log = &opts;
    bool resolved = false;
    std::string source_name;
    const std::u16string listed = opts.list_path;
    const uint64_t entry = opts.start_entry;
    if (by_entry) opts.list_path = volume_root(listed);
    if (!opts.vmdk_files.empty()) {
        resolved = resolve_on_vmdk(opts.vmdk_files, static_cast<int64_t>(opts.vmdk_offset), opts.list_path, follow, log,
                                   volume, found);
        source_name = uni::to_utf8(opts.vmdk_files.front());
    } else if (opts.drive_number != -1) {
        resolved = resolve_on_drive(opts.drive_number, static_cast<int64_t>(opts.volume_offset), opts.list_path, follow,
                                    log, volume, found);
        source_name = "\\\\.\\PhysicalDrive" + std::to_string(opts.drive_number);
    } else if (!opts.image_path.empty()) {
        resolved = resolve_on_image(opts.image_path, static_cast<int64_t>(opts.volume_offset), opts.list_path, follow, log,
                                    volume, found, opts.host_names ? name_match::exact_first : name_match::windows);
        source_name = uni::to_utf8(opts.image_path);
    } else {
        resolved = resolve_on_live(opts.list_path, follow, log, volume, found);
        source_name = uni::to_utf8(opts.list_path);
    }
    if (!volume) {
        report_error("couldn't open volume %s\n", source_name.c_str());
        return false;
    }
    if (!resolved) {
        report_error("couldn't resolve path %s\n", shown.c_str());
        return false;
    }
    opts.start_entry = found.found;
    opts.start_parent = (found.parent != 0 && found.parent != ~uint64_t(0)) ? found.parent : ~uint64_t(0);
    if (by_entry) {
        std::vector<uint8_t> rec;
        if (!deleted && (!read_file_record(*volume, entry, rec) || !valid_file_header(rec) ||
                         !(le::u16(rec, file_header::flags) & record_in_use))) {
            resolve_result named;
            const name_match match = opts.host_names ? name_match::exact_first : name_match::windows;
            if (!resolve_path(*volume, listed, follow, log, named, match) || named.found != entry) {
                report_error("couldn't resolve path %s\n", shown.c_str());
                return false;
            }
            if (named.parent != 0 && named.parent != ~uint64_t(0)) parent = named.parent;
        }
        opts.list_path = listed;
        opts.start_entry = entry;
        opts.start_parent = parent;
    }
    opts.path_shown_only = by_entry ? 1 : 0;
    if (!list_directory(opts, *volume)) {
        report_error("couldn't read MFT entry 0x%llx\n", static_cast<unsigned long long>(opts.start_entry));
        return false;
    }
    return true;
}

// Step 16: -image, -drivenum or -vss.
bool choose_source(brelvik_opts& opts, arg_list& args, source_choice& src) {
    std::string value;
    if (take_value(args, "-image", src.image)) {
        std::ostringstream messages;
        bool ntfs_found = false;
        uint64_t offset = opts.volume_offset;
        const bool had_offset = offset != 0;
        const bool ignore_size = had_offset && take_flag(args, "-ignore_image_size");
        const bool ok = open_image_and_find_volume(messages, uni::to_utf16(src.image), offset, ntfs_found, ignore_size);
        opts.volume_offset = offset;
        if (had_offset) {
            if (ok) return true;
        } else if (ok && offset != 0) {
            return true;
        } else if (offset == 0 && (ok || ntfs_found)) {
            src.source_path = src.image;
            return true;
        }
        report_error("%s\n", messages.str().c_str());
        return false;
    }
    if (take_value(args, "-drivenum", src.drive_text)) {
        int32_t number = -1;
        parse_int(src.drive_text, number);
        opts.drive_number = number;
        bool ntfs_found = false;
        uint64_t offset = opts.volume_offset;
        const bool ignore_size = offset != 0 && take_flag(args, "-ignore_image_size");
        const bool ok = open_drive_and_find_volume(number, offset, ntfs_found, ignore_size);
        opts.volume_offset = offset;
        return ok;
    }
    if (take_value(args, "-vss", value)) {
        if (!platform::is_elevated_admin()) {
            report_error("This option requires admin privileges...\n");
            report_error("need to restart cmd prompt using \"Run As Administrator\" option...\n\n");
            return false;
        }
        src.source_path = shadow_copy_prefix() + value;
    }
    return true;
}

// With -deleted, the path of an MFT entry whose record is not in use:
// where the listing shows it (below the folder in use its chain of parents
// reaches, or below the orphan folder). False when the record is in use or
// cannot be read, so that the entry's paths stay those of its names.
bool deleted_entry_path(const volume_source& vs, const std::u16string& prefix, uint64_t entry, brelvik_opts& opts,
                        std::vector<std::u16string>& paths) {
    std::unique_ptr<ntfs_volume> v;
    std::vector<uint8_t> rec;
    if (!open_source_volume(vs, v) || !read_file_record(*v, entry, rec) || !valid_file_header(rec) ||
        (le::u16(rec, file_header::flags) & record_in_use))
        return false;
    deleted_map& m = volume_deleted_map(*v, opts);
    uint64_t folder = 0;
    std::vector<std::u16string> names;
    if (!deleted_entry_place(*v, m, entry, folder, names)) return false;
    std::u16string text;
    if (folder == orphan_folder_entry(*v)) {
        text = std::u16string(orphan_folder_name) + u"\\";
    } else if (folder != 5) {
        std::vector<std::u16string> above;
        if (!collect_entry_paths(*v, folder, {}, above) || above.empty()) return false;
        text = above.front();
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) text += u'\\';
        text += names[i];
    }
    paths.assign(1, (prefix.empty() ? std::u16string(u"\\") : prefix) + text);
    return true;
}

}  // namespace

int run_listing(brelvik_opts& opts, arg_list& args, run_state& state) {
    std::string value;
    if (take_flag(args, "-indx")) opts.show_indx = 1;
    if (take_flag(args, "-deleted")) opts.show_deleted = 1;
    // A value that holds no number names no place: it must not stand for
    // the start of the image. -offset or -mft standing last, its value
    // missing, is taken as an empty value: the run must not list another
    // place or entry than asked for.
    bool offset_given = take_value(args, "-offset", value);
    if (!offset_given && take_flag(args, "-offset")) {
        value.clear();
        offset_given = true;
    }
    if (offset_given) {
        uint64_t offset = 0;
        if (!parse_number(value, offset)) {
            report_error("invalid volume offset specified: %s\n", value.c_str());
            return -1;
        }
        opts.volume_offset = offset;
    }
    std::string mft_text;
    uint64_t mft_entry = 0;
    const bool mft_mode = take_value(args, "-mft", mft_text) || take_flag(args, "-mft");
    // A value that holds no number names no entry: it must not stand for
    // entry 0.
    if (mft_mode && !parse_number(mft_text, mft_entry)) {
        report_error("invalid MFT entry specified: %s\n", mft_text.c_str());
        return -1;
    }
    if (take_flag(args, "-objid")) opts.show_objid = 1;
    if (take_flag(args, "-alldates")) {
        opts.all_dates = 1;
        opts.csv = 1;
        opts.dates_split = 1;
        // The CSV it turns on needs a separator: after -multiline, which
        // has none, it takes the comma -csv takes, or every field would run
        // into the next.
        if (opts.separator.empty() && !opts.xml) set_separator(opts, ",");
    }
    // Levels count from -2 (no limit) up; -1 would list nothing at all,
    // and a value that holds no number no depth: neither is taken as
    // another depth.
    for (const char* name : {"-recurse", "-level"}) {
        if (take_value(args, name, value)) {
            int32_t n = 0;
            if (!parse_int(value, n) || n == -1) {
                report_error("invalid level specified: %s\n", value.c_str());
                return -1;
            }
            // Every depth below -1 means no limit, as -2 does; it is taken
            // as -2, for the walk counts the level down once a folder and
            // would run a count near the lowest int32_t past its end.
            if (n < -2) n = -2;
            opts.levels = n == std::numeric_limits<int32_t>::max() ? n : n + 1;
        }
    }

    source_choice src;
    if (!choose_source(opts, args, src)) return -1;

    bool non_live = !src.image.empty() || !src.source_path.empty() || !src.drive_text.empty() ||
                    !opts.vmdk_files.empty();
    // A POSIX path names a folder on a mounted volume, whose source is read
    // as far as the user may read it: its rights are checked on the source.
    const bool mounted = !non_live && platform::has_mount_table && args.size() >= 2 && is_posix_path(args[1]);
    if (src.image.empty() && src.source_path.empty() && !mounted && !platform::is_elevated_admin()) {
        report_admin_needed();
        return -1;
    }

    // Step 18: the path text.
    std::string path;
    if (mounted) {
        if (!choose_mounted_volume(opts, args[1], src, path)) return -1;
        non_live = true;
    } else if (args.size() < 2) {
        path = non_live ? "\\" : ".\\";
    } else {
        path = expand_env_path(args[1], true);
        if (non_live) {
            const size_t p = path.find(":\\");
            if (p != std::string::npos && p >= 1) path.erase(p - 1, p + 1);
        } else if (path.size() < 3) {
            if (path.empty() || !is_letter(path[0])) {
                report_error("invalid volume specified\n");
                return -1;
            }
            path = std::string(1, path[0]) + ":\\";
        }
    }
    if (!non_live) {
        // A drive-letter path names a volume on every platform; other paths
        // are made absolute against the current directory of the host.
        const bool drive_path = path.size() >= 2 && path[1] == ':';
        if (!drive_path || platform::host_separator == u'\\') path = make_absolute_path(path);
        if (path.empty()) {
            report_error("prob understanding path, aborting\n,");
            return -1;
        }
        if (!path_exists(path) && (path.size() < 2 || path[1] != ':')) {
            report_error("problem accessing path %s\n", path.c_str());
            return -1;
        }
    }
    for (auto& c : path)
        if (c == '/') c = '\\';
    if (path.size() < 4) {
        if (path.find(':') == std::string::npos && path.size() == 1 && !non_live) path += ":\\";
    } else if (path.back() == '\\') {
        path.pop_back();
    }

    // Step 19: options that do not go together.
    if (opts.path_only) {
        opts.xml = 0;
        opts.csv = 0;
        opts.show_objid = 0;
        opts.header_pending = 0;
    }
    if (opts.csv && opts.xml) opts.csv = 0;
    if (src.source_path.empty() && !src.image.empty()) src.source_path = src.image;
    opts.start_entry = 0;
    opts.image_path = uni::to_utf16(src.source_path);
    const std::u16string wide_path = uni::to_utf16(path);

    // Step 20: the paths to list.
    std::vector<std::u16string> paths;
    std::vector<uint64_t> parents;  // with -mft, the folder of the entry's name on each path
    bool mft_directory = false;
    bool mft_deleted = false;
    if (mft_mode) {
        std::u16string volume_text = wide_path;
        const size_t colon = wide_path.find(u':');
        if (colon != std::u16string::npos && colon + 1 < wide_path.size()) volume_text = wide_path.substr(0, colon + 2);
        volume_source vs;
        vs.image = opts.image_path;
        vs.drive = opts.drive_number;
        vs.offset = static_cast<int64_t>(opts.vmdk_files.empty() ? opts.volume_offset : opts.vmdk_offset);
        vs.volume_path = volume_text;
        vs.vmdk = opts.vmdk_files;
        if (!entry_to_paths(vs, volume_text, mft_entry, paths, &parents)) {
            report_error("couldn't resolve MFT entry to filepath\n");
            return -1;
        }
        mft_directory = entry_is_directory(vs, mft_entry);
        opts.start_entry = mft_entry;
        if (opts.show_deleted && deleted_entry_path(vs, volume_text, mft_entry, opts, paths)) {
            mft_deleted = true;
            parents.assign(paths.size(), ~uint64_t(0));
            std::cerr << "\n[Note: this MFT entry is not in use: a deleted entry, listed where its name last stood]\n\n";
            std::cerr.flush();
        }
        // No way up reached the root (a parent chain that runs in a circle
        // or into damage): the entry has no path, and the run says so.
        if (paths.empty()) {
            report_error("couldn't resolve MFT entry to filepath\n");
            return -1;
        }
        if (paths.size() > 1) {
            std::cerr << "\n[Note: this MFT entry has multiple possible paths]\n\n";
            if (mft_directory) {
                for (const auto& p : paths) std::cerr << uni::to_shown_utf8(p) << '\n';
                std::cerr << "\nWill output only first path\n";
            }
            std::cerr.flush();
        }
    } else {
        paths.push_back(wide_path);
    }

    // Step 21: the XML file takes the output. One that does not open ends
    // the run as a results file that does not open does: the document
    // asked for would otherwise be missing from a run that reports success.
    // Nobody watches the file as a console is watched, so the rows' flushes
    // are deferred there as they are for a results file.
    std::unique_ptr<std::ostream> xml_file;
    std::optional<deferred_flush_scope> xml_flushes;
    std::ostream* const previous_out = opts.out;
    if (opts.xml && !state.xml_name.empty()) {
        xml_file = open_text_output(state.xml_name, true);
        if (!xml_file) {
            report_error("prob opening file %s for output, aborting\n", state.xml_name.c_str());
            return -1;
        }
        xml_flushes.emplace(*xml_file);
        *xml_file << state.run_header << '\n';
        opts.out = xml_file.get();
    }

    // Step 22: list each path. A run in which no path could be listed has
    // failed, and says so.
    const size_t count = (mft_mode && mft_directory) ? std::min<size_t>(1, paths.size()) : paths.size();
    size_t listed = 0;
    for (size_t i = 0; i < count; ++i) {
        opts.rows.clear();
        opts.list_path = paths[i];
        const std::string shown = (mft_mode || args.size() < 2) ? uni::to_shown_utf8(paths[i]) : args[1];
        opts.start_entry = mft_mode ? mft_entry : 0;
        const uint64_t parent = i < parents.size() ? parents[i] : ~uint64_t(0);
        if (list_one_path(opts, shown, mft_mode, mft_deleted, parent)) ++listed;
    }
    bool xml_written = true;
    if (xml_file) {
        xml_flushes.reset();  // passes on what it holds
        xml_file->flush();
        xml_written = !xml_file->fail();
        opts.out = previous_out;  // the XML stream closes with this function
    }
    if (!xml_written) {
        report_error("prob writing xml file: %s, the listing is incomplete\n", state.xml_name.c_str());
        return -1;
    }
    return (count > 0 && listed == 0) ? -1 : 0;
}
