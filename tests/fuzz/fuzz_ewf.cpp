// EWF (E01) images: the file header, section descriptors, media and table
// parsers on the raw input, then the input as a segment set on files:
// the walk of its sections, the placing of its tables, chunk reads with
// and without decoding ahead, and the NTFS volume found inside it.
//
// The input is one segment, or several joined by `segment_break`; they
// are written as f.E01, f.E02, ... into a scratch folder of the process.
#include "fuzz_input.hpp"

#include "ntfs/index.hpp"
#include "ntfs/open_volume.hpp"
#include "platform/unicode.hpp"
#include "storage/ewf.hpp"
#include "storage/ewf_section.hpp"
#include "storage/ewf_table.hpp"
#include "storage/sector_source.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace {

constexpr std::string_view segment_break{"\0EWF-NEXT-SEGMENT\0", 18};
// Segments written at most; the rest of the input stays in the last one.
constexpr size_t max_segments = 4;

// The scratch folder, emptied for each input and removed at exit.
struct scratch_set {
    std::string dir;
    size_t written = 0;
    scratch_set() {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
        dir = std::string(base && *base ? base : "/tmp") + "/brelvik-fuzz-ewf-XXXXXX";
        if (!mkdtemp(dir.data())) dir.clear();
    }
    ~scratch_set() {
        clear();
        if (!dir.empty()) rmdir(dir.c_str());
    }
    std::string name(size_t i) const {
        char ext[8];
        std::snprintf(ext, sizeof ext, "E%02zu", i + 1);
        return dir + "/f." + ext;
    }
    void clear() {
        for (size_t i = 0; i < written; ++i) unlink(name(i).c_str());
        written = 0;
    }
    bool write(std::string_view all) {
        clear();
        if (dir.empty()) return false;
        while (written < max_segments) {
            const size_t cut = written + 1 < max_segments ? all.find(segment_break) : std::string_view::npos;
            const std::string_view part = all.substr(0, cut);
            FILE* f = std::fopen(name(written).c_str(), "wb");
            if (!f) return false;
            const bool ok = std::fwrite(part.data(), 1, part.size(), f) == part.size();
            std::fclose(f);
            ++written;
            if (!ok) return false;
            if (cut == std::string_view::npos) break;
            all.remove_prefix(cut + segment_break.size());
        }
        return true;
    }
};

void parse_in_place(std::span<const uint8_t> in) {
    read_ewf_file_header(in);
    for (size_t at = ewf_file_header_bytes; at + ewf_descriptor_bytes <= in.size() && at < 4096; at += ewf_descriptor_bytes)
        ewf_section_length(read_ewf_section(in.subspan(at), at));
    ewf_media m;
    if (read_ewf_media(in, m) && ewf_media_sane(m)) ewf_chunks_needed(m);
    const ewf_table_header h = read_ewf_table_header(in);
    ewf_table_usable(h, in.size());
    std::vector<uint64_t> entries;
    decode_ewf_table(in.first(std::min<size_t>(in.size(), 4096)), h.base, in.size(), entries);
    uint32_t number = 0;
    if (in.size() >= 3) {
        const std::u16string ext{char16_t(in[0]), char16_t(in[1]), char16_t(in[2])};
        if (parse_ewf_extension(ext, u'E', number)) {
            std::u16string back;
            ewf_segment_extension(u'E', number, back);
        }
    }
}

}  // namespace

int fuzz::fuzz_ewf(const uint8_t* data, size_t size) {
    static scratch_set set;
    const std::span<const uint8_t> in(data, size);
    parse_in_place(in);
    if (!set.write(std::string_view(reinterpret_cast<const char*>(data), size))) return 0;
    const std::u16string first = uni::to_utf16(set.name(0));

    SectorSource src;
    std::string message;
    if (!open_image(src, first, message) || src.kind != SourceKind::Ewf) return 0;
    const uint64_t disk = static_cast<uint64_t>(src.size);
    std::vector<uint8_t> buf(64 * 1024);
    // Reads straight, then the same places asked for ahead first.
    const uint64_t places[] = {0, disk / 2, disk > 40000 ? disk - 40000 : 0, disk - 1};
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) prefetch(src, places);
        for (const uint64_t at : places) {
            uint32_t length = static_cast<uint32_t>(buf.size());
            read(src, buf.data(), length, static_cast<int64_t>(at));
        }
    }
    close(src);

    std::unique_ptr<ntfs_volume> v;
    if (attach_source(source_image, first, 0, 0, v)) {
        child_entry_set s;
        collect_directory_children(*v, 5, s);
        prefetch_records(*v, s);
        std::vector<uint8_t> rec;
        size_t n = 0;
        for (const auto& [entry, flag] : s)
            if (n++ < max_fuzz_entries) read_file_record(*v, entry, rec);
    }
    return 0;
}
