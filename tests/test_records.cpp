// Splitting the deciphered trailer into records, and the trailer decoding steps.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "calib/trailer.h"
#include "sample/samplegen.h"

namespace {

void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

// Marker, declared length (patched when 0), count, reserved, then the records.
struct Joined {
    std::vector<uint8_t> bytes;
    explicit Joined(uint32_t count, uint32_t declared = 0) {
        bytes.assign(kTrailerMarker, kTrailerMarker + 16);
        Put32(bytes, declared);
        Put32(bytes, count);
        Put32(bytes, 0);
    }
    Joined& Rec(uint16_t type, std::vector<uint8_t> value, int lengthField = -1) {
        Put16(bytes, type);
        Put16(bytes, static_cast<uint16_t>(lengthField < 0 ? value.size() : lengthField));
        bytes.insert(bytes.end(), value.begin(), value.end());
        return *this;
    }
    CalibrationRecordTable Parse(bool patchLength = true) {
        if (patchLength && bytes[16] == 0 && bytes[17] == 0) {
            const uint32_t n = static_cast<uint32_t>(bytes.size());
            std::memcpy(bytes.data() + 16, &n, 4);
        }
        CalibrationRecordTable t;
        ParseRecordTable(bytes.data(), bytes.size(), &t);
        return t;
    }
};

}  // namespace

TEST(RecordTable, WalksRecordsAndFindsTheFirstOfAType) {
    Joined j(3);
    j.Rec(5, {1, 0, 0, 0}).Rec(7, {9, 9}).Rec(5, {2, 0, 0, 0});
    const CalibrationRecordTable t = j.Parse();
    EXPECT_EQ(t.recordCount, 3u);
    EXPECT_EQ(t.parsedCount, 3u);
    const CalibrationRecord* r = FindRecord(t, 5);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->value[0], 1);  // the first type-5 record wins
    EXPECT_EQ(FindRecord(t, 7)->length, 2);
    EXPECT_EQ(FindRecord(t, 3), nullptr);
}

TEST(RecordTable, StopsAtTheDeclaredCountEvenWithMoreData) {
    Joined j(1);
    j.Rec(3, {'a'}).Rec(5, {1, 0, 0, 0});
    const CalibrationRecordTable t = j.Parse();
    EXPECT_EQ(t.parsedCount, 1u);
    EXPECT_EQ(FindRecord(t, 5), nullptr);
}

TEST(RecordTable, DeclaredLengthPastTheDataParsesNothingButKeepsTheCount) {
    Joined j(1, 100000);
    j.Rec(5, {1, 0, 0, 0});
    const CalibrationRecordTable t = j.Parse(false);
    EXPECT_EQ(t.recordCount, 1u);
    EXPECT_EQ(t.parsedCount, 0u);
    EXPECT_EQ(FindRecord(t, 5), nullptr);
}

TEST(RecordTable, NeverWritesPastThirtyTwoEntries) {
    Joined j(40);
    for (int i = 0; i < 40; ++i) j.Rec(static_cast<uint16_t>(100 + i), {static_cast<uint8_t>(i)});
    const CalibrationRecordTable t = j.Parse();
    EXPECT_EQ(t.recordCount, 40u);
    EXPECT_EQ(t.parsedCount, 32u);
    EXPECT_NE(FindRecord(t, 131), nullptr);
    EXPECT_EQ(FindRecord(t, 132), nullptr);  // the rest are ignored
}

TEST(RecordTable, RecordRunningPastTheDataIsNotTaken) {
    Joined j(2);
    j.Rec(3, {'x'}).Rec(7, {1, 2, 3}, 200);
    const CalibrationRecordTable t = j.Parse();
    EXPECT_EQ(t.parsedCount, 1u);
    EXPECT_EQ(FindRecord(t, 7), nullptr);
    // A record header cut off by the end of the data is not taken either.
    Joined k(2);
    k.Rec(3, {'x'});
    k.bytes.push_back(7);
    EXPECT_EQ(k.Parse().parsedCount, 1u);
}

TEST(RecordTable, WrongMarkerOrShortBufferParsesNothing) {
    Joined j(1);
    j.Rec(5, {1, 0, 0, 0});
    j.bytes[0] = 'X';
    EXPECT_EQ(j.Parse().parsedCount, 0u);
    CalibrationRecordTable t;
    ParseRecordTable(reinterpret_cast<const uint8_t*>(kTrailerMarker), 16, &t);
    EXPECT_EQ(t.recordCount, 0u);
}

TEST(TrailerDecode, RoundTripsTheSampleMakersTrailer) {
    sample::TrailerSpec spec;
    spec.records = sample::DefaultRecords(2);
    spec.leading = std::vector<uint8_t>(37, 'Q');  // the marker may sit at any offset
    const std::vector<uint8_t> bytes = sample::BuildTrailer(spec);
    CalibrationTrailer t;
    ASSERT_EQ(DecodeCalibrationTrailer(bytes.data(), bytes.size(), &t), kTrailerOk);
    EXPECT_EQ(t.table.parsedCount, 3u);
    ASSERT_NE(FindRecord(t.table, 7), nullptr);
    EXPECT_EQ(FindRecord(t.table, 7)->length, 1652);
    EXPECT_EQ(t.table.declaredLength, t.joined.size());
}

TEST(TrailerDecode, ReportsEachFailingStep) {
    struct Case {
        sample::Corruption corruption;
        int status;
    } cases[] = {
        {sample::Corruption::NoMarker, kTrailerNoMarker},
        {sample::Corruption::EmptyBase64, kTrailerNothingDecoded},
        {sample::Corruption::GarbageBase64, kTrailerNothingDecoded},
        {sample::Corruption::CipherNotBlockMultiple, kTrailerDecipherFailed},
        {sample::Corruption::BadPadding, kTrailerDecipherFailed},
    };
    for (const Case& c : cases) {
        sample::TrailerSpec spec;
        spec.records = sample::DefaultRecords(1);
        spec.corruption = c.corruption;
        const std::vector<uint8_t> bytes = sample::BuildTrailer(spec);
        CalibrationTrailer t;
        EXPECT_EQ(DecodeCalibrationTrailer(bytes.data(), bytes.size(), &t), c.status)
            << static_cast<int>(c.corruption);
    }
    // A marker at the very end of the data leaves no text at all.
    std::vector<uint8_t> tail(kTrailerMarker, kTrailerMarker + 16);
    CalibrationTrailer t;
    EXPECT_EQ(DecodeCalibrationTrailer(tail.data(), tail.size(), &t), kTrailerNothingDecoded);
    EXPECT_EQ(DecodeCalibrationTrailer(tail.data(), 15, &t), kTrailerNoMarker);
}

TEST(TrailerDecode, UnpaddedBase64EndingInAZeroByteIsRead) {
    sample::TrailerSpec spec;
    spec.records = sample::DefaultRecords(1);
    spec.base64Padding = false;
    const std::vector<uint8_t> bytes = sample::BuildTrailer(spec);
    CalibrationTrailer t;
    ASSERT_EQ(DecodeCalibrationTrailer(bytes.data(), bytes.size(), &t), kTrailerOk);
    EXPECT_NE(FindRecord(t.table, 5), nullptr);
}
