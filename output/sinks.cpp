#include "output/sinks.hpp"

#include "platform/platform.hpp"
#include "platform/unicode.hpp"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <limits>

namespace {

// Largest piece handed to one low-level write.
constexpr size_t write_chunk = 1u << 30;

}  // namespace

FileIo::FileIo() = default;

FileIo::~FileIo() { close(); }

bool FileIo::open_as(std::u16string_view name, bool text, bool write_access, bool truncate) {
    close();
    const platform::open_mode mode = !write_access ? platform::open_mode::read
                                     : text        ? platform::open_mode::text_write
                                                   : platform::open_mode::read_write;
    const int descriptor = platform::open_file(name, mode, truncate);
    if (descriptor < 0) return false;
    fd = descriptor;
    opened = 1;
    writable = write_access ? 1 : 0;
    untranslated = text ? 0 : 1;
    path = std::u16string(name);
    const int64_t end = platform::seek_file(fd, 0, 2);
    length = end < 0 ? 0 : end;
    platform::seek_file(fd, 0, 0);
    return true;
}

bool FileIo::open_text_write(std::u16string_view name, bool truncate) {
    platform::set_attributes_normal(name);
    return open_as(name, true, true, truncate);
}

bool FileIo::open_untranslated(std::u16string_view name, bool write_access, bool truncate) {
    return open_as(name, false, write_access, truncate);
}

void FileIo::open_memory() {
    close();
    in_memory = 1;
    memory.clear();
    memory_length = 0;
}

bool FileIo::usable() const { return in_memory != 0 || (fd != -1 && opened != 0); }

bool FileIo::write(const void* data, size_t n) {
    if (!usable() || data == nullptr) return false;
    if (n == 0) return true;
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (in_memory) {
        memory.insert(memory.end(), bytes, bytes + n);
        memory_length += n;
        return true;
    }
    if (platform::seek_file(fd, 0, 2) < 0) return false;
    while (n > 0) {
        const size_t piece = std::min(n, write_chunk);
        if (platform::write_file(fd, bytes, static_cast<uint32_t>(piece)) != static_cast<int64_t>(piece)) return false;
        bytes += piece;
        n -= piece;
    }
    const int64_t end = platform::seek_file(fd, 0, 1);
    if (end >= 0) length = end;
    return true;
}

bool FileIo::write_text(const std::ostringstream& text) {
    const std::string s = text.str();
    return write(s.data(), s.size());
}

bool FileIo::read_at(uint64_t offset, std::span<uint8_t> out) {
    if (!usable()) return false;
    if (out.empty()) return true;
    if (in_memory) {
        if (offset > memory.size() || out.size() > memory.size() - offset) return false;
        std::memcpy(out.data(), memory.data() + offset, out.size());
        return true;
    }
    if (offset > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    size_t done = 0;
    while (done < out.size()) {
        const size_t piece = std::min(out.size() - done, write_chunk);
        const int64_t got = platform::pread_file(fd, out.data() + done, static_cast<uint32_t>(piece),
                                                 static_cast<int64_t>(offset + done));
        if (got != static_cast<int64_t>(piece)) return false;
        done += piece;
    }
    return true;
}

uint64_t FileIo::size() {
    if (in_memory) return memory_length;
    if (fd == -1) return 0;
    const int64_t end = platform::seek_file(fd, 0, 2);
    return end < 0 ? 0 : static_cast<uint64_t>(end);
}

void FileIo::close() {
    if (attached_stream) {
        attached_stream->flush();
        attached_stream.reset();
    }
    if (in_memory) {
        memory.clear();
        memory_length = 0;
        in_memory = 0;
    }
    if (fd != -1) platform::close_file(fd);
    fd = -1;
    opened = 0;
    writable = 0;
}

namespace uni {

fileio_ostream::~fileio_ostream() { sync(); }

std::streamsize fileio_ostream::write(const char* data, std::streamsize n) {
    return file_.write(data, static_cast<size_t>(n)) ? n : -1;
}

fileio_output::fileio_output(FileIo& file) : std::ostream(nullptr), buffer_(file) {
    if (file.usable()) rdbuf(&buffer_);
}

fileio_output::~fileio_output() {
    if (rdbuf()) flush();
}

}  // namespace uni

std::ostream* make_file_stream(FileIo& file) {
    if (!file.usable()) return nullptr;
    if (file.attached_stream) file.attached_stream.reset();
    file.attached_stream = std::make_unique<uni::fileio_output>(file);
    return file.attached_stream.get();
}

owned_file_output::owned_file_output() : std::ostream(nullptr) {}

owned_file_output::~owned_file_output() {
    if (buffer_) flush();
    rdbuf(nullptr);
    buffer_.reset();
    file_.close();
}

bool owned_file_output::open(std::string_view name, bool truncate) {
    const std::u16string wide = uni::to_utf16(name);
    if (wide.empty() || !file_.open_text_write(wide, truncate)) return false;
    buffer_ = std::make_unique<uni::fileio_ostream>(file_);
    rdbuf(buffer_.get());
    return true;
}

std::unique_ptr<std::ostream> open_text_output(std::string_view name, bool truncate) {
    auto stream = std::make_unique<owned_file_output>();
    if (!stream->open(name, truncate)) return nullptr;
    return stream;
}

deferred_flush_buf::deferred_flush_buf(std::streambuf* target) : target_(target) {
    try {
        buffer_.resize(buffer_size);
        setp(buffer_.data(), buffer_.data() + buffer_.size());
    } catch (const std::bad_alloc&) {
        buffer_.clear();  // without an area every character goes through overflow
    }
    last_pass_ = platform::monotonic_seconds();
}

deferred_flush_buf::~deferred_flush_buf() { drain(); }

bool deferred_flush_buf::pass_on() {
    const std::streamsize n = pptr() - pbase();
    const bool ok = n == 0 || (target_ && target_->sputn(pbase(), n) == n);
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    flushed_ = 0;
    last_pass_ = platform::monotonic_seconds();
    return ok;
}

bool deferred_flush_buf::drain() {
    const bool ok = pass_on();
    return (target_ && target_->pubsync() == 0) && ok;
}

bool deferred_flush_buf::drain_flushed() {
    const std::streamsize held = pptr() - pbase();
    const std::streamsize n = std::min<std::streamsize>(static_cast<std::streamsize>(flushed_), held);
    if (n == 0) return true;
    const bool ok = target_ && target_->sputn(pbase(), n) == n;
    // What was written after the last flush stays, moved to the front.
    std::memmove(buffer_.data(), pbase() + n, static_cast<size_t>(held - n));
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    pbump(static_cast<int>(held - n));
    flushed_ = 0;
    last_pass_ = platform::monotonic_seconds();
    return (target_ && target_->pubsync() == 0) && ok;
}

deferred_flush_buf::int_type deferred_flush_buf::overflow(int_type ch) {
    if (!pass_on()) return traits_type::eof();
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    if (pptr() < epptr()) {
        *pptr() = traits_type::to_char_type(ch);
        pbump(1);
        return ch;
    }
    const char c = traits_type::to_char_type(ch);
    return (target_ && target_->sputn(&c, 1) == 1) ? ch : traits_type::eof();
}

int deferred_flush_buf::sync() {
    flushed_ = static_cast<size_t>(pptr() - pbase());
    if (++syncs_ % syncs_per_clock_check != 0 || platform::monotonic_seconds() - last_pass_ < flush_interval) return 0;
    return drain() ? 0 : -1;
}

namespace {

// The deferred buffer of standard output that standard error's writes
// drain first; null when there is none.
deferred_flush_buf* stdout_before_stderr = nullptr;

}  // namespace

deferred_flush_scope::deferred_flush_scope(std::ostream& stream, bool before_stderr)
    : stream_(stream),
      original_(stream.rdbuf()),
      buffer_(stream.rdbuf()),
      before_stderr_(before_stderr),
      drain_buf_(buffer_),
      drain_stream_(&drain_buf_) {
    // rdbuf() clears the stream's error state; it is kept as it was.
    const std::ios_base::iostate state = stream_.rdstate();
    stream_.rdbuf(&buffer_);
    stream_.clear(state);
    if (before_stderr_) {
        cerr_tie_ = std::cerr.tie(&drain_stream_);
        stdout_before_stderr = &buffer_;
    }
}

deferred_flush_scope::~deferred_flush_scope() {
    if (before_stderr_) {
        std::cerr.tie(cerr_tie_);
        stdout_before_stderr = nullptr;
    }
    const std::ios_base::iostate state = stream_.rdstate();
    const bool ok = buffer_.drain();
    stream_.rdbuf(original_);
    stream_.clear(ok ? state : state | std::ios_base::badbit);
}

void drain_stdout_before_stderr() {
    if (stdout_before_stderr) stdout_before_stderr->drain_flushed();
}

std::ostream& null_output() {
    static null_out_stream stream;
    return stream;
}

console_utf8_scope::console_utf8_scope() { platform::console_utf8_begin(); }
console_utf8_scope::~console_utf8_scope() { platform::console_utf8_end(); }
