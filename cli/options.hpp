// The option record of the listing and the common option parser that fills
// it from the command line.
#pragma once

#include "cli/args.hpp"
#include "cli/params.hpp"
#include "output/listing.hpp"

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

struct deleted_map;

struct brelvik_opts : cmd_params {
    std::ostream* out = nullptr;     // where the writers print; not owned
    std::u16string image_path;       // image file or shadow-copy device path
    int32_t drive_number = -1;       // -drivenum
    uint64_t volume_offset = 0;      // byte offset of the NTFS volume in the source
    std::u16string list_path;        // path being listed
    listing_rows rows;
    uint64_t start_entry = 0;
    // The directory holding the start entry as path resolution found it;
    // all bits set when not known. A file with hard links in several
    // directories is listed under the one the path named.
    uint64_t start_parent = ~uint64_t(0);
    // The name the path gave the start entry, while its own rows are made:
    // a file with several hard links in that directory is listed under the
    // one the path named. Empty otherwise.
    std::u16string start_name;
    uint8_t show_indx = 0;           // -indx
    uint8_t show_objid = 0;          // -objid
    uint8_t all_dates = 0;           // -alldates
    uint8_t path_only = 0;           // -filepath_only
    uint8_t resolve_links = 1;       // handed unchanged to path resolution
    // The path came from a host path on a mounted volume: its names are
    // spelled as stored, and are matched so first.
    uint8_t host_names = 0;
    // The start entry was chosen by number (-mft): the path only shows
    // where it stands, and a ':' in it names no stream.
    uint8_t path_shown_only = 0;
    int32_t levels = 1;              // -recurse / -level
    uint8_t last_level = 0;          // kept by the listing
    uint8_t listing_spare = 0;       // kept by the listing
    uint8_t show_deleted = 0;        // -deleted
    // The deleted records of the volume, made by the listing the first
    // time it needs them and kept for the rest of the run.
    std::shared_ptr<deleted_map> deleted;
};

// Sets the CSV separator and the field escape that goes with it.
void set_separator(cmd_params& params, std::string_view text);

// Takes every option the family of tools shares out of `args` and stores it.
// False when the run must stop; the reason has been reported.
bool parse_common_options(cmd_params& params, arg_list& args);

// Takes -vmdk (its file list) and, with it, -offset, opens the chain and
// finds its NTFS volume. False (after reporting why) when the chain does
// not open or holds no NTFS volume.
bool take_vmdk_option(brelvik_opts& opts, arg_list& args);

// False (after reporting it) when a file the run would write - the results
// file, the diagnostics log or the XML file `xml_name` - is one of the
// files it reads: the -image file (with the other segments or pieces of its
// set) or a -vmdk file. Writing it would destroy the evidence, and the
// results file is removed already while the options are read, so this is
// asked before any of them is opened.
bool outputs_spare_inputs(const arg_list& args, const std::string& xml_name);
