// Runlists (mapping pairs) of non-resident attributes: decoding, extents,
// merging pieces, VCN mapping and reading byte ranges.
#pragma once

#include "storage/le.hpp"

#include <cstdint>
#include <string>
#include <vector>

struct ntfs_volume;

// One decoded run.
struct run {
    int64_t lcn = 0;          // absolute first cluster; MFT decoder: -1 when sparse
    uint64_t delta = 0;       // magnitude of the offset field (bounded decoder)
    uint32_t length = 0;      // clusters
    uint64_t vcn = 0;         // first VCN of the run
    uint8_t negative = 0;     // the offset field was negative
    uint8_t resident = 0;     // pseudo-run standing for a resident $DATA value
    uint8_t has_offset = 0;   // the run carried an offset field (F > 0)
    std::vector<uint8_t> resident_bytes;
    uint32_t resident_length = 0;
    uint32_t attr_type = 0;
    std::string name;
    uint64_t position = 0;    // offset of the run's header byte in the attribute
};

// One run of a non-resident attribute as the rest of the engine sees it.
struct extent {
    uint64_t lcn = 0;     // 0 for a sparse extent
    uint64_t vcn = 0;
    uint64_t sparse = 0;  // 0 or 1
    uint32_t length = 0;  // clusters
};

// A runlist may hold at most this many runs before decoding stops: an
// attribute record is at most one MFT record long (64 KiB here), and every
// run takes at least two bytes.
constexpr size_t max_runs_per_runlist = 32768;

// Decodes the MFT's own runlist from `runlist` (bounded by the attribute's
// end). Sparse runs get lcn -1. True when at least one run was decoded.
bool decode_mft_runs(le::bytes runlist, std::vector<run>& out, uint32_t attr_type, bool empty_first);

// Decodes the runlist of a non-resident attribute (header included, the
// span ends at the attribute's end). False when the attribute is missing or
// has length 0.
bool decode_runlist(le::bytes attribute, std::vector<run>& out);

std::vector<extent> runs_to_extents(const std::vector<run>& runs);

// Merges `added` into `existing` by VCN (existing extents win on equal
// VCNs) and renumbers the VCNs from 0.
void merge_extents(std::vector<extent>& existing, const std::vector<extent>& added);

// Finds the extent covering `vcn`: its index and the LCN (0 when sparse).
bool map_vcn(const std::vector<extent>& extents, uint64_t vcn, size_t& index, uint64_t& lcn);

// Total clusters of the extents; with `allocated_only`, sparse ones left out.
uint64_t total_clusters(const std::vector<extent>& extents, bool allocated_only);

// Flags of read_range.
constexpr uint32_t read_range_skip_sparse = 0x1;  // in: leave sparse clusters out
constexpr uint32_t read_range_hit_sparse = 0x2;   // out: a sparse cluster was zero-filled

// Reads `length` bytes of an attribute's data from byte `start` (fewer at
// the end of the extents). `length` is in/out.
bool read_range(ntfs_volume& volume, const std::vector<extent>& extents, uint64_t start, uint8_t* buffer,
                uint32_t& length, uint32_t& flags);
