// Deferred flushes: what is written reaches the target whole and in order,
// per-row flushes do not pass it on, and the scope gives the stream its own
// buffer back with everything drained.
#include "output/sinks.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

namespace {

// A target that counts the syncs it receives.
class counting_buf : public std::stringbuf {
public:
    int syncs = 0;

protected:
    int sync() override {
        ++syncs;
        return 0;
    }
};

TEST(DeferredFlush, RowFlushesAreHeldUntilDrained) {
    counting_buf target;
    std::ostream out(&target);
    std::string expected;
    {
        deferred_flush_scope scope(out);
        for (int i = 0; i < 1000; ++i) {
            const std::string row = "row " + std::to_string(i) + '\n';
            out << row;
            out.flush();
            expected += row;
        }
        // Within the interval nothing has been passed on yet.
        EXPECT_EQ(target.str(), "");
        EXPECT_EQ(target.syncs, 0);
        EXPECT_TRUE(out.good());
    }
    EXPECT_EQ(target.str(), expected);
    EXPECT_GE(target.syncs, 1);
    EXPECT_EQ(out.rdbuf(), &target);
}

TEST(DeferredFlush, MoreThanTheBufferGoesThroughInOrder) {
    counting_buf target;
    std::ostream out(&target);
    std::string expected;
    {
        deferred_flush_scope scope(out);
        // Pieces of odd sizes so that the area fills in the middle of one.
        for (int i = 0; expected.size() < 3 * deferred_flush_buf::buffer_size; ++i) {
            const std::string piece(static_cast<size_t>(i % 977) + 1, static_cast<char>('a' + i % 26));
            out << piece;
            out.put('\n');
            expected += piece;
            expected.push_back('\n');
        }
        // Full areas have been passed on, the last part is still held.
        EXPECT_GE(target.str().size(), 2 * deferred_flush_buf::buffer_size);
        EXPECT_EQ(target.str(), expected.substr(0, target.str().size()));
    }
    EXPECT_EQ(target.str(), expected);
}

TEST(DeferredFlush, ScopeKeepsTheStreamState) {
    counting_buf target;
    std::ostream out(&target);
    out.setstate(std::ios_base::failbit);
    {
        deferred_flush_scope scope(out);
        EXPECT_TRUE(out.fail());
        out.clear();
        out << "text";
    }
    EXPECT_TRUE(out.good());
    EXPECT_EQ(target.str(), "text");
}

TEST(DeferredFlush, DrainPassesEverythingOn) {
    counting_buf target;
    deferred_flush_buf buffer(&target);
    std::ostream out(&buffer);
    out << "abc" << 123;
    out.flush();
    EXPECT_EQ(target.str(), "");
    EXPECT_TRUE(buffer.drain());
    EXPECT_EQ(target.str(), "abc123");
    EXPECT_EQ(target.syncs, 1);
}

// Where standard error shares standard output's file, each keeps the place
// it had when every row went out at its flush: a write to the C library's
// stderr lets out what was flushed so far and holds what came after, a
// write to std::cerr (tied to standard output) lets out everything.
TEST(DeferredFlush, StandardErrorKeepsItsPlace) {
    counting_buf target;
    std::ostream out(&target);
    std::ostream* const tie = std::cerr.tie();
    {
        deferred_flush_scope scope(out, true);
        out << "header\n";
        drain_stdout_before_stderr();
        EXPECT_EQ(target.str(), "");
        out << "row 1\n" << std::flush << "row 2\n" << std::flush << "unflushed";
        drain_stdout_before_stderr();
        EXPECT_EQ(target.str(), "header\nrow 1\nrow 2\n");
        drain_stdout_before_stderr();
        EXPECT_EQ(target.str(), "header\nrow 1\nrow 2\n");
        out << " tail" << std::flush << "more";
        std::cerr << "";  // writes nothing, but flushes what it is tied to
        EXPECT_EQ(target.str(), "header\nrow 1\nrow 2\nunflushed tailmore");
        out << "last";
    }
    EXPECT_EQ(target.str(), "header\nrow 1\nrow 2\nunflushed tailmorelast");
    EXPECT_EQ(std::cerr.tie(), tie);
    // Without a scope that defers for standard error's sake, nothing is held.
    drain_stdout_before_stderr();
}

}  // namespace
