// The row order: sort keys compared as unsigned 16-bit code units with a
// prefix first, exactly as std::u16string orders them, and equal keys kept
// in insertion order.
#include "output/listing.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

namespace {

TEST(RowOrder, SortKeysCompareLikeU16Strings) {
    std::mt19937 rng(11);
    // Few distinct units so that long equal runs and prefixes are common;
    // units at and above 0x8000 check that they count as unsigned.
    const char16_t units[] = {u'\\', u'a', u'b', u':', 0x00E9, 0x7FFF, 0x8000, 0xFFFF};
    auto make = [&](const std::u16string& prefix) {
        std::u16string s = prefix;
        const size_t n = rng() % 12;
        for (size_t i = 0; i < n; ++i) s.push_back(units[rng() % std::size(units)]);
        return s;
    };
    const std::u16string shared = u"\\some folder\\deeper folder\\";
    for (int i = 0; i < 200000; ++i) {
        const std::u16string a = make(rng() % 2 ? shared : u"");
        const std::u16string b = rng() % 8 == 0 ? a : make(rng() % 2 ? shared : a);
        ASSERT_EQ(sort_key_less(a, b), a < b) << i;
        ASSERT_EQ(sort_key_less(b, a), b < a) << i;
    }
}

TEST(RowOrder, PrefixFirstAndUnsignedUnits) {
    EXPECT_TRUE(sort_key_less(u"\\dir", u"\\dir\\file"));
    EXPECT_FALSE(sort_key_less(u"\\dir\\file", u"\\dir"));
    EXPECT_FALSE(sort_key_less(u"\\same\\path", u"\\same\\path"));
    EXPECT_TRUE(sort_key_less(u"\\abcdefgh\\x", std::u16string(u"\\abcdefgh\\") + char16_t(0x8000)));
    EXPECT_TRUE(sort_key_less(u"", u"a"));
}

TEST(RowOrder, EqualKeysKeepInsertionOrder) {
    listing_rows rows;
    for (int i = 0; i < 5; ++i) {
        listing_row r;
        r.sort_key = u"\\dir\\same";
        r.entry = static_cast<uint64_t>(i);
        rows.insert(r);
        listing_row other;
        other.sort_key = u"\\dir\\a" + std::u16string(1, char16_t(u'a' + i));
        rows.insert(other);
    }
    uint64_t expected = 0;
    for (const auto& r : rows)
        if (r.sort_key == u"\\dir\\same") {
            EXPECT_EQ(r.entry, expected++);
        }
    EXPECT_EQ(expected, 5u);
}

// A batch merged into rows already held must land exactly where inserting
// its rows one by one would put them: interleaved by key, each after the
// held rows of an equal key and after the batch's own earlier equals.
TEST(RowOrder, MergedBatchMatchesOneByOneInsertion) {
    std::mt19937 rng(5);
    const char16_t* keys[] = {u"\\d", u"\\d\\a", u"\\d\\b", u"\\d\\b:s", u"\\d\\c", u"\\d\\\u00e9"};
    for (int round = 0; round < 500; ++round) {
        listing_rows merged;
        // The order wanted: a multiset's, which places an equal key last.
        std::multiset<listing_row, row_order> inserted;
        uint64_t tag = 0;
        auto make = [&] {
            listing_row r;
            r.sort_key = keys[rng() % std::size(keys)];
            r.entry = tag++;
            return r;
        };
        for (size_t i = rng() % 6; i > 0; --i) {
            const listing_row r = make();
            merged.insert(r);
            inserted.insert(r);
        }
        std::vector<listing_row> batch;
        for (size_t i = rng() % 8; i > 0; --i) batch.push_back(make());
        for (const listing_row& r : batch) inserted.insert(r);
        // The batch arrives sorted, equal keys in their order of making.
        std::stable_sort(batch.begin(), batch.end(), row_order());
        merged.merge_sorted(batch);
        EXPECT_TRUE(batch.empty());
        ASSERT_EQ(merged.size(), inserted.size());
        auto a = merged.begin();
        for (auto b = inserted.begin(); b != inserted.end(); ++a, ++b) ASSERT_EQ(a->entry, b->entry) << round;
    }
}

// The batch sort against a plain stable sort, on keys that share a part
// or not, begin one another, hold NUL units, surrogates and units above
// them, and are shorter than four units after the shared part; batches in
// order and nearly so among them.
TEST(RowOrder, BatchSortIsAStableSortByKey) {
    std::mt19937 rng(11);
    const char16_t units[] = {u'a', u'b', u'\\', u':', 0, 0x00E9, 0xD800, 0xDFFF, 0xFFFF};
    // One room and one result for every round, as the walk keeps them.
    row_sort_room room;
    std::vector<listing_row> got;
    for (int round = 0; round < 2000; ++round) {
        const std::u16string path = round % 3 ? u"\\dir\\sub" : u"";
        std::vector<listing_row> batch;
        // Mostly small batches; now and then one large enough, and out of
        // order enough, for the sort to give up its first pass.
        for (size_t i = round % 5 == 1 ? 20 + rng() % 60 : rng() % 12; i > 0; --i) {
            listing_row r;
            r.sort_key = rng() % 4 ? path : std::u16string();
            for (size_t k = rng() % 7; k > 0; --k) r.sort_key.push_back(units[rng() % std::size(units)]);
            r.entry = i;
            batch.push_back(r);
        }
        // Batches in order, or with one pair out of it, as an index walk
        // mostly gives them.
        if (round % 4 == 0) {
            std::stable_sort(batch.begin(), batch.end(), row_order());
            if (batch.size() > 1 && round % 8 == 0) {
                const size_t at = rng() % (batch.size() - 1);
                std::swap(batch[at], batch[at + 1]);
            }
        }
        // In order but for one long stretch moved to the end: out of place
        // at a single point, yet too far for the insertion pass.
        if (round % 20 == 1) {
            std::stable_sort(batch.begin(), batch.end(), row_order());
            std::rotate(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(batch.size() / 2), batch.end());
        }
        std::vector<listing_row> want = batch;
        std::stable_sort(want.begin(), want.end(), row_order());
        sorted_by_key(batch, got, room);
        EXPECT_TRUE(batch.empty());
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].entry, want[i].entry) << round;
            ASSERT_EQ(got[i].sort_key, want[i].sort_key) << round;
        }
    }
}

// Rows whose key is read from their display name ('\\' and the name
// lower-cased) mixed with rows that hold their keys: every sort and merge
// must order them as if each held '\\' + wide_lower(name), names with
// upper case, letters outside ASCII, surrogates and shared heads among them.
TEST(RowOrder, KeysReadFromNamesOrderAsHeldKeys) {
    std::mt19937 rng(17);
    const char16_t units[] = {u'a', u'B', u'_', u'Z', u' ', 0x00C9, 0x00E9, 0x0130, 0xD83D, 0xDE00, 0xFF21};
    const char16_t* prefixes[] = {u"", u"rep", u"Repo", u"report_"};
    row_sort_room room;
    std::vector<listing_row> got;
    for (int round = 0; round < 3000; ++round) {
        std::vector<listing_row> mixed, held;
        for (size_t i = round % 7 == 3 ? 30 + rng() % 40 : rng() % 10; i > 0; --i) {
            listing_row r;
            r.display_name = prefixes[rng() % std::size(prefixes)];
            for (size_t k = rng() % 5; k > 0; --k) r.display_name.push_back(units[rng() % std::size(units)]);
            r.entry = i;
            listing_row h = r;
            if (rng() % 5 == 0) {
                // A row of its own key: the directory's own ("") or a stream's.
                h.sort_key = rng() % 2 ? std::u16string() : u"\\" + uni::wide_lower(r.display_name) + u":s";
                r.sort_key = h.sort_key;
            } else {
                h.sort_key = u"\\" + uni::wide_lower(r.display_name);
                if (rng() % 3) r.key_from_name = true;
                else r.sort_key = h.sort_key;
            }
            mixed.push_back(r);
            held.push_back(h);
        }
        if (round % 4 == 0) {
            // In held-key order, as an index walk mostly gives them.
            std::vector<size_t> at(held.size());
            for (size_t i = 0; i < at.size(); ++i) at[i] = i;
            std::stable_sort(at.begin(), at.end(), [&](size_t x, size_t y) { return held[x].sort_key < held[y].sort_key; });
            std::vector<listing_row> m2, h2;
            for (size_t i : at) m2.push_back(mixed[i]), h2.push_back(held[i]);
            mixed.swap(m2);
            held.swap(h2);
        }
        std::vector<listing_row> want = held;
        std::stable_sort(want.begin(), want.end(),
                         [](const listing_row& x, const listing_row& y) { return x.sort_key < y.sort_key; });
        std::vector<listing_row> batch = mixed;
        sorted_by_key(batch, got, room);
        EXPECT_TRUE(batch.empty());
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i].entry, want[i].entry) << round << " " << i;
        // One by one into the ordered set, as queued folders go.
        listing_rows one_by_one;
        for (const listing_row& r : mixed) one_by_one.insert(r);
        auto g = one_by_one.begin();
        for (size_t i = 0; i < want.size(); ++i, ++g) ASSERT_EQ(g->entry, want[i].entry) << round;
    }
}

// Keys are lowered four ASCII units at a time: every unit, in every lane
// of a word and among units of every kind, must come out as key_lower
// makes it on its own.
TEST(RowOrder, KeysLowerAsEachUnitAlone) {
    std::u16string in(4 * 65536, u'\0'), out(in.size(), u'\0');
    for (uint32_t c = 0; c < 65536; ++c)
        for (size_t lane = 0; lane < 4; ++lane) in[4 * c + lane] = lane == c % 4 ? char16_t(c) : char16_t(u'A' + lane);
    lower_key_units(in.data(), in.size(), out.data());
    for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out[i], key_lower(in[i])) << i;
    // Edges of the letter range next to each other, at every length and
    // offset, with a unit past ASCII now and then.
    const char16_t units[] = {u'@', u'A', u'Z', u'[', u'`', u'a', u'z', u'{', 0x7F, 0x80, 0xC9, 0x0130, 0xFFFF, u'\0'};
    std::mt19937 rng(5);
    for (int round = 0; round < 20000; ++round) {
        std::u16string s(rng() % 14, u'\0');
        for (char16_t& c : s) c = units[rng() % std::size(units)];
        std::u16string lowered(s.size(), u'\0');
        lower_key_units(s.data(), s.size(), lowered.data());
        for (size_t i = 0; i < s.size(); ++i) ASSERT_EQ(lowered[i], key_lower(s[i])) << round << ' ' << i;
    }
}

}  // namespace
