// Runs The Sleuth Kit on an image and parses what it prints, as an
// independent reading of the same bytes the tests check.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tsk {

// Runs a shell command and captures its standard output; false on failure.
bool run(const std::string& command, std::string& out);

struct fs_facts {
    uint64_t cluster_size = 0;
    uint64_t sector_size = 0;
    uint64_t record_size = 0;
    uint64_t mft_first_cluster = 0;
    uint64_t last_entry = 0;          // the top of fsstat's "Range"
    uint64_t total_clusters = 0;      // the top of the cluster range + 1
};
// fsstat -f ntfs -o SECTOR IMAGE
bool fsstat(const std::string& image, uint64_t sector_offset, fs_facts& out);

// The cluster addresses istat lists for the unnamed $DATA of an entry.
bool istat_data_clusters(const std::string& image, uint64_t sector_offset, uint64_t entry,
                         std::vector<uint64_t>& clusters);

// One line of fls -r -p: entry number, path, deleted flag, type letters.
struct fls_entry {
    uint64_t entry = 0;
    std::string path;
    std::string type;       // e.g. "r/r", "d/d"
    std::string stream;     // the text after ':' in the name, if any
    uint32_t attr_type = 0; // the attribute type of the stream (128 for $DATA)
    bool deleted = false;
};
bool fls(const std::string& image, uint64_t sector_offset, const std::string& extra_args, std::vector<fls_entry>& out);

}  // namespace tsk
