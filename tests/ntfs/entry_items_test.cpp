// The attribute items of single entries: against istat, against the facts of
// the fixture images, and on records damaged in memory (run these under the
// sanitizer build: nothing may be read outside a buffer).
#include "ntfs/attributes.hpp"
#include "ntfs/deleted.hpp"
#include "ntfs/index_node.hpp"
#include "ntfs/names.hpp"
#include "ntfs/open_volume.hpp"
#include "platform/unicode.hpp"
#include "storage/damage.hpp"
#include "support/image_patch.hpp"
#include "support/test_paths.hpp"
#include "support/tools.hpp"
#include "support/tsk.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <sstream>

namespace {

using items = std::vector<attr_desc>;

std::vector<const attr_desc*> of_type(const items& v, uint32_t type) {
    std::vector<const attr_desc*> out;
    for (const auto& d : v)
        if (d.type == type) out.push_back(&d);
    return out;
}

std::vector<uint64_t> clusters_of(const attr_desc& d) {
    std::vector<uint64_t> out;
    uint64_t vcn = 0;
    for (const auto& e : d.extents) {
        EXPECT_EQ(e.vcn, vcn);  // ordered and contiguous from 0
        vcn += e.length;
        for (uint32_t i = 0; i < e.length; ++i) out.push_back(e.sparse ? 0 : e.lcn + i);
    }
    return out;
}

TEST(EntryItems, MatchIstat) {
    BRELVIK_NEED_TOOL("fls");
    BRELVIK_NEED_TOOL("fsstat");
    struct row {
        bool fixture;
        const char* image;
        uint64_t entry;
    };
    // Win32+DOS names, streams, object id, reparse points, a large index,
    // 46 names over an extension record, $DATA over extension records, and
    // 100 hard links in eleven records with $DATA in an extension record.
    const row rows[] = {{true, "main.img", 83},    {true, "main.img", 76},        {true, "main.img", 77},
                        {true, "main.img", 103},   {true, "main.img", 1731},      {true, "main.img", 1733},
                        {true, "main.img", 108},   {true, "main.img", 1716},      {true, "main.img", 1714},
                        {true, "mftfrag.img", 0},  {true, "bigdir.img", 64},      {false, "ntfs3_attrlist.raw", 27}};
    const std::regex line(R"(^Type: .*\((\d+)-\d+\)\s+Name: (\S+)\s+(Resident|Non-Resident)(?:, \w+)*\s+size: (\d+))");
    for (const auto& r : rows) {
        const std::string path = r.fixture ? test_paths::fixture(r.image) : test_paths::testdata(r.image);
        if (path.empty()) continue;
        SCOPED_TRACE(std::string(r.image) + " entry " + std::to_string(r.entry));
        std::unique_ptr<ntfs_volume> v;
        ASSERT_TRUE(open_volume_by_path(uni::to_utf16(path), 0, v));
        items got;
        ASSERT_TRUE(collect_entry_attrs(*v, r.entry, got));
        std::string out;
        ASSERT_TRUE(tsk::run("istat -f ntfs '" + path + "' " + std::to_string(r.entry), out));
        // Every attribute istat lists but the list, as "type name kind size"
        // (istat numbers attributes of extension records its own way); it
        // shows the merged pieces of one attribute once.
        std::multiset<std::string> expected, ours;
        size_t names = 0;
        std::istringstream in(out);
        for (std::string l; std::getline(in, l);) {
            std::smatch m;
            if (!std::regex_search(l, m, line)) continue;
            const unsigned long type = std::stoul(m[1]);
            if (type == 0x30) ++names;
            if (type == 0x10 || type == 0x20 || type == 0x30) continue;
            expected.insert(std::string(m[1]) + " " + (m[2] == "N/A" ? "" : std::string(m[2])) + " " +
                            std::string(m[3]) + " " + std::string(m[4]));
        }
        for (const auto& d : got) {
            if (d.type == attr_entry_header || d.type == 0x10 || d.type == 0x30) continue;
            ours.insert(std::to_string(d.type) + " " + d.name + " " +
                        (d.non_resident ? "Non-Resident " + std::to_string(d.real_size)
                                        : "Resident " + std::to_string(d.value_length)));
            if (d.type == 0x80 && d.name.empty() && d.non_resident) {
                std::vector<uint64_t> istat_clusters;
                ASSERT_TRUE(tsk::istat_data_clusters(path, 0, r.entry, istat_clusters));
                // Compared up to the data size: istat shows 0 past it.
                const size_t n = (d.real_size + v->bytes_per_cluster - 1) / v->bytes_per_cluster;
                auto ours_clusters = clusters_of(d);
                ASSERT_GE(ours_clusters.size(), n);
                ASSERT_GE(istat_clusters.size(), n);
                ours_clusters.resize(n);
                istat_clusters.resize(n);
                EXPECT_EQ(ours_clusters, istat_clusters);
            }
        }
        EXPECT_EQ(ours, expected);
        EXPECT_EQ(of_type(got, 0x30).size(), names);
    }
}

TEST(EntryItems, FixtureFacts) {
    const std::string path = test_paths::fixture("main.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_volume_by_path(uni::to_utf16(path), 0, v));
    items d;
    // The DOS name sorts first by its name key; both are reported.
    ASSERT_TRUE(collect_entry_attrs(*v, 83, d));
    auto fn = of_type(d, 0x30);
    ASSERT_EQ(fn.size(), 2u);
    EXPECT_EQ(fn[0]->text, "LONGFI~1.TXT");
    EXPECT_EQ(fn[0]->name_space, 2);
    EXPECT_EQ(fn[1]->text, "Long File Name With Short.txt");
    EXPECT_EQ(fn[0]->parent_ref & entry_number_mask, 82u);
    // Streams in attribute-id order, the unnamed one without a name.
    ASSERT_TRUE(collect_entry_attrs(*v, 76, d));
    std::vector<std::string> streams;
    for (const auto* x : of_type(d, 0x80)) streams.push_back(x->name);
    EXPECT_EQ(streams, (std::vector<std::string>{"", "Zone.Identifier", "bigstream"}));
    // The link targets: junction and absolute link give their print names,
    // the relative link its path exactly, the file link its target.
    for (auto [entry, target] : {std::pair<uint64_t, const char*>{1731, R"(C:\reparse\target)"},
                                 {1732, R"(C:\docs\reports)"}, {1733, R"(..\docs)"}, {1735, R"(C:\docs\notes.txt)"}}) {
        ASSERT_TRUE(collect_entry_attrs(*v, entry, d));
        auto rp = of_type(d, 0xC0);
        ASSERT_EQ(rp.size(), 1u) << entry;
        EXPECT_EQ(rp[0]->text, target) << entry;
    }
    // The object id's GUID in on-disk byte order.
    ASSERT_TRUE(collect_entry_attrs(*v, 103, d));
    auto oid = of_type(d, 0x40);
    ASSERT_EQ(oid.size(), 1u);
    EXPECT_TRUE(oid[0]->has_object_id);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(oid[0]->object_id[i], i * 0x11) << i;

    // The record-header item: link count low bits, deletion, extension.
    struct head {
        uint64_t entry;
        uint8_t links;     // low four bits of the link count
        uint8_t bits;      // the other rec_flags bits
        uint64_t seq;      // sequence number in self_ref
    };
    const head heads[] = {
        {83, 2, rec_flag_always, 1},
        {108, 1, rec_flag_always | rec_flag_directory, 1},
        {1716, 46 & 15, rec_flag_always, 1},
        {1739, 0, rec_flag_always | rec_flag_not_in_use, 2},  // deleted file
        {1717, 0, rec_flag_always | rec_flag_extension, 1},   // an extension record itself
    };
    for (const auto& h : heads) {
        ASSERT_TRUE(collect_entry_attrs(*v, h.entry, d)) << h.entry;
        EXPECT_EQ(d[0].file_ref, h.entry);
        EXPECT_EQ((d[0].rec_flags >> rec_link_count_shift) & 15, h.links) << h.entry;
        EXPECT_EQ(d[0].rec_flags & ~(15 << rec_link_count_shift), h.bits) << h.entry;
        EXPECT_EQ(d[0].self_ref, h.entry | h.seq << 48) << h.entry;
    }
    EXPECT_EQ(d[0].base_ref & entry_number_mask, 1716u);
    // An extension record holding a piece of the MFT's $DATA: its owner is
    // the base record.
    const std::string frag = test_paths::fixture("mftfrag.img");
    if (frag.empty()) return;
    ASSERT_TRUE(open_volume_by_path(uni::to_utf16(frag), 0, v));
    ASSERT_TRUE(collect_entry_attrs(*v, 15, d));
    ASSERT_EQ(of_type(d, 0x80).size(), 1u);
    EXPECT_EQ(of_type(d, 0x80)[0]->owner_entry, d[0].base_ref);
    EXPECT_EQ(d[0].base_ref & entry_number_mask, 0u);
    EXPECT_NE(d[0].base_ref, 0u);
}

// One entry of a patched copy of main.img: the item types it yields.
struct damaged {
    const char* what;
    uint64_t entry;
    std::function<void(std::span<uint8_t>)> edit;
    bool loads;
    std::vector<uint32_t> types;
};

TEST(EntryItems, DamagedRecordsKeepWhatCameBefore) {
    const std::string path = test_paths::fixture("main.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    const auto img = image_patch::load(path);
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    using image_patch::find_attr;
    auto set_len = [](uint32_t type, int nth, auto len) {
        return [=](std::span<uint8_t> r) {
            const uint64_t a = find_attr(r, type, nth);
            le::put_u32(r, a + 4, static_cast<uint32_t>(len(a)));
        };
    };
    // Entry 76: $SI, $FN, $SD, $DATA, $DATA "bigstream" (non-resident), $DATA "Zone.Identifier".
    const std::vector<uint32_t> all{0x110, 0x10, 0x30, 0x50, 0x80, 0x80, 0x80};
    const damaged cases[] = {
        {"zero-length attribute", 76, set_len(0x50, 0, [](uint64_t) { return 0; }), true, {0x110, 0x10, 0x30}},
        {"length over the record size", 76, set_len(0x50, 0, [](uint64_t) { return 4096; }), true, {0x110, 0x10, 0x30}},
        {"attribute running past the record", 76, set_len(0x80, 0, [](uint64_t a) { return 1024 - a + 8; }), true,
         {0x110, 0x10, 0x30, 0x50}},
        {"odd length that misaligns the walk", 76, set_len(0x50, 0, [](uint64_t) { return 101; }), true,
         {0x110, 0x10, 0x30, 0x50}},
        {"runlist running past its attribute", 76,
         [](std::span<uint8_t> r) {
             const uint64_t a = find_attr(r, 0x80, 1);
             r[a + le::u16(r, a + attr_header::runlist_offset)] = 0x88;
         },
         true, all},
        {"BAAD base record", 76, [](std::span<uint8_t> r) { std::copy_n("BAAD", 4, r.begin()); }, false, {}},
        {"first attribute offset 0", 76, [](std::span<uint8_t> r) { le::put_u16(r, 20, 0); }, true, {0x110}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto copy = img;
        image_patch::record(copy, *v, c.entry, c.edit);
        std::unique_ptr<ntfs_volume> pv;
        ASSERT_TRUE(open_memory_volume(std::move(copy), 0, pv));
        items d;
        EXPECT_EQ(collect_entry_attrs(*pv, c.entry, d), c.loads);
        std::vector<uint32_t> types;
        for (const auto& x : d) types.push_back(x.type);
        EXPECT_EQ(types, c.types);
        for (const auto& x : d)
            if (x.name == "bigstream") {
                EXPECT_TRUE(x.extents.empty());
            }
    }
}

std::vector<std::string> g_gaps;
void collect_gap(const std::string& line) { g_gaps.push_back(line); }

// A named stream whose name lies outside its attribute is left out and
// said: read as unnamed, "bigstream"'s runs would join the file's own data.
TEST(EntryItems, StreamNamedOutsideItsAttributeIsLeftOut) {
    const std::string path = test_paths::fixture("main.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    auto img = image_patch::load(path);
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    items sound;
    ASSERT_TRUE(collect_entry_attrs(*v, 76, sound));
    // Entry 76: $DATA, $DATA "bigstream" (non-resident), $DATA "Zone.Identifier".
    image_patch::record(img, *v, 76, [](std::span<uint8_t> r) {
        const uint64_t a = image_patch::find_attr(r, 0x80, 1);
        le::put_u16(r, a + attr_header::name_offset, static_cast<uint16_t>(le::u32(r, a + attr_header::length) - 4));
    });
    std::unique_ptr<ntfs_volume> pv;
    ASSERT_TRUE(open_memory_volume(std::move(img), 0, pv));
    reset_damage_reports();
    g_gaps.clear();
    set_damage_sink(collect_gap);
    items d;
    const bool loaded = collect_entry_attrs(*pv, 76, d);
    std::vector<uint8_t> rec;
    items listing;
    const bool read = read_file_record(*pv, 76, rec) && collect_listing_attrs(*pv, 76, rec, listing);
    set_damage_sink(nullptr);
    reset_damage_reports();
    ASSERT_TRUE(loaded);
    ASSERT_TRUE(read);
    for (const items* got : {&d, &listing}) {
        std::vector<std::string> names;
        for (const attr_desc* x : of_type(*got, 0x80)) names.push_back(x->name);
        EXPECT_EQ(names, (std::vector<std::string>{"", "Zone.Identifier"}));
        EXPECT_EQ(clusters_of(*of_type(*got, 0x80)[0]), clusters_of(*of_type(sound, 0x80)[0]));
        EXPECT_EQ(of_type(*got, 0x80)[0]->real_size, of_type(sound, 0x80)[0]->real_size);
    }
    ASSERT_FALSE(g_gaps.empty());
    EXPECT_EQ(g_gaps[0].rfind("MFT entry 76: a $DATA attribute (id ", 0), 0u) << g_gaps[0];
}

// Where the non-resident attribute list of `base` (a record of `v`) lies
// in the image, and its length: in its first cluster.
void place_list(const ntfs_volume& v, le::bytes base, uint64_t& at, uint64_t& length) {
    const uint64_t attr = image_patch::find_attr(base, 0x20);
    ASSERT_NE(attr, 0u);
    const le::bytes la = le::sub(base, attr, le::u32(base, attr + 4));
    std::vector<run> runs;
    ASSERT_TRUE(decode_runlist(la, runs));
    at = uint64_t(runs.at(0).lcn) * v.bytes_per_cluster;
    length = le::u64(la, attr_header::real_size);
}

// Entry 1716 of main.img, whose names spread over extension records: the
// image, its volume, the base record, extension record `ext_entry`, how
// many names that one holds and where the attribute list lies.
struct many_names_file {
    std::vector<uint8_t> img;
    std::unique_ptr<ntfs_volume> v;
    std::vector<uint8_t> base, ext;
    int ext_names = 0;
    uint64_t list_at = 0, list_len = 0;
};

void open_many_names_file(const std::string& path, uint64_t ext_entry, many_names_file& f) {
    f.img = image_patch::load(path);
    ASSERT_TRUE(open_memory_volume(f.img, 0, f.v));
    ASSERT_TRUE(read_file_record(*f.v, 1716, f.base));
    ASSERT_TRUE(read_file_record(*f.v, ext_entry, f.ext));
    while (image_patch::find_attr(f.ext, 0x30, f.ext_names)) ++f.ext_names;
    ASSERT_NO_FATAL_FAILURE(place_list(*f.v, f.base, f.list_at, f.list_len));
}

// Entry 1716 of `image` has `names` names and its one $DATA, through both
// the full load and the listing's name collection.
void expect_many_names_left(std::vector<uint8_t> image, size_t names) {
    std::unique_ptr<ntfs_volume> pv;
    ASSERT_TRUE(open_memory_volume(std::move(image), 0, pv));
    items d;
    ASSERT_TRUE(collect_entry_attrs(*pv, 1716, d));
    EXPECT_EQ(of_type(d, 0x30).size(), names);
    EXPECT_EQ(of_type(d, 0x80).size(), 1u);
    std::vector<uint8_t> rec;
    ASSERT_TRUE(read_file_record(*pv, 1716, rec));
    entry_name_map found;
    ASSERT_TRUE(collect_entry_names(*pv, 1716, rec, false, any_parent, found));
    EXPECT_EQ(found.size(), names);
}

// Entry 1716 keeps 43 of its 46 names in extension records 1717-1727,
// named by a non-resident attribute list. A BAAD record 1717, or a list that
// names the base record or a record that does not exist in its place, loses
// exactly the names of 1717.
TEST(EntryItems, UnusableExtensionRecordsContributeNothing) {
    const std::string path = test_paths::fixture("main.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    many_names_file f;
    ASSERT_NO_FATAL_FAILURE(open_many_names_file(path, 1717, f));
    ASSERT_GT(f.ext_names, 0);
    const auto& img = f.img;
    const auto& v = f.v;
    auto relink = [&](std::vector<uint8_t>& img2, uint64_t to) {
        for (uint64_t p = f.list_at; p < f.list_at + f.list_len; p += le::u16(img2, p + 4)) {
            if (le::u16(img2, p + 4) == 0) break;
            if ((le::u64(img2, p + 16) & entry_number_mask) == 1717) le::put_u64(img2, p + 16, to);
        }
    };
    // 3: the record the list names belongs to another file (its base
    // reference names entry 5): its names are not this entry's.
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        auto copy = img;
        if (k == 0) image_patch::record(copy, *v, 1717, [](std::span<uint8_t> r) { std::copy_n("BAAD", 4, r.begin()); });
        if (k == 1) relink(copy, 1716 | (uint64_t(1) << 48));
        if (k == 2) relink(copy, 0x0000FFFFFFFFFFF0ULL);
        if (k == 3)
            image_patch::record(copy, *v, 1717, [](std::span<uint8_t> r) {
                le::put_u64(r, file_header::base_reference, 5 | (uint64_t(5) << 48));
            });
        expect_many_names_left(std::move(copy), 46 - f.ext_names);
    }
}

// A non-resident attribute list is as long as its data size says; the
// rest of its last cluster is slack, where a list that shrank leaves the
// entries it no longer holds. Here the list of 1716 is made to end before
// the entries of extension record 1727 (its last three names): those names
// are not the entry's, though the bytes after the list's end still name
// them.
TEST(EntryItems, ListEntriesPastTheListsSizeAreNotRead) {
    const std::string path = test_paths::fixture("main.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    many_names_file f;
    ASSERT_NO_FATAL_FAILURE(open_many_names_file(path, 1727, f));
    ASSERT_GT(f.ext_names, 0);
    auto& img = f.img;
    uint64_t cut = 0;
    for (uint64_t p = f.list_at; p < f.list_at + f.list_len && le::u16(img, p + 4) != 0; p += le::u16(img, p + 4))
        if ((le::u64(img, p + 16) & entry_number_mask) == 1727) {
            cut = p - f.list_at;
            break;
        }
    ASSERT_NE(cut, 0u);
    const uint64_t attr = image_patch::find_attr(f.base, 0x20);
    image_patch::record(img, *f.v, 1716, [&](std::span<uint8_t> r) {
        le::put_u64(r, attr + attr_header::real_size, cut);
        le::put_u64(r, attr + attr_header::initialized_size, cut);
    });
    expect_many_names_left(std::move(img), 46 - f.ext_names);
}

// Attribute ids are numbered afresh in every record: an attribute of an
// extension record with the id of one in the base record is an attribute
// of its own, not a repeat. Here the first name of extension record 1717
// is made a $DATA attribute with the id of the base record's $DATA, and
// its list entry made to say so: both streams are the entry's.
TEST(EntryItems, AttributesOfTwoRecordsWithOneIdAreBothKept) {
    const std::string path = test_paths::fixture("main.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    many_names_file f;
    ASSERT_NO_FATAL_FAILURE(open_many_names_file(path, 1717, f));
    auto& img = f.img;
    const auto& v = f.v;
    const auto& base = f.base;
    const auto& ext = f.ext;
    const uint64_t data = image_patch::find_attr(base, 0x80);
    const uint64_t name = image_patch::find_attr(ext, 0x30);
    ASSERT_NE(data, 0u);
    ASSERT_NE(name, 0u);
    const uint16_t data_id = le::u16(base, data + attr_header::id);
    const uint16_t name_id = le::u16(ext, name + attr_header::id);
    image_patch::record(img, *v, 1717, [&](std::span<uint8_t> r) {
        le::put_u32(r, name, 0x80);
        le::put_u16(r, name + attr_header::id, data_id);
    });
    // The list's entry for that name, in the list's cluster.
    bool relisted = false;
    for (uint64_t p = f.list_at; p < f.list_at + f.list_len && le::u16(img, p + 4) != 0; p += le::u16(img, p + 4)) {
        if ((le::u64(img, p + 16) & entry_number_mask) == 1717 && le::u32(img, p) == 0x30 && le::u16(img, p + 24) == name_id) {
            le::put_u32(img, p, 0x80);
            le::put_u16(img, p + 24, data_id);
            relisted = true;
        }
    }
    ASSERT_TRUE(relisted);
    std::unique_ptr<ntfs_volume> pv;
    ASSERT_TRUE(open_memory_volume(std::move(img), 0, pv));
    items d;
    ASSERT_TRUE(collect_entry_attrs(*pv, 1716, d));
    EXPECT_EQ(of_type(d, 0x80).size(), 2u);
    std::vector<uint8_t> rec;
    ASSERT_TRUE(read_file_record(*pv, 1716, rec));
    items listing;
    ASSERT_TRUE(collect_listing_attrs(*pv, 1716, rec, listing));
    EXPECT_EQ(of_type(listing, 0x80).size(), 2u);
}

// Pieces of one non-resident attribute from several records, each with
// the id of its own record and met in any order, make one item that keeps
// the sizes of the piece at VCN 0.
TEST(EntryItems, PiecesWithOtherIdsMergeIntoOneItem) {
    auto piece = [](uint32_t type, uint16_t id, const std::u16string& name, uint64_t vcn, uint8_t lcn) {
        std::vector<uint8_t> a(96, 0);
        le::put_u32(a, 0, type);
        le::put_u32(a, 4, 96);
        a[8] = 1;
        a[9] = static_cast<uint8_t>(name.size());
        le::put_u16(a, 10, 64);
        le::put_u16(a, 14, id);
        le::put_u64(a, 16, vcn);
        le::put_u64(a, 24, vcn + 3);
        le::put_u16(a, 32, 80);
        le::put_u64(a, 48, vcn ? 0 : 0x7000);  // real size, in the first piece only
        image_patch::put_utf16(a, 64, name);
        a[80] = 0x11, a[81] = 4, a[82] = lcn;  // 4 clusters
        return a;
    };
    for (uint32_t type : {0x80u, 0xA0u}) {
        for (bool first_last : {false, true}) {
            SCOPED_TRACE(std::to_string(type) + (first_last ? " VCN 0 last" : " VCN 0 first"));
            parsed_entry pe;
            mft_entries_ctx ctx(nullptr);
            std::vector<std::vector<uint8_t>> pieces{piece(type, 5, u"$I30", 0, 10), piece(type, 0, u"$I30", 4, 20),
                                                     piece(type, 1, u"other", 0, 30)};
            if (first_last) std::swap(pieces[0], pieces[1]);
            for (const auto& p : pieces) {
                bool is_list = false;
                ASSERT_TRUE(parse_attribute(pe, ctx, 64, p, 0, is_list));
            }
            ASSERT_EQ(pe.attributes.size(), 2u);
            const attribute_item& i30 = pe.attributes.begin()->second.name == u"$I30" ? pe.attributes.begin()->second
                                                                                       : pe.attributes.rbegin()->second;
            EXPECT_EQ(le::u64(i30.bytes, 48), 0x7000u);
            ASSERT_EQ(i30.extents.size(), 2u);
            EXPECT_EQ(i30.extents[0].lcn, 10u);
            EXPECT_EQ(i30.extents[1].lcn, 20u);
            EXPECT_EQ(i30.extents[1].vcn, 4u);
        }
    }
}

// What a listing row reads of an item, for comparing two ways of making it.
std::string listing_view(const attr_desc& d) {
    std::ostringstream o;
    o << std::hex << d.type << ' ' << d.attr_id << ' ' << d.attr_flags << ' ' << d.file_ref << ' '
      << int(d.non_resident) << ' ' << d.owner_entry << ' ' << d.allocated_size << ' ' << d.real_size << ' '
      << d.initialized_size << ' ' << d.compressed_size << ' ' << int(d.compression_unit) << ' ' << d.value_length
      << ' ' << int(d.has_object_id) << ' ' << d.record_size << " [" << d.name << "] [" << d.text << "] "
      << d.value.size() << ' ' << d.extents.size();
    for (uint8_t b : d.object_id) o << ' ' << int(b);
    return o.str();
}

// collect_listing_attrs against the full entry load of the same entry: the
// listing types in the same order, with values only for object IDs and no
// extents. `bad` counts entries where they differ.
void compare_listing_items(ntfs_volume& v, uint64_t entries, size_t& compared, size_t& bad) {
    std::vector<uint8_t> rec;
    for (uint64_t e = 0; e < entries; ++e) {
        if (!read_file_record(v, e, rec) || !valid_file_header(rec)) continue;
        items full, listing;
        if (!collect_entry_attrs(v, e, full)) continue;
        ASSERT_TRUE(collect_listing_attrs(v, e, rec, listing)) << e;
        std::vector<std::string> want, got;
        for (attr_desc d : full) {
            if (d.type != 0x40 && d.type != 0x80 && d.type != 0x90 && d.type != 0xA0 && d.type != 0xC0) continue;
            if (d.type != 0x40) d.value.clear();
            d.extents.clear();
            want.push_back(listing_view(d));
        }
        for (const attr_desc& d : listing) got.push_back(listing_view(d));
        ++compared;
        if (want != got) {
            ++bad;
            ADD_FAILURE() << "entry " << e << ": " << (want.empty() ? "" : want[0]) << " / "
                          << (got.empty() ? "" : got[0]);
        }
    }
}

TEST(EntryItems, ListingItemsMatchTheFullLoad) {
    size_t compared = 0, bad = 0;
    for (const char* name : {"main.img", "mftfrag.img", "bigdir.img", "deleted.img"}) {
        const std::string path = test_paths::fixture(name);
        if (path.empty()) continue;
        SCOPED_TRACE(name);
        std::unique_ptr<ntfs_volume> v;
        ASSERT_TRUE(open_volume_by_path(uni::to_utf16(path), 0, v));
        compare_listing_items(*v, mft_entries_in_use(*v), compared, bad);
    }
    for (const char* name : {"ntfs3.raw", "ntfs3_attrlist.raw", "7-undel-ntfs/7-ntfs-undel.dd"}) {
        const std::string path = test_paths::testdata(name);
        if (path.empty()) continue;
        SCOPED_TRACE(name);
        std::unique_ptr<ntfs_volume> v;
        ASSERT_TRUE(open_volume_by_path(uni::to_utf16(path), 0, v));
        compare_listing_items(*v, mft_entries_in_use(*v), compared, bad);
    }
    EXPECT_GT(compared, 1000u);
    EXPECT_EQ(bad, 0u);
}

// The same on damaged records: two streams of one name, two of one id, and
// rounds of one byte changed in the attributes of every record.
TEST(EntryItems, ListingItemsMatchTheFullLoadOnDamagedRecords) {
    const std::string path = test_paths::fixture("main.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    const auto img = image_patch::load(path);
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    const uint64_t entries = mft_entries_in_use(*v);
    using image_patch::find_attr;
    // Entry 76 holds $DATA, $DATA "bigstream" (non-resident) and $DATA "Zone.Identifier".
    const std::function<void(std::span<uint8_t>)> named_twice = [](std::span<uint8_t> r) {
        const uint64_t a = find_attr(r, 0x80, 2);
        r[a + attr_header::name_length] = 9;
        image_patch::put_utf16(r, a + le::u16(r, a + attr_header::name_offset), u"bigstream");
    };
    const std::function<void(std::span<uint8_t>)> same_id = [](std::span<uint8_t> r) {
        le::put_u16(r, find_attr(r, 0x80, 2) + attr_header::id, le::u16(r, find_attr(r, 0x80, 1) + attr_header::id));
    };
    for (const auto& edit : {named_twice, same_id}) {
        auto copy = img;
        image_patch::record(copy, *v, 76, edit);
        std::unique_ptr<ntfs_volume> pv;
        ASSERT_TRUE(open_memory_volume(std::move(copy), 0, pv));
        size_t compared = 0, bad = 0;
        compare_listing_items(*pv, 77, compared, bad);
        EXPECT_EQ(bad, 0u);
    }
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        auto copy = img;
        for (uint64_t e = 0; e < entries; ++e) {
            image_patch::record(copy, *v, e, [&](std::span<uint8_t> r) {
                const uint64_t first = le::u16(r, file_header::first_attribute);
                if (first == 0 || first >= r.size()) return;
                const uint64_t at = first + next() % (r.size() - first);
                r[at] = static_cast<uint8_t>(next());
            });
        }
        std::unique_ptr<ntfs_volume> pv;
        ASSERT_TRUE(open_memory_volume(std::move(copy), 0, pv));
        size_t compared = 0, bad = 0;
        compare_listing_items(*pv, entries, compared, bad);
        EXPECT_EQ(bad, 0u);
    }
}

// Hand-made index nodes: header at 0 with entries from offset 16.
struct node_entry {
    uint64_t ref;
    uint16_t length, key_length, flags;
};

std::vector<uint8_t> node(uint32_t in_use, const std::vector<node_entry>& entries, size_t size = 8192) {
    std::vector<uint8_t> b(size, 0);
    le::put_u32(b, 0, 16);
    le::put_u32(b, 4, in_use);
    uint64_t at = 16;
    for (const auto& e : entries) {
        le::put_u64(b, at, e.ref);
        le::put_u16(b, at + 8, e.length);
        le::put_u16(b, at + 10, e.key_length);
        le::put_u16(b, at + 12, e.flags);
        at += e.length;
    }
    return b;
}

TEST(IndexNode, WalkStopsAtTheFirstBadEntry) {
    const node_entry a{0x0002000000000040ULL, 88, 70, 0}, b{0x41, 96, 74, 1}, last{0, 16, 0, 2};
    struct row {
        const char* what;
        std::vector<uint8_t> buf;
        bool ok;
        std::vector<uint64_t> children;
    };
    const row rows[] = {
        {"live entries, sub-node flag, last entry", node(300, {a, b, {0x42, 88, 70, 2}, last}), true, {0x40, 0x41}},
        {"last entry with sub-node", node(300, {a, {0x42, 24, 0, 3}, b}), true, {0x40}},
        {"flags 4 count as live", node(300, {a, {0x43, 88, 70, 4}, last}), true, {0x40, 0x43}},
        {"reference 0", node(300, {{0, 88, 70, 0}, a}), true, {}},
        {"bytes in use 0", node(0, {a, last}), false, {}},
        {"bytes in use 4097", node(4097, {a, last}), false, {}},
        {"bytes in use 4096", node(4096, {a, last}), true, {}},
        {"next entry length over 768", node(2000, {a, {0x44, 769, 70, 0}}), true, {0x40}},
        {"next entry length 0", node(300, {a, {0x44, 0, 70, 0}}), true, {0x40}},
        {"key longer than its entry", node(300, {{0x45, 88, 100, 0}, a}), true, {}},
        {"entry longer than the bytes in use", node(80, {a, b}), true, {}},
        {"entries past the buffer", node(4000, {a, a, a}, 200), true, {0x40}},
        {"header past the buffer", std::vector<uint8_t>(8, 0), false, {}},
    };
    // One set for every case, emptied between them, as the walk keeps one
    // from folder to folder: each case gives only its own children.
    child_entry_set s;
    for (const auto& r : rows) {
        s.clear();
        EXPECT_EQ(walk_index_node(s, r.buf, 0, false), r.ok) << r.what;
        std::vector<uint64_t> got;
        for (const auto& [c, flag] : s) got.push_back(c);
        EXPECT_EQ(got, r.children) << r.what;
    }
}

// The walk says whether it came to the node's end entry where the bytes in
// use end: a stop on a damaged entry leaves out those after it.
TEST(IndexNode, WalkSaysWhetherItCameToTheEndEntry) {
    const node_entry a{0x40, 88, 70, 0}, b{0x41, 96, 74, 1}, last{0, 16, 0, 2};
    struct row {
        const char* what;
        std::vector<uint8_t> buf;
        bool whole;
    };
    // Entries from 16: a, b and the end entry take 88 + 96 + 16 bytes.
    const row rows[] = {
        {"entries and the end entry", node(216, {a, b, last}), true},
        {"the end entry alone", node(32, {last}), true},
        {"end entry with sub-node", node(224, {a, b, {0, 24, 0, 3}}), true},
        {"entry length 0", node(216, {a, {0x41, 0, 74, 0}, last}), false},
        {"next entry length over 768", node(2000, {a, {0x44, 769, 70, 0}}), false},
        {"key longer than its entry", node(216, {a, {0x41, 96, 100, 0}, last}), false},
        {"reference 0 before the end", node(216, {a, {0, 96, 74, 0}, last}), false},
        {"end flag before the bytes in use end", node(216, {a, {0x41, 96, 74, 2}, last}), false},
        {"bytes in use inside an entry", node(120, {a, b, last}), false},
        {"bytes in use 0", node(0, {a, last}), false},
        {"entries past the buffer", node(4000, {a, a, a}, 200), false},
    };
    child_entry_set s;
    for (const auto& r : rows) {
        s.clear();
        bool whole = !r.whole;
        walk_index_node(s, r.buf, 0, false, whole);
        EXPECT_EQ(whole, r.whole) << r.what;
    }
}

}  // namespace
