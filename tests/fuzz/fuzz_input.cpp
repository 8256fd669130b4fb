#include "fuzz_input.hpp"

#include "storage/le.hpp"

#include <algorithm>
#include <cstring>

namespace fuzz {

image_input decode_image(const uint8_t* data, size_t size) {
    image_input out;
    const le::bytes in(data, size);
    // First pass: the image's length, so that it is allocated once.
    uint64_t end = 0;
    for (size_t pos = 0; pos + chunk_head_bytes <= size;) {
        const uint32_t at = le::u32(in, pos);
        const size_t len = std::min<size_t>(le::u16(in, pos + 4), size - pos - chunk_head_bytes);
        if (at != param_chunk_offset) end = std::max<uint64_t>(end, std::min<uint64_t>(uint64_t(at) + len, max_image_bytes));
        pos += chunk_head_bytes + len;
    }
    out.image.assign(static_cast<size_t>(end), 0);
    for (size_t pos = 0; pos + chunk_head_bytes <= size;) {
        const uint32_t at = le::u32(in, pos);
        const size_t len = std::min<size_t>(le::u16(in, pos + 4), size - pos - chunk_head_bytes);
        const uint8_t* bytes = data + pos + chunk_head_bytes;
        if (at == param_chunk_offset) {
            out.param.assign(reinterpret_cast<const char*>(bytes), len);
        } else if (at < end) {
            std::memcpy(out.image.data() + at, bytes, std::min<size_t>(len, static_cast<size_t>(end - at)));
        }
        pos += chunk_head_bytes + len;
    }
    return out;
}

}  // namespace fuzz
