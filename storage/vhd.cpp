#include "storage/container.hpp"

#include "platform/unicode.hpp"

bool open_vhd(const std::u16string& path, std::unique_ptr<disk_container>& out, std::string& message) {
    out.reset();
    message = "VHD images can't be read yet: " + uni::to_utf8(path);
    return false;
}
