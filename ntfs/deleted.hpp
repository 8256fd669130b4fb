// Deleted entries in the MFT: one sequential pass over the MFT finds the
// records no longer in use that still carry a $FILE_NAME, and keeps, for
// each, only which folder each name places it in. From that map a folder's
// deleted children are listed, deleted folders are descended into, and the
// records that no folder in use reaches are told apart as orphans.
//
// A name's parent reference carries the parent's sequence number as it was
// when the name was written. It is compared with the parent's record now:
// a parent in use must have the same number (else its record was reused by
// another file and the name is an orphan); a parent no longer in use may
// have it or one more, because NTFS counts a record's sequence number up
// when it frees the record.
#pragma once

#include "ntfs/volume.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// One name of a deleted record: the folder it names as parent.
struct deleted_link {
    uint64_t parent = 0;      // the parent's entry number
    uint64_t entry = 0;       // the deleted record
    uint16_t parent_seq = 0;  // the parent's sequence number the name holds
};

// What a parent record is now.
struct parent_state {
    bool valid = false;  // a FILE record could be read
    bool in_use = false;
    bool directory = false;
    uint16_t seq = 0;
};

// Where the chain of parents from a deleted record ends.
enum class deleted_place : uint8_t {
    unknown = 0,
    reached,      // at a folder in use
    orphan_tree,  // inside a deleted folder that is itself an orphan
    orphan,       // listed directly under the orphan folder
};

// One deleted record as classify_deleted places it.
struct deleted_record {
    uint64_t entry = 0;
    // The parent its listed name stands in: the folder its chain goes
    // through, else (an orphan without such a folder) its first link's.
    uint64_t parent = 0;
    bool has_home = false;     // `parent` is a folder that holds the record
    bool home_in_use = false;  // and that folder is in use
    deleted_place place = deleted_place::unknown;
};

struct deleted_map {
    // Ordered by parent, then entry; one link per record and parent.
    std::vector<deleted_link> links;
    // The parents looked at so far, by entry number (at most one per link).
    std::map<uint64_t, parent_state> parents;
    // Filled by classify_deleted: every record of `links` once, in
    // ascending entry number, and the orphans among them.
    bool classified = false;
    std::vector<deleted_record> records;
    std::vector<uint64_t> orphans;
};

// The MFT is read in pieces of this size: large enough that the pass costs
// few reads, small enough to stay out of the way of everything else.
constexpr uint32_t mft_pass_chunk_bytes = 1024 * 1024;
// Records of one deleted chain are followed at most this far: as deep as
// the listing descends.
constexpr size_t max_deleted_chain = 4096;

// The entries the MFT holds: as many as its data size covers (its runs
// may reserve more).
uint64_t mft_entries_in_use(const ntfs_volume& v);

// The folder that holds the orphans of a volume, and how its rows name it.
constexpr std::u16string_view orphan_folder_name = u"$OrphanFiles";
// Its entry number: one past the MFT's last entry, which no record has.
uint64_t orphan_folder_entry(const ntfs_volume& v);

// Appends the links of one record (its fixups applied) read as `entry`:
// nothing when it is in use, not a base record or has no $FILE_NAME. A
// record naming the same parent twice (a long and a DOS name) gives one link.
void record_deleted_links(le::bytes record, uint64_t entry, std::vector<deleted_link>& out);

// The one pass over the MFT. It reads at most as many bytes as the source
// holds, whatever the MFT's runs claim. The names of extension records no
// longer in use are links of their base record when that record is a
// deleted file of the same sequence number or one more.
bool build_deleted_map(ntfs_volume& v, deleted_map& out);

// The state of a parent record, read once and remembered.
const parent_state& parent_of(ntfs_volume& v, deleted_map& m, uint64_t parent);

// True when a record no longer in use whose header holds `record_seq` is
// still the file that a reference holding `ref_seq` named: the same
// number, or the one more that NTFS gives a record when it frees it.
bool freed_record_matches(uint16_t record_seq, uint16_t ref_seq);

// True when the link places its record in its parent: a folder in use with
// the same sequence number, or a folder no longer in use with the same
// number or one more.
bool link_holds(ntfs_volume& v, deleted_map& m, const deleted_link& link);

// Places every record of the map (once; later calls return at once).
void classify_deleted(ntfs_volume& v, deleted_map& m);

// The deleted records that a folder lists: those whose name places them
// there, in ascending entry number. Orphans are left out: they stand in the
// orphan folder only.
std::vector<uint64_t> deleted_children(ntfs_volume& v, deleted_map& m, uint64_t folder);

// Where the listing shows a deleted record: the folder in use the chain of
// parents reaches, and the names below it (the record's own last), or, for
// an orphan's chain, the orphan folder's entry and the names from the orphan
// down. False when the record is not in the map.
bool deleted_entry_place(ntfs_volume& v, deleted_map& m, uint64_t entry, uint64_t& folder,
                         std::vector<std::u16string>& names);
