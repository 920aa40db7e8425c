#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "lightopc_fixture.h"

namespace {

class Cache : public ::testing::Test {
protected:
    void Create(unsigned tagCount) {
        const loDriver driver = TestDriver();
        ASSERT_EQ(loServiceCreate(&service, &driver, tagCount), 0);
        ASSERT_NE(service, nullptr);
    }
    void TearDown() override {
        if (service != nullptr) {
            EXPECT_EQ(loServiceDestroy(service), 0);
        }
    }
    loTagId Add(const char *name, VARIANT value, unsigned access = 1) {
        loTagId id = 0;
        EXPECT_EQ(loAddRealTag(service, &id, nullptr, name, 0, access, &value, 0, nullptr), 0) << name;
        return id;
    }

    loService *service = nullptr;
};

TEST_F(Cache, TagsGetDistinctIdsAndTheServiceHoldsNoMoreThanItsCount) {
    Create(3);
    const loTagId a = Add("T1", I2Value(0));
    const loTagId b = Add("R5", I2Value(0));
    const loTagId c = Add("R6", I2Value(0));
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(c, 0u);
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
    EXPECT_NE(a, c);

    VARIANT zero = I2Value(0);
    loTagId id = 77;
    EXPECT_EQ(loAddRealTag(service, &id, nullptr, "R7", 0, 1, &zero, 0, nullptr), ENOSPC);
    EXPECT_EQ(id, 77u);
}

TEST_F(Cache, TakenNamesAndBadArgumentsAreRefused) {
    Create(4);
    Add("T1", I2Value(0));
    VARIANT zero = I2Value(0);
    loTagId id = 0;
    EXPECT_EQ(loAddRealTag(service, &id, nullptr, "T1", 0, 1, &zero, 0, nullptr), EEXIST);
    EXPECT_NE(loAddRealTag(service, &id, nullptr, "", 0, 1, &zero, 0, nullptr), 0);
    EXPECT_NE(loAddRealTag(service, &id, nullptr, nullptr, 0, 1, &zero, 0, nullptr), 0);
    EXPECT_NE(loAddRealTag(service, &id, nullptr, "T2", 0, 1, nullptr, 0, nullptr), 0);
    EXPECT_NE(loAddRealTag(service, nullptr, nullptr, "T2", 0, 1, &zero, 0, nullptr), 0);
    EXPECT_NE(loAddRealTag(nullptr, &id, nullptr, "T2", 0, 1, &zero, 0, nullptr), 0);
    // Names differ by case: two tags.
    Add("t1", I2Value(0));

    TestReader client(service);
    DWORD count = 0;
    ASSERT_EQ(client.reader->GetTagCount(&count), S_OK);
    EXPECT_EQ(count, 2u);
}

TEST_F(Cache, EmptyServiceIsAllowedButHoldsNothing) {
    Create(0);
    VARIANT zero = I2Value(0);
    loTagId id = 0;
    EXPECT_EQ(loAddRealTag(service, &id, nullptr, "T1", 0, 1, &zero, 0, nullptr), ENOSPC);
    TestReader client(service);
    DWORD count = 9;
    ASSERT_EQ(client.reader->GetTagCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(client.reader->GetTagInfo(0, nullptr, nullptr, 0, nullptr, nullptr), E_INVALIDARG);
}

TEST_F(Cache, TagsAreListedInTheOrderAddedWithTheirInitialRecord) {
    Create(3);
    const loTagId ids[] = {Add("Boiler.Temp", I2Value(0)), Add("Pump", I4Value(-5), 3), Add("Valve", I2Value(9))};
    TestReader client(service);
    DWORD count = 0;
    ASSERT_EQ(client.reader->GetTagCount(&count), S_OK);
    ASSERT_EQ(count, 3u);

    const char *names[] = {"Boiler.Temp", "Pump", "Valve"};
    const VARTYPE types[] = {VT_I2, VT_I4, VT_I2};
    const DWORD rights[] = {1, 3, 1};
    for (DWORD k = 0; k < 3; ++k) {
        loTagId id = 0;
        char name[33] = {};
        VARTYPE type = VT_NULL;
        DWORD access = 0;
        ASSERT_EQ(client.reader->GetTagInfo(k, &id, name, sizeof name, &type, &access), S_OK);
        EXPECT_EQ(id, ids[k]);
        EXPECT_STREQ(name, names[k]);
        EXPECT_EQ(type, types[k]);
        EXPECT_EQ(access, rights[k]);
        loTagId found = 0;
        ASSERT_EQ(client.reader->FindTag(names[k], &found), S_OK);
        EXPECT_EQ(found, ids[k]);
    }
    EXPECT_EQ(client.reader->FindTag("pump", nullptr), E_INVALIDARG);
    EXPECT_EQ(client.reader->GetTagInfo(3, nullptr, nullptr, 0, nullptr, nullptr), E_INVALIDARG);

    VARIANT value;
    VariantInit(&value);
    FILETIME stamp{1, 1};
    WORD quality = 0;
    HRESULT error = E_FAIL;
    ASSERT_EQ(client.reader->ReadTag(ids[1], &value, &stamp, &quality, &error), S_OK);
    EXPECT_EQ(V_VT(&value), VT_I4);
    EXPECT_EQ(value.lVal, -5);
    EXPECT_EQ(stamp.dwLowDateTime, 0u);
    EXPECT_EQ(stamp.dwHighDateTime, 0u);
    EXPECT_EQ(quality, loInitialQuality);
    EXPECT_EQ(error, S_OK);
    EXPECT_EQ(client.reader->ReadTag(0, &value, nullptr, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(client.reader->ReadTag(4, &value, nullptr, nullptr, nullptr), E_INVALIDARG);
    VariantClear(&value);
}

TEST_F(Cache, NamesAreCopiedWithinTheCallersBuffer) {
    Create(1);
    Add("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", I2Value(0));
    TestReader client(service);
    char name[9];
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(client.reader->GetTagInfo(0, nullptr, name, 8, nullptr, nullptr), S_FALSE);
    EXPECT_STREQ(name, "ABCDEFG");
    EXPECT_EQ(name[8], 'x');
    EXPECT_EQ(client.reader->GetTagInfo(0, nullptr, name, 0, nullptr, nullptr), S_FALSE);
    EXPECT_EQ(name[0], 'A');
}

TEST_F(Cache, UpdateCopiesEveryFieldOfTheRecords) {
    Create(2);
    const loTagId a = Add("A", I2Value(0));
    const loTagId b = Add("B", I2Value(0));
    loTagValue records[2];
    std::memset(records, 0, sizeof records);
    records[0].tvTi = b;
    records[0].tvValue = I2Value(-2);
    records[0].tvTimestamp = FILETIME{0x89ABCDEF, 0x01D00000};
    records[0].tvQuality = 0xC0;
    records[1].tvTi = a;
    records[1].tvValue = I2Value(1);
    records[1].tvTimestamp = FILETIME{5, 6};
    records[1].tvQuality = 0xFFFF0018;  // the padding bytes do not belong to the quality
    records[1].tvErrorCode = E_FAIL;
    EXPECT_NE(loCacheUpdate(service, 2, records, 0), 0);
    // The cache keeps its own copy.
    records[0].tvValue = I2Value(100);

    TestReader client(service);
    VARIANT value;
    VariantInit(&value);
    FILETIME stamp{};
    WORD quality = 0;
    HRESULT error = S_OK;
    ASSERT_EQ(client.reader->ReadTag(b, &value, &stamp, &quality, &error), S_OK);
    EXPECT_EQ(V_I2(&value), -2);
    EXPECT_EQ(stamp.dwLowDateTime, 0x89ABCDEFu);
    EXPECT_EQ(stamp.dwHighDateTime, 0x01D00000u);
    EXPECT_EQ(quality, 0xC0);
    EXPECT_EQ(error, S_OK);
    ASSERT_EQ(client.reader->ReadTag(a, &value, &stamp, &quality, &error), S_OK);
    EXPECT_EQ(V_I2(&value), 1);
    EXPECT_EQ(stamp.dwLowDateTime, 5u);
    EXPECT_EQ(quality, 0x18);
    EXPECT_EQ(error, E_FAIL);
}

TEST_F(Cache, UpdateFailuresAreReportedAndTheGoodRecordsApplied) {
    Create(1);
    const loTagId a = Add("A", I2Value(0));
    loTagValue records[2];
    std::memset(records, 0, sizeof records);
    records[0].tvTi = 99;
    records[0].tvValue = I2Value(5);
    records[1].tvTi = a;
    records[1].tvValue = I2Value(6);
    records[1].tvQuality = 0xC0;
    EXPECT_EQ(loCacheUpdate(service, 2, records, 0), 0);
    EXPECT_EQ(loCacheUpdate(service, 1, nullptr, 0), 0);
    EXPECT_EQ(loCacheUpdate(nullptr, 1, records + 1, 0), 0);
    EXPECT_NE(loCacheUpdate(service, 0, nullptr, 0), 0);

    TestReader client(service);
    VARIANT value;
    VariantInit(&value);
    WORD quality = 0;
    ASSERT_EQ(client.reader->ReadTag(a, &value, nullptr, &quality, nullptr), S_OK);
    EXPECT_EQ(V_I2(&value), 6);
    EXPECT_EQ(quality, 0xC0);
}

TEST_F(Cache, NullAndDestroyedServicesAreRefused) {
    const loDriver driver = TestDriver();
    EXPECT_NE(loServiceCreate(nullptr, &driver, 1), 0);
    service = reinterpret_cast<loService *>(&service);
    EXPECT_NE(loServiceCreate(&service, nullptr, 1), 0);
    EXPECT_EQ(service, nullptr);
    EXPECT_NE(loServiceDestroy(nullptr), 0);

    Create(2);
    loService *gone = service;
    ASSERT_EQ(loServiceDestroy(service), 0);
    service = nullptr;
    VARIANT zero = I2Value(0);
    loTagId id = 0;
    EXPECT_NE(loAddRealTag(gone, &id, nullptr, "T1", 0, 1, &zero, 0, nullptr), 0);
    loTagValue record{};
    EXPECT_EQ(loCacheUpdate(gone, 1, &record, 0), 0);
    loClient *client = nullptr;
    IUnknown *inner = nullptr;
    EXPECT_NE(loClientCreate_agg(gone, &client, nullptr, &inner, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(client, nullptr);
    EXPECT_NE(loServiceDestroy(gone), 0);
}

// A writer updates every tag with value, timestamp, error and quality derived
// from one number; readers must always find the four fields from one update.
TEST_F(Cache, ConcurrentReadersNeverSeeATornRecord) {
    constexpr unsigned kTags = 8;
    constexpr LONG kUpdates = 20000;
    constexpr int kReaders = 3;
    Create(kTags);
    loTagId ids[kTags];
    for (unsigned k = 0; k < kTags; ++k) ids[k] = Add(("T" + std::to_string(k)).c_str(), I4Value(0));

    std::atomic<bool> writing{true};
    std::vector<long> torn(kReaders, 0);
    std::vector<long> reads(kReaders, 0);
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            TestReader client(service);
            VARIANT value;
            VariantInit(&value);
            // Until the writer is done, and at least one more pass after it.
            bool more = true;
            while (more) {
                more = writing.load();
                for (loTagId id : ids) {
                    FILETIME stamp{};
                    WORD quality = 0;
                    HRESULT error = S_OK;
                    if (client.reader->ReadTag(id, &value, &stamp, &quality, &error) != S_OK) {
                        ++torn[r];
                        continue;
                    }
                    ++reads[r];
                    if (V_VT(&value) != VT_I4) {
                        ++torn[r];
                        continue;
                    }
                    const LONG v = value.lVal;
                    if (v == 0 && quality == loInitialQuality) continue;  // not updated yet
                    if (stamp.dwLowDateTime != static_cast<DWORD>(v) ||
                        stamp.dwHighDateTime != ~static_cast<DWORD>(v) || error != static_cast<HRESULT>(v) ||
                        quality != static_cast<WORD>(v & 0xFFFF)) {
                        ++torn[r];
                    }
                }
            }
        });
    }

    std::vector<loTagValue> records(kTags);
    for (LONG v = 1; v <= kUpdates; ++v) {
        for (unsigned k = 0; k < kTags; ++k) {
            std::memset(&records[k], 0, sizeof records[k]);
            records[k].tvTi = ids[k];
            records[k].tvValue = I4Value(v);
            records[k].tvTimestamp = FILETIME{static_cast<DWORD>(v), ~static_cast<DWORD>(v)};
            records[k].tvErrorCode = static_cast<HRESULT>(v);
            records[k].tvQuality = static_cast<DWORD>(v & 0xFFFF);
        }
        ASSERT_NE(loCacheUpdate(service, kTags, records.data(), 0), 0);
    }
    writing = false;
    for (std::thread &reader : readers) reader.join();
    for (int r = 0; r < kReaders; ++r) {
        EXPECT_EQ(torn[r], 0) << "reader " << r;
        EXPECT_GT(reads[r], 0) << "reader " << r;
    }

    TestReader client(service);
    VARIANT last;
    VariantInit(&last);
    ASSERT_EQ(client.reader->ReadTag(ids[kTags - 1], &last, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(last.lVal, kUpdates);
}

}  // namespace
