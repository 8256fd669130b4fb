// The directory listing driver: turns the start entry (a directory, or a
// file, optionally with a stream name) into ordered rows, hands each
// directory's rows to the writer the options choose, and descends into
// subdirectories depth first.
#pragma once

#include "cli/options.hpp"
#include "ntfs/volume.hpp"
#include "output/listing.hpp"
#include "output/progress.hpp"

#include <cstdint>
#include <string>
#include <vector>

// Lists `opts.start_entry` shown as `opts.list_path`. False when the start
// entry's record cannot be read.
bool list_directory(brelvik_opts& opts, ntfs_volume& v);

// Writes the rows in `opts.rows` for directory `entry` shown as `path`,
// then the subdirectories the level count reaches.
// `progress`, when given, counts the entries listed.
bool write_directory(brelvik_opts& opts, ntfs_volume& v, const std::u16string& path, uint64_t entry, int32_t levels,
                     listing_progress* progress = nullptr);

// Fills `rows` with a subdirectory's own rows and its children's rows.
// With `keep_folders` (the child folders are listed next), the records of
// the child folders are kept for their own listing.
bool collect_subdirectory(ntfs_volume& v, const std::u16string& path, uint64_t entry, listing_rows& rows, bool show_indx,
                          brelvik_opts& opts, listing_progress* progress = nullptr, bool keep_folders = false);

// Builds and inserts the rows of one entry from its FILE record.
bool add_entry_rows(ntfs_volume& v, le::bytes record, uint64_t entry, uint64_t parent, const std::u16string& path,
                    listing_rows& rows, bool show_indx, bool is_child, brelvik_opts& opts);

// The deleted records of the volume (-deleted): the one pass over the MFT,
// made the first time and kept in `opts` for the rest of the run.
deleted_map& volume_deleted_map(ntfs_volume& v, brelvik_opts& opts);

// Subdirectories are descended at most this deep. The walk recurses once
// per level, so the depth is capped where every platform's stack holds it;
// 4096 levels is far deeper than any real folder tree.
constexpr size_t max_listing_depth = 4096;
