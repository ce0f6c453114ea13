// Editing of the "Sources" multi-string, as pure code, in both unit sizes:
// bytes (a value of no string type) and UTF-16 units (a string value).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "eventlog/sourcelist.h"

namespace {

// The buffer's size in these tests, in units: the data and room after it.
constexpr DWORD kCapacity = 4096;

// A list over a buffer of its own, as the tool gives one. What lies beyond
// the data must never be read as an entry: the room is filled with KTRX.
template <typename Unit>
struct OwnedList : SourceListOf<Unit> {
    std::vector<Unit> storage;
    OwnedList(const std::vector<std::uint32_t>& units, DWORD capacity)
        : SourceListOf<Unit>{nullptr, capacity, static_cast<DWORD>(units.size())}, storage(capacity) {
        const char garbage[] = "KTRX";
        for (DWORD i = 0; i < capacity; ++i) storage[i] = static_cast<Unit>(garbage[i % 5]);
        for (size_t i = 0; i < units.size(); ++i) storage[i] = static_cast<Unit>(units[i]);
        this->buffer = storage.data();
    }
    OwnedList(const OwnedList& other) : SourceListOf<Unit>(other), storage(other.storage) {
        this->buffer = storage.data();
    }
    OwnedList& operator=(const OwnedList&) = delete;
};

template <typename Unit>
OwnedList<Unit> FromUnits(const std::vector<std::uint32_t>& units, DWORD capacity = kCapacity) {
    return OwnedList<Unit>(units, capacity);
}

std::vector<std::uint32_t> Units(const std::string& text) {
    std::vector<std::uint32_t> units;
    for (char c : text) units.push_back(static_cast<unsigned char>(c));
    return units;
}

template <typename Unit>
OwnedList<Unit> FromText(const std::string& text) {
    return FromUnits<Unit>(Units(text));
}

template <typename Unit>
OwnedList<Unit> FromEntries(const std::vector<std::string>& entries) {
    std::string data;
    for (const auto& e : entries) data += e + std::string(1, '\0');
    data += std::string(1, '\0');
    return FromText<Unit>(data);
}

template <typename Unit>
std::vector<std::uint32_t> Data(const SourceListOf<Unit>& list) {
    return std::vector<std::uint32_t>(list.buffer, list.buffer + list.size);
}

const std::string N(1, '\0');

template <typename Unit>
class SourceListEditing : public ::testing::Test {
protected:
    using List = OwnedList<Unit>;
    static List Entries(const std::vector<std::string>& entries) { return FromEntries<Unit>(entries); }
    static List Text(const std::string& text) { return FromText<Unit>(text); }
};
using UnitSizes = ::testing::Types<BYTE, std::uint16_t>;
TYPED_TEST_SUITE(SourceListEditing, UnitSizes);

TYPED_TEST(SourceListEditing, FindSourceEntry_IgnoresCaseButNotNearMisses) {
    EXPECT_EQ(FindSourceEntry(this->Entries({"Alpha", "ktrx"}), "KTRX"), 6u);
    EXPECT_EQ(FindSourceEntry(this->Entries({"KTRXA", "XKTRX", "KTR", "KTRX "}), "KTRX"), kNoSourceEntry);
}

TYPED_TEST(SourceListEditing, FindSourceEntry_GivesTheFirstOfTwo) {
    EXPECT_EQ(FindSourceEntry(this->Entries({"KTRX", "Beta", "KTRX"}), "KTRX"), 0u);
}

TYPED_TEST(SourceListEditing, FindSourceEntry_LooksPastEmptyEntries) {
    EXPECT_EQ(FindSourceEntry(this->Entries({"Alpha", "", "KTRX"}), "KTRX"), 7u);
}

TYPED_TEST(SourceListEditing, FindSourceEntry_ReadsNothingOutsideTheData) {
    EXPECT_EQ(FindSourceEntry(this->Text(""), "KTRX"), kNoSourceEntry);
    EXPECT_EQ(FindSourceEntry(this->Text(N), "KTRX"), kNoSourceEntry);
    // The last entry lacks its NUL: the bytes after the data would complete it.
    EXPECT_EQ(FindSourceEntry(this->Text(("Alpha" + N + "KTR")), "KTRX"), kNoSourceEntry);
    // Ended by the end of the data, it is an entry as it stands.
    EXPECT_EQ(FindSourceEntry(this->Text(("Alpha" + N + "KTRX")), "KTRX"), 6u);
}

TYPED_TEST(SourceListEditing, AppendSourceEntry_AddsTheLastEntry) {
    typename TestFixture::List list = this->Entries({"Alpha", "Beta"});
    ASSERT_EQ(list.size, 12u);
    ASSERT_TRUE(AppendSourceEntry(list, "KTRX"));
    EXPECT_EQ(list.size, 17u);
    EXPECT_EQ(Data(list), Units("Alpha" + N + "Beta" + N + "KTRX" + N + N));
}

TYPED_TEST(SourceListEditing, AppendSourceEntry_StartsAnEmptyList) {
    typename TestFixture::List empty = this->Text("");
    ASSERT_TRUE(AppendSourceEntry(empty, "KTRX"));
    EXPECT_EQ(Data(empty), Units("KTRX" + N + N));
    typename TestFixture::List terminatorOnly = this->Text(N);
    ASSERT_TRUE(AppendSourceEntry(terminatorOnly, "KTRX"));
    EXPECT_EQ(Data(terminatorOnly), Units("KTRX" + N + N));
}

TYPED_TEST(SourceListEditing, AppendSourceEntry_CompletesMalformedDataWithoutLosingAByte) {
    typename TestFixture::List unended = this->Text(("Alpha" + N + "Beta"));
    ASSERT_TRUE(AppendSourceEntry(unended, "KTRX"));
    EXPECT_EQ(Data(unended), Units("Alpha" + N + "Beta" + N + "KTRX" + N + N));
    typename TestFixture::List noFinalNul = this->Text(("Alpha" + N + "Beta" + N));
    ASSERT_TRUE(AppendSourceEntry(noFinalNul, "KTRX"));
    EXPECT_EQ(Data(noFinalNul), Units("Alpha" + N + "Beta" + N + "KTRX" + N + N));
}

TYPED_TEST(SourceListEditing, AppendSourceEntry_RefusesWhatWouldNotFitAndChangesNothing) {
    // 4092 units: one entry of 4090 letters, its NUL and the final NUL; with
    // KTRX it would need 4097.
    typename TestFixture::List full = this->Entries({std::string(4090, 'a')});
    typename TestFixture::List before = full;
    EXPECT_FALSE(AppendSourceEntry(full, "KTRX"));
    EXPECT_EQ(full.size, before.size);
    EXPECT_EQ(full.storage, before.storage);

    typename TestFixture::List fits = this->Entries({std::string(4089, 'a')});
    EXPECT_TRUE(AppendSourceEntry(fits, "KTRX"));
    EXPECT_EQ(fits.size, kCapacity);
    EXPECT_EQ(fits.buffer[kCapacity - 1], 0);
    EXPECT_EQ(fits.buffer[kCapacity - 2], 0);

    // Unended data that fills the buffer leaves no room for the NUL it lacks.
    typename TestFixture::List unended = this->Text(std::string(kCapacity, 'b'));
    EXPECT_FALSE(AppendSourceEntry(unended, "KTRX"));
    EXPECT_EQ(unended.size, kCapacity);

    // The room the tool leaves past the data is always enough, however the
    // data ends.
    for (const std::string& data : {"Alpha" + N + "Beta", "Alpha" + N, "Alpha" + N + N, N, std::string()}) {
        auto exact = FromUnits<TypeParam>(Units(data), static_cast<DWORD>(data.size()) + SourceEntryRoom(4));
        EXPECT_TRUE(AppendSourceEntry(exact, "KTRX")) << data.size();
    }
}

TYPED_TEST(SourceListEditing, RemoveSourceEntry_TakesOutOnlyThatEntry) {
    const std::vector<std::string> entries = {"First", "KTRX", "Last"};
    typename TestFixture::List middle = this->Entries(entries);
    RemoveSourceEntry(middle, FindSourceEntry(middle, "KTRX"), "KTRX");
    EXPECT_EQ(Data(middle), Units("First" + N + "Last" + N + N));

    typename TestFixture::List first = this->Entries({"KTRX", "Beta"});
    RemoveSourceEntry(first, FindSourceEntry(first, "KTRX"), "KTRX");
    EXPECT_EQ(Data(first), Units("Beta" + N + N));

    typename TestFixture::List last = this->Entries({"Alpha", "ktrx"});
    RemoveSourceEntry(last, FindSourceEntry(last, "KTRX"), "KTRX");
    EXPECT_EQ(Data(last), Units("Alpha" + N + N));

    typename TestFixture::List twice = this->Entries({"KTRX", "Beta", "KTRX"});
    RemoveSourceEntry(twice, FindSourceEntry(twice, "KTRX"), "KTRX");
    EXPECT_EQ(Data(twice), Units("Beta" + N + "KTRX" + N + N));
}

TYPED_TEST(SourceListEditing, RemoveSourceEntry_KeepsTheBytesOfMalformedData) {
    typename TestFixture::List list = this->Text(("KTRX" + N + "Alpha" + N + "Beta"));
    RemoveSourceEntry(list, FindSourceEntry(list, "KTRX"), "KTRX");
    EXPECT_EQ(Data(list), Units("Alpha" + N + "Beta"));

    typename TestFixture::List unendedLast = this->Text(("Alpha" + N + "ktrx"));
    RemoveSourceEntry(unendedLast, FindSourceEntry(unendedLast, "KTRX"), "KTRX");
    EXPECT_EQ(Data(unendedLast), Units("Alpha" + N));
}

TYPED_TEST(SourceListEditing, Property_AppendingThenRemovingGivesBackTheSameUnits) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> count(0, 40);
    std::uniform_int_distribution<int> length(0, 20);
    std::uniform_int_distribution<std::uint32_t> unit(1, sizeof(TypeParam) == 1 ? 0xFF : 0xFFFF);
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::uint32_t> data;
        int n = count(random);
        for (int i = 0; i < n; ++i) {
            std::vector<std::uint32_t> name;
            int l = length(random);
            for (int c = 0; c < l; ++c) name.push_back(unit(random));
            std::vector<std::uint32_t> alone = name;
            alone.insert(alone.end(), {0, 0});
            if (FindSourceEntry(FromUnits<TypeParam>(alone), "KTRX") == 0) continue;
            data.insert(data.end(), name.begin(), name.end());
            data.push_back(0);
        }
        data.push_back(0);
        auto list = FromUnits<TypeParam>(data);
        ASSERT_EQ(FindSourceEntry(list, "KTRX"), kNoSourceEntry);
        ASSERT_TRUE(AppendSourceEntry(list, "KTRX"));
        DWORD offset = FindSourceEntry(list, "KTRX");
        ASSERT_NE(offset, kNoSourceEntry);
        RemoveSourceEntry(list, offset, "KTRX");
        ASSERT_EQ(Data(list), data) << "round " << round;
    }
}

// A UTF-16 unit is compared whole: one whose low byte spells a letter of
// KTRX (U+014B, U+016B) is another character.
TEST(WideSourceList, AUnitAboveAByteIsNoLetter) {
    EXPECT_EQ(FindSourceEntry(FromUnits<std::uint16_t>({0x14B, 'T', 'R', 'X', 0, 0}), "KTRX"), kNoSourceEntry);
    EXPECT_EQ(FindSourceEntry(FromUnits<std::uint16_t>({0x16B, 0x174, 0x172, 0x178, 0, 0}), "KTRX"), kNoSourceEntry);
    EXPECT_EQ(FindSourceEntry(FromUnits<std::uint16_t>({0x65E5, 0, 'k', 'T', 'r', 'X', 0, 0}), "KTRX"), 2u);
}

}  // namespace
