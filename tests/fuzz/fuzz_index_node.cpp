// The index node walk over fuzzed nodes: INDX blocks (header at 24, with
// and without their fixups) and $INDEX_ROOT values (header at 16).
#include "fuzz_input.hpp"

#include "ntfs/index_node.hpp"

#include <algorithm>

int fuzz::fuzz_index_node(const uint8_t* data, size_t size) {
    const le::bytes in(data, size);
    for (bool past_end : {false, true}) {
        child_entry_set s;
        walk_index_node(s, in, indx_node_offset, past_end);
        walk_index_node(s, in, root_node_offset, past_end);
    }
    // Fixed up as the index reader does, one block at a time.
    std::vector<uint8_t> block(data, data + std::min<size_t>(size, index_block_size));
    fixup_index_block(block);
    child_entry_set s;
    walk_index_node(s, block, indx_node_offset, false);
    return 0;
}
