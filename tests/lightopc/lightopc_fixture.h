// A service with a few tags and a client object reading it, for the toolkit's tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "lightopc.h"

inline loDriver TestDriver() {
    loDriver driver{};
    driver.ldRefreshRate = 500;
    driver.ldFlags = 0x80;
    return driver;
}

inline VARIANT I4Value(LONG value) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    v.lVal = value;
    return v;
}

inline VARIANT I2Value(SHORT value) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I2;
    V_I2(&v) = value;
    return v;
}

// A client object without aggregation and its reader interface; the creation
// reference is given back at once, the reader keeps the object alive.
struct TestReader {
    explicit TestReader(loService *service) {
        loClient *client = nullptr;
        IUnknown *inner = nullptr;
        EXPECT_EQ(loClientCreate_agg(service, &client, nullptr, &inner, 0, nullptr, nullptr, nullptr), 0);
        if (client == nullptr) return;
        EXPECT_EQ(client->QueryInterface(IID_IloCacheReader, reinterpret_cast<void **>(&reader)), S_OK);
        client->Release();
    }
    ~TestReader() {
        if (reader != nullptr) reader->Release();
    }
    TestReader(const TestReader &) = delete;
    TestReader &operator=(const TestReader &) = delete;

    IloCacheReader *reader = nullptr;
};
