// Editing of the "Sources" multi-string, as pure code.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "eventlog/sourcelist.h"

namespace {

SourceList FromBytes(const std::vector<BYTE>& bytes) {
    SourceList list;
    // What lies beyond the data must never be read as an entry.
    const char garbage[] = "KTRX";
    for (DWORD i = 0; i < kSourceListCapacity; ++i) list.buffer[i] = static_cast<BYTE>(garbage[i % 5]);
    if (!bytes.empty()) std::memcpy(list.buffer, bytes.data(), bytes.size());
    list.size = static_cast<DWORD>(bytes.size());
    list.type = REG_MULTI_SZ;
    return list;
}

std::vector<BYTE> Bytes(const std::string& text) { return std::vector<BYTE>(text.begin(), text.end()); }

SourceList FromEntries(const std::vector<std::string>& entries) {
    std::string data;
    for (const auto& e : entries) data += e + std::string(1, '\0');
    data += std::string(1, '\0');
    return FromBytes(Bytes(data));
}

std::vector<BYTE> Data(const SourceList& list) { return std::vector<BYTE>(list.buffer, list.buffer + list.size); }

const std::string N(1, '\0');

TEST(FindSourceEntry, IgnoresCaseButNotNearMisses) {
    EXPECT_EQ(FindSourceEntry(FromEntries({"Alpha", "ktrx"}), "KTRX"), 6u);
    EXPECT_EQ(FindSourceEntry(FromEntries({"KTRXA", "XKTRX", "KTR", "KTRX "}), "KTRX"), kNoSourceEntry);
}

TEST(FindSourceEntry, GivesTheFirstOfTwo) {
    EXPECT_EQ(FindSourceEntry(FromEntries({"KTRX", "Beta", "KTRX"}), "KTRX"), 0u);
}

TEST(FindSourceEntry, LooksPastEmptyEntries) {
    EXPECT_EQ(FindSourceEntry(FromEntries({"Alpha", "", "KTRX"}), "KTRX"), 7u);
}

TEST(FindSourceEntry, ReadsNothingOutsideTheData) {
    EXPECT_EQ(FindSourceEntry(FromBytes({}), "KTRX"), kNoSourceEntry);
    EXPECT_EQ(FindSourceEntry(FromBytes({0}), "KTRX"), kNoSourceEntry);
    // The last entry lacks its NUL: the bytes after the data would complete it.
    EXPECT_EQ(FindSourceEntry(FromBytes(Bytes("Alpha" + N + "KTR")), "KTRX"), kNoSourceEntry);
    // Ended by the end of the data, it is an entry as it stands.
    EXPECT_EQ(FindSourceEntry(FromBytes(Bytes("Alpha" + N + "KTRX")), "KTRX"), 6u);
}

TEST(AppendSourceEntry, AddsTheLastEntry) {
    SourceList list = FromEntries({"Alpha", "Beta"});
    ASSERT_EQ(list.size, 12u);
    ASSERT_TRUE(AppendSourceEntry(list, "KTRX"));
    EXPECT_EQ(list.size, 17u);
    EXPECT_EQ(Data(list), Bytes("Alpha" + N + "Beta" + N + "KTRX" + N + N));
}

TEST(AppendSourceEntry, StartsAnEmptyList) {
    SourceList empty = FromBytes({});
    ASSERT_TRUE(AppendSourceEntry(empty, "KTRX"));
    EXPECT_EQ(Data(empty), Bytes("KTRX" + N + N));
    SourceList terminatorOnly = FromBytes({0});
    ASSERT_TRUE(AppendSourceEntry(terminatorOnly, "KTRX"));
    EXPECT_EQ(Data(terminatorOnly), Bytes("KTRX" + N + N));
}

TEST(AppendSourceEntry, CompletesMalformedDataWithoutLosingAByte) {
    SourceList unended = FromBytes(Bytes("Alpha" + N + "Beta"));
    ASSERT_TRUE(AppendSourceEntry(unended, "KTRX"));
    EXPECT_EQ(Data(unended), Bytes("Alpha" + N + "Beta" + N + "KTRX" + N + N));
    SourceList noFinalNul = FromBytes(Bytes("Alpha" + N + "Beta" + N));
    ASSERT_TRUE(AppendSourceEntry(noFinalNul, "KTRX"));
    EXPECT_EQ(Data(noFinalNul), Bytes("Alpha" + N + "Beta" + N + "KTRX" + N + N));
}

TEST(AppendSourceEntry, RefusesWhatWouldNotFitAndChangesNothing) {
    // 4092 bytes: one entry of 4090 letters, its NUL and the final NUL; with
    // KTRX it would need 4097.
    SourceList full = FromEntries({std::string(4090, 'a')});
    SourceList before = full;
    EXPECT_FALSE(AppendSourceEntry(full, "KTRX"));
    EXPECT_EQ(full.size, before.size);
    EXPECT_EQ(std::memcmp(full.buffer, before.buffer, kSourceListCapacity), 0);

    SourceList fits = FromEntries({std::string(4089, 'a')});
    EXPECT_TRUE(AppendSourceEntry(fits, "KTRX"));
    EXPECT_EQ(fits.size, kSourceListCapacity);
    EXPECT_EQ(fits.buffer[kSourceListCapacity - 1], 0);
    EXPECT_EQ(fits.buffer[kSourceListCapacity - 2], 0);

    // Unended data that fills the buffer leaves no room for the NUL it lacks.
    SourceList unended = FromBytes(std::vector<BYTE>(kSourceListCapacity, 'b'));
    EXPECT_FALSE(AppendSourceEntry(unended, "KTRX"));
    EXPECT_EQ(unended.size, kSourceListCapacity);
}

TEST(RemoveSourceEntry, TakesOutOnlyThatEntry) {
    const std::vector<std::string> entries = {"First", "KTRX", "Last"};
    SourceList middle = FromEntries(entries);
    RemoveSourceEntry(middle, FindSourceEntry(middle, "KTRX"), "KTRX");
    EXPECT_EQ(Data(middle), Bytes("First" + N + "Last" + N + N));

    SourceList first = FromEntries({"KTRX", "Beta"});
    RemoveSourceEntry(first, FindSourceEntry(first, "KTRX"), "KTRX");
    EXPECT_EQ(Data(first), Bytes("Beta" + N + N));

    SourceList last = FromEntries({"Alpha", "ktrx"});
    RemoveSourceEntry(last, FindSourceEntry(last, "KTRX"), "KTRX");
    EXPECT_EQ(Data(last), Bytes("Alpha" + N + N));

    SourceList twice = FromEntries({"KTRX", "Beta", "KTRX"});
    RemoveSourceEntry(twice, FindSourceEntry(twice, "KTRX"), "KTRX");
    EXPECT_EQ(Data(twice), Bytes("Beta" + N + "KTRX" + N + N));
}

TEST(RemoveSourceEntry, KeepsTheBytesOfMalformedData) {
    SourceList list = FromBytes(Bytes("KTRX" + N + "Alpha" + N + "Beta"));
    RemoveSourceEntry(list, FindSourceEntry(list, "KTRX"), "KTRX");
    EXPECT_EQ(Data(list), Bytes("Alpha" + N + "Beta"));

    SourceList unendedLast = FromBytes(Bytes("Alpha" + N + "ktrx"));
    RemoveSourceEntry(unendedLast, FindSourceEntry(unendedLast, "KTRX"), "KTRX");
    EXPECT_EQ(Data(unendedLast), Bytes("Alpha" + N));
}

TEST(SourceListProperty, AppendingThenRemovingGivesBackTheSameBytes) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> count(0, 40);
    std::uniform_int_distribution<int> length(0, 20);
    std::uniform_int_distribution<int> letter(1, 255);
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::string> entries;
        int n = count(random);
        for (int i = 0; i < n; ++i) {
            std::string name;
            int l = length(random);
            for (int c = 0; c < l; ++c) name += static_cast<char>(letter(random));
            if (name.size() == 4 && FindSourceEntry(FromEntries({name}), "KTRX") == 0) continue;
            entries.push_back(name);
        }
        SourceList list = FromEntries(entries);
        const std::vector<BYTE> before = Data(list);
        ASSERT_EQ(FindSourceEntry(list, "KTRX"), kNoSourceEntry);
        ASSERT_TRUE(AppendSourceEntry(list, "KTRX"));
        DWORD offset = FindSourceEntry(list, "KTRX");
        ASSERT_NE(offset, kNoSourceEntry);
        RemoveSourceEntry(list, offset, "KTRX");
        ASSERT_EQ(Data(list), before) << "round " << round;
    }
}

}  // namespace
