#include "storage/ewf.hpp"

#include "platform/platform.hpp"
#include "platform/unicode.hpp"
#include "storage/damage.hpp"
#include "storage/ewf_section.hpp"
#include "storage/ewf_table.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <unordered_map>
#include <map>
#include <mutex>
#include <new>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

std::string hex(uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
    return b;
}

// ---- one segment ----

// What the walk of one segment's sections found.
struct segment_walk {
    bool media_found = false;
    ewf_media media;            // its first volume, disk or data section whose checksum holds
    std::vector<ewf_run> runs;  // its tables, and where its chunk order breaks off
    bool ended_next = false;
    bool ended_done = false;
    // The stretches its "error2" section says the imager could not read,
    // and whether such a section failed its checks.
    std::vector<ewf_read_error> read_errors;
    bool read_errors_damaged = false;
};

// Follows the sections of one segment from its file header to its "next"
// or "done" section. Only descriptors whose checksums hold are followed;
// where the chain breaks, the rest of the segment is an unknown run.
class segment_walker {
  public:
    segment_walker(const owned_fd& f, uint64_t size, uint32_t index, const std::string& name, segment_walk& w)
        : f(f), size(size), index(index), name(name), w(w) {}

    void walk() {
        uint64_t off = ewf_file_header_bytes;
        for (uint32_t count = 0;; ++count) {
            if (count == ewf_max_sections) return stop("more than " + std::to_string(ewf_max_sections) + " sections");
            if (off > size || size - off < ewf_descriptor_bytes) return stop("segment file cut short");
            if (!read(off, ewf_descriptor_bytes)) return stop("read error");
            const ewf_section s = read_ewf_section(buf, off);
            if (!s.checksum_ok) return stop("section descriptor at offset " + hex(off) + " fails its checksum");
            if (s.type != ewf_section_type::table2) drop_unmirrored();
            const uint64_t length = ewf_section_length(s);
            const bool inside = length <= size - off;
            const bool table_before = last_was_table;
            last_was_table = false;
            switch (s.type) {
            case ewf_section_type::volume:
            case ewf_section_type::disk:
            case ewf_section_type::data: take_media(off, length, inside); break;
            case ewf_section_type::sectors: sectors_end = inside ? off + length : size; break;
            case ewf_section_type::table:
            case ewf_section_type::table2: take_table(s, length, inside, table_before); break;
            case ewf_section_type::error2: take_read_errors(off, length, inside); break;
            case ewf_section_type::next: w.ended_next = true; return;
            case ewf_section_type::done: w.ended_done = true; return;
            default: break;
            }
            if (s.next == off) return stop("section chain ends at offset " + hex(off) + " without a next or done section");
            if (s.next < off || s.next - off < ewf_descriptor_bytes)
                return stop("section at offset " + hex(off) + " points backwards");
            off = s.next;
        }
    }

  private:
    const owned_fd& f;
    uint64_t size;
    uint32_t index;
    const std::string& name;
    segment_walk& w;
    std::vector<uint8_t> buf;
    uint64_t sectors_end = 0;     // end of the last "sectors" section, 0 before one
    bool last_was_table = false;  // the last run is a table a "table2" may mirror
    // A "table" whose own header failed, waiting for the "table2" after it.
    bool awaiting_mirror = false;
    uint64_t awaiting_offset = 0;
    uint64_t awaiting_end = 0;

    bool read(uint64_t at, uint64_t n) {
        buf.resize(static_cast<size_t>(n));
        return read_exact(f, at, buf);
    }

    // True when the `entries` entries of the table at `off` are followed
    // by their checksum, and it matches them, all before `end` (where the
    // next section starts: the bytes read for these checks stay within the
    // file's size however many sections a crafted chain has).
    bool entries_hold(uint64_t off, uint32_t entries, uint64_t end) {
        const uint64_t from = off + ewf_descriptor_bytes + ewf_table_header_bytes;
        const uint64_t n = uint64_t(entries) * ewf_table_entry_bytes + 4;
        end = std::min(end, size);
        return entries <= ewf_max_table_entries && from <= end && n <= end - from && read(from, n) &&
               ewf_table_entries_ok(buf);
    }

    void unknown(std::string why) { w.runs.push_back({false, {}, name, std::move(why)}); }

    void stop(std::string why) {
        drop_unmirrored();
        unknown(std::move(why));
    }

    void drop_unmirrored() {
        if (!awaiting_mirror) return;
        awaiting_mirror = false;
        unknown("table at offset " + hex(awaiting_offset) + " damaged");
    }

    void take_media(uint64_t off, uint64_t length, bool inside) {
        if (w.media_found || !inside || length <= ewf_descriptor_bytes) return;
        const uint64_t n = std::min<uint64_t>(length - ewf_descriptor_bytes, ewf_volume_bytes);
        ewf_media m;
        if (read(off + ewf_descriptor_bytes, n) && read_ewf_media(buf, m)) {
            w.media = m;
            w.media_found = true;
        }
    }

    void take_read_errors(uint64_t off, uint64_t length, bool inside) {
        const uint64_t most = ewf_error2_header_bytes + uint64_t(ewf_max_error2_entries) * ewf_error2_entry_bytes + 4;
        std::vector<ewf_read_error> found;
        if (inside && length > ewf_descriptor_bytes &&
            read(off + ewf_descriptor_bytes, std::min<uint64_t>(length - ewf_descriptor_bytes, most)) &&
            read_ewf_error2(buf, found)) {
            w.read_errors.insert(w.read_errors.end(), found.begin(), found.end());
        } else {
            w.read_errors_damaged = true;
        }
    }

    void take_table(const ewf_section& s, uint64_t length, bool inside, bool table_before) {
        const uint64_t off = s.offset;
        ewf_table_header h;
        bool usable = false;
        if (length >= uint64_t(ewf_descriptor_bytes) + ewf_table_header_bytes &&
            read(off + ewf_descriptor_bytes, ewf_table_header_bytes)) {
            h = read_ewf_table_header(buf);
            // Its entries must lie inside the file as well as the section.
            const uint64_t entries_end = uint64_t(ewf_descriptor_bytes) + ewf_table_header_bytes +
                                         uint64_t(h.entries) * ewf_table_entry_bytes;
            usable = ewf_table_usable(h, length) && entries_end <= size - off;
        }
        // Chunks stored in a "sectors" section end with it; in the oldest
        // layout they follow the entries inside the table section.
        const uint64_t data_end = sectors_end ? sectors_end : (inside ? off + length : size);
        if (s.type == ewf_section_type::table) {
            if (usable) {
                w.runs.push_back({true, {index, {off, 0}, h.entries, data_end, 0}, {}, {}});
                last_was_table = true;
            } else {
                awaiting_mirror = true;
                awaiting_offset = off;
                awaiting_end = data_end;
            }
        } else if (table_before && usable && h.entries == w.runs.back().table.entries) {
            w.runs.back().table.copies[1] = off;
        } else if (table_before && usable) {
            // The two copies disagree on how many chunks the table holds,
            // and every chunk placed after it depends on that count: the
            // copy whose entries pass their checksum is taken, and when
            // that does not tell, the table's chunks are not placed.
            ewf_run& run = w.runs.back();
            const bool first_holds = entries_hold(run.table.copies[0], run.table.entries, off);
            const bool second_holds = entries_hold(off, h.entries, s.next > off ? s.next : size);
            if (second_holds && !first_holds) {
                run.table.copies[0] = off;
                run.table.entries = h.entries;
            } else if (first_holds == second_holds) {
                run = {false, {}, name,
                       "table at offset " + hex(run.table.copies[0]) + " and its table2 disagree on its chunk count"};
            }
        } else if (awaiting_mirror && usable) {
            awaiting_mirror = false;
            w.runs.push_back({true, {index, {off, 0}, h.entries, awaiting_end, 0}, {}, {}});
        } else {
            drop_unmirrored();
        }
    }
};

// ---- the set's names ----

struct set_names {
    bool valid = false;
    std::u16string folder;  // with its trailing separator, or empty
    std::u16string stem;    // the file name up to and with its last dot
    char16_t family = 0;
};

// Takes the set's naming from the name of one of its segments; a lettered
// extension (EAB) is told from its family by the segment number in the
// file's header.
set_names parse_set_names(const std::u16string& path, uint16_t number) {
    set_names n;
    const size_t leaf = leaf_start(path);
    const size_t dot = path.rfind(u'.');
    if (dot == std::u16string::npos || dot < leaf || path.size() - dot != 4) return n;
    const std::u16string_view ext = std::u16string_view(path).substr(dot + 1);
    n.folder = path.substr(0, leaf);
    n.stem = path.substr(leaf, dot + 1 - leaf);
    const char16_t c = ext[0];
    const bool lower = c >= u'a' && c <= u'z';
    const char16_t a = lower ? u'a' : u'A';
    for (char16_t f = a; f <= c && f < a + 26; ++f) {
        uint32_t got = 0;
        if (parse_ewf_extension(ext, f, got) && (got == number || f == c)) {
            n.family = f;
            if (got == number) break;
        }
    }
    n.valid = n.family != 0;
    return n;
}

std::u16string segment_path(const set_names& n, uint32_t number) {
    std::u16string ext;
    if (!n.valid || !ewf_segment_extension(n.family, number, ext)) return {};
    return n.folder + n.stem + ext;
}

// The segment files present beside `path`, by number; `path` itself is
// segment `number` of its header when its name says nothing.
std::map<uint32_t, std::u16string> find_segments(const std::u16string& path, const set_names& n, uint16_t number) {
    std::map<uint32_t, std::u16string> found;
    if (!n.valid) {
        found[number] = path;
        return found;
    }
    std::vector<std::u16string> entries;
    if (platform::list_folder(n.folder, ewf_max_folder_entries, entries)) {
        const std::u16string stem = uni::ascii_lower(n.stem);
        for (const auto& e : entries) {
            // Case is ignored in ASCII letters everywhere, and as Windows
            // ignores it in any letter on Windows.
            const std::u16string_view e_stem = std::u16string_view(e).substr(0, std::min(e.size(), stem.size()));
            if (e.size() != n.stem.size() + 3 ||
                (uni::ascii_lower(e_stem) != stem && !same_host_name(e_stem, n.stem)))
                continue;
            uint32_t k = 0;
            if (!parse_ewf_extension(std::u16string_view(e).substr(stem.size()), n.family, k)) continue;
            const std::u16string full = n.folder + e;
            // Where names differ only in case, the one written as the set
            // writes it wins.
            auto it = found.find(k);
            if (it == found.end() || full == segment_path(n, k)) found[k] = full;
        }
    }
    uint32_t own = 0;
    const std::u16string_view leaf = std::u16string_view(path).substr(n.folder.size() + n.stem.size());
    if (parse_ewf_extension(leaf, n.family, own)) found[own] = path;
    return found;
}

// ---- opening ----

// Segments renamed out of their order (E02 and E03 swapped) are put back in
// it: the number each file's header gives is the segment's own. Only where
// the headers give every file present a number of its own, and those
// numbers are the ones the names give, so that a header damaged into
// another number can only leave its segment where its name puts it (and
// reported there), never place it among the others.
void place_by_headers(std::map<uint32_t, std::u16string>& found) {
    std::map<uint32_t, std::u16string> placed;
    bool moved = false;
    for (const auto& [number, file] : found) {
        owned_fd f;
        uint64_t size = 0;
        uint8_t h[ewf_file_header_bytes] = {};
        if (!open_read_only(file, f, size) || size < ewf_file_header_bytes || !read_exact(f, 0, h)) return;
        const ewf_file_header fh = read_ewf_file_header(h);
        if (!fh.valid || !found.count(fh.segment) || !placed.emplace(fh.segment, file).second) return;
        moved = moved || fh.segment != number;
    }
    if (moved) found.swap(placed);
}

std::string display(const std::u16string& path) { return uni::to_utf8(path); }

// The set's names and the segments present beside `path`, told from the
// segment number in its file header.
bool find_set(const std::u16string& path, set_names& names, std::map<uint32_t, std::u16string>& found,
              std::string& message) {
    owned_fd first;
    uint64_t first_size = 0;
    if (!open_read_only(path, first, first_size)) {
        message = "EWF image can't be opened: " + display(path);
        return false;
    }
    uint8_t head[ewf_file_header_bytes] = {};
    const ewf_file_header fh = first_size >= ewf_file_header_bytes && read_exact(first, 0, head)
                                   ? read_ewf_file_header(head)
                                   : ewf_file_header{};
    if (!fh.valid) {
        message = display(path) + ": not an EWF segment (its file header is damaged)";
        return false;
    }
    names = parse_set_names(path, fh.segment);
    found = find_segments(path, names, fh.segment);
    place_by_headers(found);
    return true;
}

bool same_sizes(const ewf_media& a, const ewf_media& b) {
    return a.sector_count == b.sector_count && a.bytes_per_sector == b.bytes_per_sector &&
           a.sectors_per_chunk == b.sectors_per_chunk;
}

std::string sizes_text(const ewf_media& m) {
    return std::to_string(m.sector_count) + " sectors of " + std::to_string(m.bytes_per_sector) + " bytes, " +
           std::to_string(m.sectors_per_chunk) + " to a chunk";
}

// The acquisition's read errors that one segment's "error2" section lists.
struct segment_read_errors {
    uint32_t segment = 0;
    std::vector<ewf_read_error> stretches;
    bool damaged = false;
};

// Stretches of the imager's read errors given a line each; a failing disk
// may have left thousands, which are counted after these.
constexpr size_t ewf_read_error_lines = 20;

// Says which sectors the imager could not read from the evidence: they
// hold the zeros it wrote, which pass every check of the image, so that a
// listing from them would otherwise pass for one of the evidence itself.
void report_read_errors(const std::vector<std::string>& names, const std::vector<segment_read_errors>& all,
                        const ewf_media& media) {
    size_t shown = 0, more = 0;
    for (const segment_read_errors& s : all) {
        const std::string& file = names[s.segment];
        if (s.damaged)
            report_container_note(file + ": its list of the sectors that could not be read when the image was made "
                                         "(error2 section) is damaged");
        for (const ewf_read_error& e : s.stretches) {
            if (e.sectors == 0) continue;
            if (shown == ewf_read_error_lines) {
                ++more;
                continue;
            }
            ++shown;
            const uint64_t last = e.first_sector + e.sectors - 1;
            report_container_note(file + ": sectors " + std::to_string(e.first_sector) + " to " +
                                  std::to_string(last) + " (disk offset " +
                                  hex(e.first_sector * media.bytes_per_sector) +
                                  ") could not be read when the image was made, and hold zeros");
        }
    }
    if (more > 0)
        report_container_note("... and " + std::to_string(more) +
                              " more stretches of sectors that could not be read when the image was made");
}

bool open_set(const std::u16string& path, ewf_image& img, std::string& message) {
    set_names names;
    std::map<uint32_t, std::u16string> found;
    if (!find_set(path, names, found, message)) return false;
    const uint32_t last = found.rbegin()->first;

    std::vector<ewf_run> runs;
    std::vector<segment_read_errors> read_errors;
    std::vector<ewf_media> own_media(last);
    std::vector<bool> has_media(last, false);
    ewf_media media;
    bool media_found = false, media_insane = false, disagreement_noted = false;
    uint32_t media_from = 0;  // the segment whose media sizes are read
    img.names.assign(last, {});
    img.file_sizes.assign(last, 0);
    img.paths.assign(last, {});
    uint32_t end = last;  // segments from here on are not part of the set
    bool ended_next = false;
    for (uint32_t number = 1; number <= end; ++number) {
        const uint32_t i = number - 1;
        const auto it = found.find(number);
        std::u16string p = it != found.end() ? it->second : segment_path(names, number);
        if (p.empty()) p = path + u" (segment " + uni::to_utf16(std::to_string(number)) + u")";
        img.names[i] = display(p);
        img.paths[i] = p;
        ended_next = false;
        owned_fd f;
        uint64_t size = 0;
        if (it == found.end() || !open_read_only(p, f, size)) {
            runs.push_back({false, {}, img.names[i], "segment missing"});
            continue;
        }
        uint8_t h[ewf_file_header_bytes] = {};
        const ewf_file_header sh = size >= ewf_file_header_bytes && read_exact(f, 0, h) ? read_ewf_file_header(h)
                                                                                        : ewf_file_header{};
        if (!sh.valid || sh.segment != number) {
            runs.push_back({false, {}, img.names[i],
                            sh.valid ? "its file header names segment " + std::to_string(sh.segment)
                                     : "not an EWF segment"});
            continue;
        }
        img.file_sizes[i] = size;
        segment_walk w;
        segment_walker(f, size, i, img.names[i], w).walk();
        if (w.media_found) {
            own_media[i] = w.media;
            has_media[i] = true;
            if (!media_found && ewf_media_sane(w.media)) {
                media = w.media;
                media_found = true;
                media_from = i;
            }
            media_insane = media_insane || !ewf_media_sane(w.media);
        }
        // A segment of another acquisition lying beside the set.
        const ewf_media& m = own_media[i];
        const bool other_set = media_found && has_media[i] && m.set_id != ewf_media{}.set_id &&
                               media.set_id != ewf_media{}.set_id && m.set_id != media.set_id;
        if (other_set) {
            runs.push_back({false, {}, img.names[i], "segment of another image (its set identifier differs)"});
            continue;
        }
        // Sizes that disagree with the ones read: which are right can't be
        // told, and the disk may end early or late for it, so it is said
        // (once: the later segments repeat the same sizes).
        if (has_media[i] && media_found && i != media_from && !disagreement_noted && ewf_media_sane(m) &&
            !same_sizes(m, media)) {
            disagreement_noted = true;
            report_container_note(img.names[i] + ": its media sizes (" + sizes_text(m) + ") disagree with those of " +
                                  img.names[media_from] + " (" + sizes_text(media) + "), which are read");
        }
        runs.insert(runs.end(), w.runs.begin(), w.runs.end());
        read_errors.push_back({i, std::move(w.read_errors), w.read_errors_damaged});
        ended_next = w.ended_next;
        if (w.ended_done) end = number;
    }
    if (!media_found) {
        message = display(path) + (media_insane ? ": EWF image with a sector or chunk size that is not read"
                                                : ": EWF image without a readable volume section");
        return false;
    }
    if (ended_next) {
        // The last segment present says that more follow.
        std::u16string p = segment_path(names, end + 1);
        runs.push_back({false, {}, p.empty() ? img.names[end - 1] + " (the next segment)" : display(p),
                        "segment missing"});
    }
    img.names.resize(end);
    img.file_sizes.resize(end);
    img.paths.resize(end);

    report_read_errors(img.names, read_errors, media);
    img.media = media;
    img.chunk_bytes = ewf_chunk_bytes(media);
    img.chunk_count = ewf_chunks_needed(media);
    img.disk_size = ewf_media_bytes(media);
    img.sector_size = media.bytes_per_sector;
    place_ewf_runs(runs, img.chunk_count, img.tables, img.gaps);
    img.start_reads();
    return true;
}

}  // namespace

// ---- chunk order ----

void place_ewf_runs(const std::vector<ewf_run>& runs, uint64_t total, std::vector<ewf_table_ref>& placed,
                    std::vector<ewf_gap>& gaps) {
    placed.clear();
    gaps.clear();
    size_t first_unknown = runs.size(), last_unknown = runs.size();
    for (size_t i = 0; i < runs.size(); ++i) {
        if (runs[i].known) continue;
        if (first_unknown == runs.size()) first_unknown = i;
        last_unknown = i;
    }
    // From the start up to the first unknown run.
    uint64_t front = 0;
    for (size_t i = 0; i < first_unknown && front < total; ++i) {
        ewf_table_ref t = runs[i].table;
        t.first_chunk = front;
        placed.push_back(t);
        front += std::min<uint64_t>(t.entries, total - front);
    }
    if (first_unknown == runs.size()) {
        if (front < total && !runs.empty())
            gaps.push_back({front, total, runs.back().file, "no table holds the chunk"});
        else if (front < total)
            gaps.push_back({front, total, "", "no table holds the chunk"});
        return;
    }
    // Back from the end after the last one, when they fit behind the front.
    uint64_t back = 0;
    for (size_t i = last_unknown + 1; i < runs.size(); ++i) back += runs[i].table.entries;
    uint64_t gap_end = total;
    if (back <= total - front) {
        gap_end = total - back;
        uint64_t at = gap_end;
        for (size_t i = last_unknown + 1; i < runs.size(); ++i) {
            ewf_table_ref t = runs[i].table;
            t.first_chunk = at;
            placed.push_back(t);
            at += t.entries;
        }
    }
    if (front >= gap_end) return;
    std::string why = runs[first_unknown].why;
    if (last_unknown != first_unknown && runs[last_unknown].file != runs[first_unknown].file)
        why += "; the chunks from there to " + runs[last_unknown].file + " can't be placed";
    gaps.push_back({front, gap_end, runs[first_unknown].file, why});
}

// ---- reads ----

// The chunk cache, shared by the reading thread and the thread that
// decodes ahead of it, and what the two say to each other. The reading
// thread asks for chunks ahead (prefetch), the worker decodes them in
// order into the cache; a read finds its chunk there, waits for it when
// the worker is decoding it, or decodes it itself. Damage is reported by
// the reading thread only, when it decodes the chunk itself: a chunk the
// worker fails on is simply not cached.
struct ewf_image::ahead {
    std::mutex m;
    std::condition_variable work;  // to the worker: chunks queued, room in the cache, or stop
    std::condition_variable done;  // to the reader: the worker finished a chunk
    ewf_chunk_cache cache;
    // A chunk to decode ahead and the hint that asked for it.
    struct hinted {
        uint64_t chunk = 0;
        uint64_t hint = 0;
    };
    std::deque<hinted> queue;      // chunks to decode ahead, in the order they will be read
    // Hints are numbered; for each chunk read, the number of the last hint
    // given before the read. A queued chunk read since its hint was given
    // is not wanted ahead any more: decoding it again once it has left the
    // cache would be wasted work (hints outlive the reads that overtake
    // them: the reader decodes what it reaches first itself).
    uint64_t hints = 0;
    std::atomic<uint64_t> hints_seen{0};  // `hints`, for a worker watching without the lock
    std::unordered_map<uint64_t, uint64_t> read_after;
    void note_read(uint64_t chunk) {
        // Bounded: losing the record costs only a decode that may be needless.
        if (read_after.size() >= ewf_max_read_notes) read_after.clear();
        read_after[chunk] = hints;
    }
    // True when the queued entry was overtaken: decoded or read already.
    bool stale(const hinted& h) const {
        if (cache.has(h.chunk) || (busy && busy_chunk == h.chunk)) return true;
        const auto it = read_after.find(h.chunk);
        return it != read_after.end() && it->second >= h.hint;
    }
    bool busy = false;             // the worker is decoding `busy_chunk`
    uint64_t busy_chunk = 0;
    bool reading = false;          // the reader is decoding `reading_chunk` itself
    uint64_t reading_chunk = 0;
    // Who sleeps, so that the other wakes it only then, and only once its
    // own hold of the lock has ended (a thread woken while the lock is
    // held would at once sleep again, on the lock). Each wake-up costs
    // both threads a switch, on the reading thread's path.
    bool worker_waits = false;     // on `work`
    bool reader_waits = false;     // on `done`
    bool wake_worker = false;      // the reader is to wake the worker once it lets go of the lock
    bool stop = false;
    bool started = false;
    // Whether the worker watches for hints before it sleeps: only where the
    // two threads can run at once, since on one processor the watching
    // would hold up the reading thread it waits for.
    bool watches = false;
    uint64_t decoded = 0;
    ewf_chunk_reader reader;       // the worker's
    std::vector<uint8_t> buffer;
    std::thread thread;
};

namespace {

// Lets the other thread of the core run while spinning.
inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

// With nothing queued, the worker watches for a new hint for a short
// while, without the lock, before it goes to sleep.
void watch_for_hint(ewf_image::ahead& a, std::unique_lock<std::mutex>& lock) {
    const uint64_t seen = a.hints_seen.load(std::memory_order_relaxed);
    lock.unlock();
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(ewf_worker_watch_us);
    while (a.hints_seen.load(std::memory_order_relaxed) == seen && std::chrono::steady_clock::now() < until)
        spin_pause();
    lock.lock();
}

}  // namespace

void run_ahead(ewf_image& img) {
    ewf_image::ahead& a = *img.worker;
    std::unique_lock<std::mutex> lock(a.m);
    for (;;) {
        if (a.watches && !a.stop && a.queue.empty()) watch_for_hint(a, lock);
        while (!a.stop && (a.queue.empty() || a.cache.unread >= a.cache.unread_limit)) {
            a.worker_waits = true;
            a.work.wait(lock);
            a.worker_waits = false;
        }
        if (a.stop) return;
        const ewf_image::ahead::hinted h = a.queue.front();
        a.queue.pop_front();
        const uint64_t c = h.chunk;
        if (a.stale(h) || (a.reading && a.reading_chunk == c)) continue;
        a.busy = true;
        a.busy_chunk = c;
        std::string file, why;
        img.fill(lock, a.reader, c, a.buffer, true, {}, 0, file, why);
        a.busy = false;
        if (a.reader_waits) {
            lock.unlock();
            a.done.notify_all();
            lock.lock();
        }
    }
}

ewf_image::ewf_image() : worker(std::make_unique<ahead>()) {}

ewf_image::~ewf_image() {
    if (!worker || !worker->started) return;
    {
        std::lock_guard<std::mutex> lock(worker->m);
        worker->stop = true;
    }
    worker->work.notify_all();
    worker->thread.join();
}

void ewf_image::start_reads() {
    reader.files.paths = paths;
    worker->reader.files.paths = paths;
    worker->cache.init(static_cast<uint32_t>(chunk_bytes));
    scratch.resize(static_cast<size_t>(chunk_bytes));
    worker->buffer.resize(static_cast<size_t>(chunk_bytes));
}

uint64_t ewf_image::chunks_decoded() const {
    std::lock_guard<std::mutex> lock(worker->m);
    return worker->decoded;
}

size_t ewf_image::chunks_lent() const {
    std::lock_guard<std::mutex> lock(worker->m);
    return worker->cache.lent;
}

void ewf_image::report(uint64_t index, const std::string& file, const std::string& why) const {
    report_damage(file, "chunk " + std::to_string(index) + " (disk offset " + hex(index * chunk_bytes) + ")", why);
}

bool ewf_image::locate(uint64_t index, size_t& table) const {
    const auto after = std::upper_bound(tables.begin(), tables.end(), index,
                                        [](uint64_t i, const ewf_table_ref& t) { return i < t.first_chunk; });
    if (after == tables.begin() || index - std::prev(after)->first_chunk >= std::prev(after)->entries) return false;
    table = static_cast<size_t>(std::prev(after) - tables.begin());
    return true;
}

const ewf_chunk_reader::loaded_table* ewf_image::table_entries(ewf_chunk_reader& r, size_t table) const {
    for (auto& l : r.loaded)
        if (l.table == table) {
            l.last_use = ++r.table_clock;
            return &l;
        }
    const ewf_table_ref& t = tables[table];
    const owned_fd* f = r.files.get(t.segment);
    if (!f) return nullptr;
    const uint64_t size = file_sizes[t.segment];
    const uint64_t raw_bytes = uint64_t(t.entries) * ewf_table_entry_bytes;
    // The first copy whose entries pass their checksum; failing that the
    // first that can be read (the oldest layout keeps no checksum there,
    // and each chunk's own checksum still guards its bytes).
    std::vector<uint8_t> raw, fallback;
    uint64_t base = 0, fallback_base = 0;
    bool checked = false;
    for (const uint64_t at : t.copies) {
        if (at == 0) continue;
        const uint64_t from = at + ewf_descriptor_bytes;
        if (from > size || size - from < ewf_table_header_bytes + raw_bytes) continue;
        const bool footer = size - from - ewf_table_header_bytes - raw_bytes >= 4;
        raw.resize(static_cast<size_t>(ewf_table_header_bytes + raw_bytes + (footer ? 4 : 0)));
        if (!read_exact(*f, from, raw)) continue;
        const ewf_table_header h = read_ewf_table_header(raw);
        if (!h.checksum_ok || h.entries != t.entries) continue;
        if (footer && ewf_table_entries_ok(std::span<const uint8_t>(raw).subspan(ewf_table_header_bytes))) {
            base = h.base;
            checked = true;
            break;
        }
        if (fallback.empty()) {
            fallback = raw;
            fallback_base = h.base;
        }
    }
    if (!checked) {
        if (fallback.empty()) return nullptr;
        raw.swap(fallback);
        base = fallback_base;
    }
    // Decoded before a slot is given to it, so that a failure (no memory)
    // leaves no slot claiming the table without its entries.
    std::vector<uint64_t> entries;
    decode_ewf_table(std::span<const uint8_t>(raw).subspan(ewf_table_header_bytes, static_cast<size_t>(raw_bytes)), base,
                     size, entries);
    ewf_chunk_reader::loaded_table* slot = nullptr;
    if (r.loaded.size() < ewf_tables_kept) {
        slot = &r.loaded.emplace_back();
    } else {
        slot = &*std::min_element(r.loaded.begin(), r.loaded.end(), [](const auto& a, const auto& b) {
            return a.last_use < b.last_use;
        });
    }
    slot->entries.swap(entries);
    slot->table = table;
    slot->last_use = ++r.table_clock;
    slot->checked = checked;
    return slot;
}

bool ewf_image::decode(ewf_chunk_reader& r, uint64_t index, std::span<uint8_t> out, std::string& file,
                       std::string& why) const try {
    size_t table = 0;
    if (!locate(index, table)) {
        const auto g = std::find_if(gaps.begin(), gaps.end(),
                                    [index](const ewf_gap& g) { return index >= g.first && index < g.end; });
        const bool named = g != gaps.end() && !g->file.empty();
        file = named ? g->file : names.front();
        why = named ? g->why : "no table holds the chunk";
        return false;
    }
    const ewf_table_ref& t = tables[table];
    file = names[t.segment];
    const ewf_chunk_reader::loaded_table* loaded = table_entries(r, table);
    if (!loaded) {
        why = "its table can't be read";
        return false;
    }
    const std::vector<uint64_t>& entries = loaded->entries;
    const size_t i = static_cast<size_t>(index - t.first_chunk);
    const uint64_t start = entries[i] & ~ewf_compressed_bit;
    const bool compressed = (entries[i] & ewf_compressed_bit) != 0;
    const uint64_t stop = i + 1 < entries.size() ? entries[i + 1] & ~ewf_compressed_bit : t.data_end;
    const uint64_t size = file_sizes[t.segment];
    if (start >= size) {
        why = "table entry points past the end of the file";
        return false;
    }
    // Writers store a table's chunks one after the other. An entry that no
    // checksum confirms and that does not lie between its neighbours may
    // be a damaged one pointing at another chunk, whose bytes would pass
    // their own checks: such a chunk is not read, nor is the neighbour
    // whose span it breaks, since which of the two entries is wrong can't
    // be told. A neighbour past the end of the file is the damaged one,
    // reported on its own.
    const uint64_t previous = i > 0 ? entries[i - 1] & ~ewf_compressed_bit : 0;
    if (!loaded->checked && ((i > 0 && previous < size && start <= previous) || stop <= start)) {
        why = "table entry out of order, and no checksum confirms its table";
        return false;
    }
    const uint64_t most = ewf_max_stored_bytes(chunk_bytes, compressed);
    uint64_t length = stop > start ? std::min(stop - start, most) : most;
    const bool cut = length > size - start;
    if (cut) length = size - start;
    r.stored.resize(static_cast<size_t>(length));
    const owned_fd* f = r.files.get(t.segment);
    if (!f || !read_exact(*f, start, r.stored)) {
        why = "read error";
        return false;
    }
    const uint64_t needed = std::min(chunk_bytes, disk_size - index * chunk_bytes);
    const ewf_chunk_fault fault = decode_ewf_chunk(r.inflater, r.stored, compressed, static_cast<uint32_t>(needed), out);
    if (fault == ewf_chunk_fault::none) return true;
    why = cut ? "cut short by the end of the file" : ewf_chunk_fault_text(fault);
    return false;
} catch (const std::bad_alloc&) {
    why = "out of memory";
    return false;
}

bool ewf_image::fill(std::unique_lock<std::mutex>& lock, ewf_chunk_reader& r, uint64_t c, std::vector<uint8_t>& spare,
                     bool ahead_of_read, std::span<uint8_t> copy, uint64_t within, std::string& file,
                     std::string& why) {
    ahead& a = *worker;
    const size_t unread = a.cache.unread;
    ewf_chunk_cache::slot* s = nullptr;
    try {
        s = a.cache.reserve(c);
    } catch (const std::bad_alloc&) {
        // No memory for a slot's bytes: decoded into the spare buffer.
    }
    // A chunk decoded ahead and pushed out unread for this one makes room
    // ahead: a worker stopped by the limit goes on.
    if (a.cache.unread < unread && a.worker_waits) a.wake_worker = true;
    std::vector<uint8_t>& target = s ? s->bytes : spare;
    lock.unlock();
    bool ok = false;
    try {
        ok = decode(r, c, target, file, why);
    } catch (...) {
        why = "out of memory";
    }
    if (ok && !copy.empty()) std::memcpy(copy.data(), target.data() + within, copy.size());
    lock.lock();
    if (s) a.cache.release(*s, ok, ahead_of_read);
    if (ok) ++a.decoded;
    return ok;
}

bool ewf_image::steal_ahead(std::unique_lock<std::mutex>& lock) {
    ahead& a = *worker;
    while (!a.queue.empty() && a.stale(a.queue.front())) a.queue.pop_front();
    if (a.queue.empty() || a.cache.unread >= a.cache.unread_limit) return false;
    const uint64_t c = a.queue.front().chunk;
    a.queue.pop_front();
    a.reading = true;
    a.reading_chunk = c;
    std::string file, why;
    fill(lock, reader, c, scratch, true, {}, 0, file, why);
    a.reading = false;
    return true;
}

bool ewf_image::settle(std::unique_lock<std::mutex>& lock, uint64_t index) {
    ahead& a = *worker;
    for (;;) {
        if (a.cache.has(index)) return true;
        if (!(a.busy && a.busy_chunk == index)) return false;
        // While the worker decodes this chunk, the reader decodes the
        // next one queued rather than wait idle.
        if (!steal_ahead(lock)) {
            a.reader_waits = true;
            a.done.wait(lock);
            a.reader_waits = false;
        }
    }
}

void ewf_image::taken(uint64_t index, size_t unread_before) {
    ahead& a = *worker;
    // Room ahead again for a worker stopped by the limit.
    if (a.cache.unread < unread_before && a.worker_waits) a.wake_worker = true;
    a.note_read(index);
}

bool ewf_image::decode_here(std::unique_lock<std::mutex>& lock, uint64_t index, std::span<uint8_t> copy,
                            uint64_t within, std::string& file, std::string& why) {
    ahead& a = *worker;
    // The worker passes over the chunk should it come to it meanwhile.
    a.reading = true;
    a.reading_chunk = index;
    const bool ok = fill(lock, reader, index, scratch, false, copy, within, file, why);
    a.note_read(index);
    a.reading = false;
    return ok;
}

void ewf_image::let_go(std::unique_lock<std::mutex>& lock) {
    ahead& a = *worker;
    const bool wake = a.wake_worker;
    a.wake_worker = false;
    lock.unlock();
    if (wake) a.work.notify_one();
}

bool ewf_image::read(uint8_t* buffer, uint64_t offset, uint32_t length) {
    if (!buffer || chunk_bytes == 0 || scratch.size() != chunk_bytes) return false;
    ahead& a = *worker;
    uint32_t done = 0;
    while (done < length) {
        const uint64_t at = offset + done;
        if (at >= disk_size) {
            std::memset(buffer + done, 0, length - done);
            break;
        }
        const uint64_t index = at / chunk_bytes;
        const uint64_t within = at % chunk_bytes;
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length - done, chunk_bytes - within));
        const std::span<uint8_t> dst(buffer + done, n);
        done += n;
        std::unique_lock<std::mutex> lock(a.m);
        if (settle(lock, index)) {
            const size_t unread = a.cache.unread;
            std::memcpy(dst.data(), a.cache.find(index) + within, n);
            taken(index, unread);
            let_go(lock);
            continue;
        }
        std::string file, why;
        const bool ok = decode_here(lock, index, dst, within, file, why);
        let_go(lock);
        if (!ok) {
            report(index, file, why);
            std::memset(dst.data(), 0, n);
        }
    }
    return true;
}

bool ewf_image::lend(uint64_t offset, uint32_t length, const uint8_t*& data, uint64_t& token) {
    if (chunk_bytes == 0 || scratch.size() != chunk_bytes || offset >= disk_size || length > disk_size - offset)
        return false;
    const uint64_t index = offset / chunk_bytes;
    const uint64_t within = offset % chunk_bytes;
    if (length > chunk_bytes - within) return false;
    ahead& a = *worker;
    std::unique_lock<std::mutex> lock(a.m);
    bool held = settle(lock, index);
    if (!held) {
        // Decoded into the cache, to be lent from there; a chunk that
        // fails is left to the read that follows, which reports it.
        std::string file, why;
        held = decode_here(lock, index, {}, 0, file, why) && a.cache.has(index);
    }
    const size_t unread = a.cache.unread;
    size_t slot = 0;
    const uint8_t* bytes = held ? a.cache.lend(index, slot) : nullptr;
    if (bytes) {
        taken(index, unread);
        data = bytes + within;
        token = slot;
    }
    let_go(lock);
    return bytes != nullptr;
}

void ewf_image::give_back(uint64_t token) {
    std::lock_guard<std::mutex> lock(worker->m);
    worker->cache.give_back(static_cast<size_t>(token));
}

void ewf_image::prefetch(std::span<const uint64_t> offsets) try {
    if (chunk_bytes == 0) return;
    std::vector<uint64_t> fresh;
    for (const uint64_t off : offsets) {
        if (off >= disk_size || fresh.size() >= ewf_max_queued_chunks) continue;
        const uint64_t c = off / chunk_bytes;
        if (fresh.empty() || fresh.back() != c) fresh.push_back(c);
    }
    ahead& a = *worker;
    std::unique_lock<std::mutex> lock(a.m);
    // The newest hint is the most urgent (the listing descends depth
    // first): its chunks go in front, in its order, the older ones after,
    // the oldest dropped beyond the limit. A chunk queued twice is passed
    // over the second time, as decoded.
    for (auto c = fresh.rbegin(); c != fresh.rend(); ++c)
        if (!a.cache.has(*c) && !(a.busy && a.busy_chunk == *c)) a.queue.push_front({*c, a.hints + 1});
    ++a.hints;
    a.hints_seen.store(a.hints, std::memory_order_relaxed);
    if (a.queue.size() > ewf_max_queued_chunks) a.queue.resize(ewf_max_queued_chunks);
    if (a.queue.empty()) return;
    if (!a.started) {
        a.watches = std::thread::hardware_concurrency() > 1;
        a.thread = std::thread(run_ahead, std::ref(*this));
        a.started = true;
    }
    const bool wake = a.worker_waits;
    lock.unlock();
    if (wake) a.work.notify_one();
} catch (const std::exception&) {
    // No thread or no memory for the queue: the reads decode on their own.
    std::lock_guard<std::mutex> lock(worker->m);
    worker->queue.clear();
}

bool ewf_set_files(const std::u16string& path, std::vector<std::u16string>& files) try {
    files.assign(1, path);
    set_names names;
    std::map<uint32_t, std::u16string> found;
    std::string message;
    if (!find_set(path, names, found, message)) return false;
    for (const auto& [number, file] : found)
        if (file != path) files.push_back(file);
    return true;
} catch (const std::bad_alloc&) {
    return false;
}

bool open_ewf(const std::u16string& path, std::unique_ptr<disk_container>& out, std::string& message) try {
    out.reset();
    message.clear();
    auto img = std::make_unique<ewf_image>();
    if (!open_set(path, *img, message)) return false;
    out = std::move(img);
    return true;
} catch (const std::bad_alloc&) {
    out.reset();
    message = "out of memory opening EWF image " + uni::to_utf8(path);
    return false;
}
