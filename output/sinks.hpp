// Where the listing's text goes: a file (results file, diagnostics log) or
// memory through FileIo, the buffered character stream over it, and a
// stream that drops everything.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <span>
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

namespace uni {
class fileio_output;
}

// A file opened through low-level descriptors, or an in-memory byte buffer.
// Owns its descriptor and the stream made over it with make_file_stream.
class FileIo {
public:
    FileIo();
    ~FileIo();
    FileIo(const FileIo&) = delete;
    FileIo& operator=(const FileIo&) = delete;

    // Text mode (CRLF line ends on Windows), read-write, created and
    // truncated when `truncate` is set. A read-only file is made writable
    // first so that it can be replaced.
    bool open_text_write(std::u16string_view path, bool truncate);
    // Without newline translation: read-write (created and truncated when
    // `truncate`) when `write` is set, read-only otherwise.
    bool open_untranslated(std::u16string_view path, bool write, bool truncate);
    // Memory mode: writes append to `memory`.
    void open_memory();

    bool usable() const;
    // Appends n bytes at the end of the file (or of the memory buffer).
    bool write(const void* data, size_t n);
    bool write_text(const std::ostringstream& text);
    // Reads exactly out.size() bytes at `offset`.
    bool read_at(uint64_t offset, std::span<uint8_t> out);
    uint64_t size();
    // Flushes and destroys the attached stream, then closes the descriptor
    // (or empties the memory buffer).
    void close();

    int32_t fd = -1;
    int64_t length = 0;
    uint8_t writable = 0;
    uint8_t opened = 0;
    uint8_t untranslated = 0;
    std::u16string path;
    std::vector<uint8_t> memory;
    uint8_t in_memory = 0;
    uint64_t memory_length = 0;
    std::unique_ptr<uni::fileio_output> attached_stream;

private:
    bool open_as(std::u16string_view name, bool text, bool write, bool truncate);
};

namespace uni {

// A character stream buffer with a 256 KiB put area. Full buffers, flushes
// and syncs hand the gathered characters to write().
template <class C>
class streambuf_generic_output : public std::basic_streambuf<C> {
public:
    using int_type = typename std::basic_streambuf<C>::int_type;
    using traits_type = typename std::basic_streambuf<C>::traits_type;
    static constexpr size_t buffer_size = 0x40000;

    streambuf_generic_output() {
        try {
            // One spare slot holds the character that overflows a full area.
            buffer_.resize(buffer_size + 1);
            this->setp(buffer_.data(), buffer_.data() + buffer_size);
        } catch (const std::bad_alloc&) {
            buffer_.clear();
        }
    }
    streambuf_generic_output(const streambuf_generic_output&) = delete;
    streambuf_generic_output& operator=(const streambuf_generic_output&) = delete;

protected:
    // Takes up to n characters; returns the count taken, or -1 on failure.
    virtual std::streamsize write(const C* data, std::streamsize n) = 0;

    int_type overflow(int_type ch) override {
        if (buffer_.empty()) return traits_type::eof();
        std::streamsize n = this->pptr() - this->pbase();
        if (!traits_type::eq_int_type(ch, traits_type::eof())) buffer_[static_cast<size_t>(n++)] = traits_type::to_char_type(ch);
        if (!drain(n)) return traits_type::eof();
        return traits_type::not_eof(ch);
    }

    int sync() override {
        if (buffer_.empty()) return -1;
        return drain(this->pptr() - this->pbase()) ? 0 : -1;
    }

private:
    // Writes the first n characters of the buffer, then empties the put area.
    bool drain(std::streamsize n) {
        const C* p = buffer_.data();
        bool ok = true;
        while (n > 0) {
            const std::streamsize done = write(p, n);
            if (done <= 0) {
                ok = false;
                break;
            }
            p += done;
            n -= done;
        }
        this->setp(buffer_.data(), buffer_.data() + buffer_size);
        return ok;
    }

    std::vector<C> buffer_;
};

// The stream buffer over a FileIo.
class fileio_ostream : public streambuf_generic_output<char> {
public:
    explicit fileio_ostream(FileIo& file) : file_(file) {}
    ~fileio_ostream() override;

protected:
    std::streamsize write(const char* data, std::streamsize n) override;

private:
    FileIo& file_;
};

// An output stream over a FileIo; bound to its buffer only when the file is
// usable.
class fileio_output : public std::ostream {
public:
    explicit fileio_output(FileIo& file);
    ~fileio_output() override;

private:
    fileio_ostream buffer_;
};

}  // namespace uni

// Makes a stream over `file` and attaches it to the file, which then owns
// it. Null when the file is not usable.
std::ostream* make_file_stream(FileIo& file);

// An output stream that owns its file, for outputs opened by name (the
// diagnostics log, the XML file).
class owned_file_output : public std::ostream {
public:
    owned_file_output();
    ~owned_file_output() override;
    // Opens `path` (UTF-8 host path) in text mode and binds the stream.
    bool open(std::string_view path, bool truncate);

private:
    FileIo file_;
    std::unique_ptr<uni::fileio_ostream> buffer_;
};

// Opens a text output file by name; null when it cannot be opened.
std::unique_ptr<std::ostream> open_text_output(std::string_view path, bool truncate);

// A stream buffer placed in front of another that holds what is written
// and passes it on, in the same order, when its area is full, on a flush
// at least `flush_interval` seconds after it last passed bytes on, and when
// drained. Flushes of an output nobody watches live then cost no system
// call per row, while a pipe or a file being followed still sees the
// listing grow.
class deferred_flush_buf : public std::streambuf {
public:
    static constexpr size_t buffer_size = 0x40000;   // 256 KiB, as the file streams
    static constexpr double flush_interval = 1.0;    // seconds
    static constexpr uint32_t syncs_per_clock_check = 256;  // rows between looks at the clock

    explicit deferred_flush_buf(std::streambuf* target);
    ~deferred_flush_buf() override;
    deferred_flush_buf(const deferred_flush_buf&) = delete;
    deferred_flush_buf& operator=(const deferred_flush_buf&) = delete;

    // Passes on everything held and syncs the target; false when the target
    // took less than all of it.
    bool drain();
    // The same for what was held when the stream was last flushed; what was
    // written since stays held, as it would in a stream flushed row by row.
    bool drain_flushed();

protected:
    int_type overflow(int_type ch) override;
    int sync() override;

private:
    bool pass_on();

    std::streambuf* target_;
    std::vector<char> buffer_;
    size_t flushed_ = 0;  // bytes at the front held when the stream was last flushed
    double last_pass_ = 0;
    uint32_t syncs_ = 0;
};

// A stream buffer that holds nothing and whose flush drains the deferred
// buffer of standard output: standard error is tied to a stream over it.
class stdout_drain_buf : public std::streambuf {
public:
    explicit stdout_drain_buf(deferred_flush_buf& target) : target_(target) {}

protected:
    int sync() override { return target_.drain() ? 0 : -1; }

private:
    deferred_flush_buf& target_;
};

// For its lifetime, puts a deferred_flush_buf in front of `stream`'s
// buffer; at its end drains it and gives the stream its own buffer back.
// With `before_stderr` (the stream is standard output, and standard error
// goes to the same file or pipe), whatever is written to standard error
// drains it first, so that the two keep their order: std::cerr through its
// tie, the C library's stderr through drain_stdout_before_stderr().
class deferred_flush_scope {
public:
    explicit deferred_flush_scope(std::ostream& stream, bool before_stderr = false);
    ~deferred_flush_scope();
    deferred_flush_scope(const deferred_flush_scope&) = delete;
    deferred_flush_scope& operator=(const deferred_flush_scope&) = delete;

private:
    std::ostream& stream_;
    std::streambuf* original_;
    deferred_flush_buf buffer_;
    bool before_stderr_ = false;
    stdout_drain_buf drain_buf_;
    std::ostream drain_stream_;
    std::ostream* cerr_tie_ = nullptr;  // what std::cerr was tied to
};

// Passes on what standard output was flushed with (drain_flushed) while a
// scope above defers its flushes for standard error's sake; nothing
// otherwise. Called before any write to the C library's stderr, which
// (unlike std::cerr, tied to standard output) flushes nothing first.
void drain_stdout_before_stderr();

// A stream buffer that accepts and drops everything.
class null_out_buf : public std::streambuf {
protected:
    int_type overflow(int_type ch) override { return traits_type::not_eof(ch); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// The buffer is a base placed before std::ostream so that it exists when
// the stream is bound to it.
struct null_out_buf_holder {
    null_out_buf buffer;
};

class null_out_stream : private null_out_buf_holder, public std::ostream {
public:
    null_out_stream() : std::ostream(&buffer) {}
};

// The process-wide stream that swallows output.
std::ostream& null_output();

// Sets the console's output code page to UTF-8 for its lifetime and puts the
// saved code pages back when it ends.
struct console_utf8_scope {
    console_utf8_scope();
    ~console_utf8_scope();
    console_utf8_scope(const console_utf8_scope&) = delete;
    console_utf8_scope& operator=(const console_utf8_scope&) = delete;
};
