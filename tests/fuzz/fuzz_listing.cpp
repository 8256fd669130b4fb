// The whole listing: the path of the parameter chunk (or the root) is
// resolved and listed with unlimited recursion into a stream that drops
// everything, once as it is and once with -deleted (index slack, the MFT
// pass, deleted folders and the orphan folder).
#include "fuzz_input.hpp"

#include "cli/options.hpp"
#include "ntfs/open_volume.hpp"
#include "ntfs/resolve.hpp"
#include "output/listing_driver.hpp"
#include "output/sinks.hpp"
#include "platform/unicode.hpp"

int fuzz::fuzz_listing(const uint8_t* data, size_t size) {
    image_input in = decode_image(data, size);
    const std::u16string path = in.param.empty() ? u"\\" : uni::to_utf16(in.param);
    std::unique_ptr<ntfs_volume> v;
    if (!open_memory_volume(std::move(in.image), 0, v)) return 0;
    resolve_result found;
    if (!resolve_path(*v, path, true, nullptr, found)) found.found = 5;

    for (uint8_t deleted : {0, 1}) {
        null_out_stream out;
        brelvik_opts opts;
        opts.out = &out;
        opts.list_path = path;
        opts.start_entry = found.found;
        opts.levels = -2;  // no depth limit: every subdirectory
        opts.show_indx = 1;
        opts.show_objid = 1;
        opts.show_deleted = deleted;
        list_directory(opts, *v);
        // The same listing from the root, where the orphan folder hangs.
        if (deleted && found.found != 5) {
            opts.rows.clear();
            opts.list_path = u"\\";
            opts.start_entry = 5;
            list_directory(opts, *v);
        }
    }
    return 0;
}
