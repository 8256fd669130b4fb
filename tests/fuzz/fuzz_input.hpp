// What the fuzz targets share: the layout of an image-like input and the
// targets' entry points.
//
// Volume-level targets read an image given as patches over zeros, so that
// a seed holds only the sectors a volume's structures occupy (boot sector,
// MFT records, index blocks) while they keep their real offsets:
//
//   input := chunk*
//   chunk := offset:u32le length:u16le bytes[length]
//
// The image ends at the furthest chunk end. A chunk at `param_chunk_offset`
// is no image bytes but a parameter for the target (a path to resolve).
// A chunk cut short by the end of the input keeps the bytes it has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Images are at most 8 MiB: every seed volume's MFT and the index blocks
// that matter lie below it, and a larger image costs a zeroed allocation
// per run that slows the fuzzer without reaching new code.
constexpr uint64_t max_image_bytes = 8u << 20;
constexpr uint32_t param_chunk_offset = 0xFFFFFFFFu;
// Head of one chunk: a 4-byte offset and a 2-byte length.
constexpr size_t chunk_head_bytes = 6;

struct image_input {
    std::vector<uint8_t> image;
    std::string param;  // bytes of the last parameter chunk
};

image_input decode_image(const uint8_t* data, size_t size);

// A private folder, removed with its files at exit, for the targets whose
// readers open files by name (container files and the parents they name).
struct scratch_folder {
    std::string path;  // ends in '/'; empty when it could not be made
    explicit scratch_folder(const char* tag);
    ~scratch_folder();
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;
    // Writes `bytes` as file `name` of the folder and returns its path;
    // "" on failure.
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const;
    void remove(const std::string& name) const;
};

// Reads a container file and the one parent it may name: the image goes
// to `child` in `folder`; a parameter chunk, itself chunks over zeros,
// becomes the file `parent` beside it (removed when there is none). The
// container is opened, read at its start, middle and end, and the NTFS
// volume at its start listed, as `-image` would.
void run_container(const scratch_folder& folder, const uint8_t* data, size_t size, const std::string& child,
                   const std::string& parent);

// Volume-level targets look at entries below this: the system files and
// the first user files of the seeds, few enough to keep a run short.
constexpr uint64_t max_fuzz_entries = 64;

// The targets; each takes one input and returns 0 (libFuzzer's convention).
int fuzz_volume(const uint8_t* data, size_t size);
int fuzz_entry(const uint8_t* data, size_t size);
int fuzz_attribute(const uint8_t* data, size_t size);
int fuzz_runlist(const uint8_t* data, size_t size);
int fuzz_index_node(const uint8_t* data, size_t size);
int fuzz_directory(const uint8_t* data, size_t size);
int fuzz_paths(const uint8_t* data, size_t size);
int fuzz_listing(const uint8_t* data, size_t size);
int fuzz_partitions(const uint8_t* data, size_t size);
int fuzz_vmdk(const uint8_t* data, size_t size);
int fuzz_vhd(const uint8_t* data, size_t size);
int fuzz_vhdx(const uint8_t* data, size_t size);
int fuzz_ewf(const uint8_t* data, size_t size);
int fuzz_inflate(const uint8_t* data, size_t size);

}  // namespace fuzz
