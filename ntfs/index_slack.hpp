// Names recovered from the slack of $I30 index nodes: the bytes after a
// node's end entry, and the whole of the INDX blocks the index bitmap marks
// free. Inserting and removing entries shifts the live ones and leaves
// copies of earlier entries behind; those that are still whole are read
// here as they stand.
#pragma once

#include "ntfs/names.hpp"
#include "storage/le.hpp"

#include <cstdint>
#include <string>
#include <vector>

// One index entry read from slack: the file reference it held and the
// $FILE_NAME copy that was its key (its name key is left empty: most
// entries are copies of live ones and are dropped unread).
struct slack_entry {
    uint64_t file_ref = 0;  // entry number and sequence number
    entry_name name;        // name, parent reference and the first 68 value bytes
};

// What the slack of one directory's index gave. The same stale entry is
// often left in many places; the repeats are kept here and fold where the
// entries are used.
struct index_slack {
    uint64_t directory = 0;    // the directory whose index is read
    uint64_t entry_limit = 0;  // entries of the MFT: a reference at or beyond it is garbage
    std::vector<slack_entry> entries;
};


// The head of an index entry and the fixed part of a $FILE_NAME key.
constexpr uint32_t index_entry_head = 16;
constexpr uint32_t file_name_fixed = 66;
// Index entries start on 8-byte boundaries of their node.
constexpr uint32_t index_entry_alignment = 8;

// Reads the entry at `pos` when it is whole inside [pos, end) of `node` and
// plausible: a reference inside the MFT with a sequence number, lengths that hold the key, a key
// that is a $FILE_NAME naming the directory as parent, a namespace NTFS
// knows and a name of valid UTF-16 without NUL. `length` receives the bytes
// the entry takes (its key rounded to the alignment).
bool read_slack_entry(le::bytes node, uint64_t pos, uint64_t end, uint64_t directory, uint64_t entry_limit,
                      slack_entry& out, uint64_t& length);

// Collects the plausible entries of one node whose header is at
// `node_offset` of `buffer`: with `whole_node`, every place from the first
// entry on (a block the bitmap marks free); otherwise only the bytes after
// the end entry. The node's allocated size bounds the scan, and the buffer
// bounds that.
void collect_node_slack(le::bytes buffer, uint64_t node_offset, bool whole_node, index_slack& slack);

// True when `name` is UTF-16 an index key can hold: no NUL unit and every
// surrogate paired.
bool valid_utf16_name(std::u16string_view name);
