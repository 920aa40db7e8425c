#include "wire.h"

#include <cstring>

namespace comremote {

namespace {

void PutU32(std::uint8_t *at, std::uint32_t value) {
    for (int k = 0; k < 4; ++k) at[k] = static_cast<std::uint8_t>(value >> (8 * k));
}

std::uint32_t GetU32(const std::uint8_t *at) {
    std::uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = (value << 8) | at[k];
    return value;
}

}  // namespace

Writer::Writer(std::uint32_t kind, std::uint32_t callId, std::uint32_t objectId) {
    bytes_.reserve(64);
    U32(0);  // the length, filled in by Finish
    U32(kind);
    U32(callId);
    U32(objectId);
}

void Writer::U16(std::uint16_t value) {
    U8(static_cast<std::uint8_t>(value));
    U8(static_cast<std::uint8_t>(value >> 8));
}

void Writer::U32(std::uint32_t value) {
    U16(static_cast<std::uint16_t>(value));
    U16(static_cast<std::uint16_t>(value >> 16));
}

void Writer::U64(std::uint64_t value) {
    U32(static_cast<std::uint32_t>(value));
    U32(static_cast<std::uint32_t>(value >> 32));
}

void Writer::F32(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    U32(bits);
}

void Writer::F64(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    U64(bits);
}

void Writer::Guid(const GUID &guid) {
    U32(guid.Data1);
    U16(guid.Data2);
    U16(guid.Data3);
    for (BYTE b : guid.Data4) U8(b);
}

void Writer::Time(const FILETIME &time) {
    U32(time.dwLowDateTime);
    U32(time.dwHighDateTime);
}

void Writer::Text(const OLECHAR *text) {
    if (text == nullptr) {
        U32(kNullText);
        return;
    }
    std::size_t length = 0;
    while (text[length] != 0 && length < kMaxMessage) ++length;
    U32(static_cast<std::uint32_t>(length));
    for (std::size_t k = 0; k < length; ++k) U16(static_cast<std::uint16_t>(text[k]));
}

void Writer::Blob(const BYTE *data, DWORD size) {
    if (data == nullptr) size = 0;
    if (size > kMaxMessage) size = kMaxMessage;  // too big to send anyway: Finish refuses it
    U32(size);
    bytes_.insert(bytes_.end(), data, data + size);
}

void Writer::Variant(const VARIANT &value) {
    switch (value.vt) {
        case VT_EMPTY:
        case VT_NULL:
            U16(value.vt);
            break;
        case VT_I1:
        case VT_UI1:
            U16(value.vt);
            U8(value.bVal);
            break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            U16(value.vt);
            U16(value.uiVal);
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            U16(value.vt);
            U32(value.ulVal);
            break;
        case VT_R8:
        case VT_DATE:
        case VT_I8:
        case VT_UI8:
            U16(value.vt);
            U64(value.ullVal);
            break;
        case VT_BSTR: {
            U16(value.vt);
            const UINT length = value.bstrVal != nullptr ? SysStringLen(value.bstrVal) : 0;
            U32(length);
            for (UINT k = 0; k < length; ++k) U16(static_cast<std::uint16_t>(value.bstrVal[k]));
            break;
        }
        default:
            U16(VT_EMPTY);
            break;
    }
}

std::vector<std::uint8_t> Writer::Finish() {
    if (bytes_.size() > kMaxMessage) return {};
    PutU32(bytes_.data(), static_cast<std::uint32_t>(bytes_.size()));
    return std::move(bytes_);
}

bool ReadHeader(const std::uint8_t (&bytes)[kHeaderSize], Header *header) {
    header->length = GetU32(bytes);
    header->kind = GetU32(bytes + 4);
    header->callId = GetU32(bytes + 8);
    header->objectId = GetU32(bytes + 12);
    return header->length >= kHeaderSize && header->length <= kMaxMessage;
}

const std::uint8_t *Reader::Take(std::size_t size) {
    if (!ok_ || size > size_ - position_) {
        ok_ = false;
        return nullptr;
    }
    const std::uint8_t *at = data_ + position_;
    position_ += size;
    return at;
}

std::uint8_t Reader::U8() {
    const std::uint8_t *at = Take(1);
    return at != nullptr ? *at : 0;
}

std::uint16_t Reader::U16() {
    const std::uint8_t *at = Take(2);
    return at != nullptr ? static_cast<std::uint16_t>(at[0] | (at[1] << 8)) : 0;
}

std::uint32_t Reader::U32() {
    const std::uint8_t *at = Take(4);
    return at != nullptr ? GetU32(at) : 0;
}

std::uint64_t Reader::U64() {
    const std::uint64_t low = U32();
    const std::uint64_t high = U32();
    return low | (high << 32);
}

float Reader::F32() {
    const std::uint32_t bits = U32();
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

double Reader::F64() {
    const std::uint64_t bits = U64();
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

GUID Reader::Guid() {
    GUID guid{};
    guid.Data1 = U32();
    guid.Data2 = U16();
    guid.Data3 = U16();
    for (BYTE &b : guid.Data4) b = U8();
    return guid;
}

FILETIME Reader::Time() {
    FILETIME time{};
    time.dwLowDateTime = U32();
    time.dwHighDateTime = U32();
    return time;
}

bool Reader::Text(std::u16string *text) {
    text->clear();
    const std::uint32_t length = U32();
    if (length == kNullText) return false;
    if (!ok_ || length > (size_ - position_) / 2) {
        ok_ = false;
        return false;
    }
    text->resize(length);
    for (std::uint32_t k = 0; k < length; ++k) (*text)[k] = static_cast<char16_t>(U16());
    return true;
}

bool Reader::Blob(std::vector<BYTE> *data) {
    const std::uint32_t size = U32();
    const std::uint8_t *at = Take(size);
    if (at == nullptr) return false;
    data->assign(at, at + size);
    return true;
}

void Reader::Variant(VARIANT *value) {
    VariantInit(value);
    const VARTYPE type = U16();
    switch (type) {
        case VT_EMPTY:
        case VT_NULL:
            break;
        case VT_I1:
        case VT_UI1:
            value->bVal = U8();
            break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            value->uiVal = U16();
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            value->ulVal = U32();
            break;
        case VT_R8:
        case VT_DATE:
        case VT_I8:
        case VT_UI8:
            value->ullVal = U64();
            break;
        case VT_BSTR: {
            const std::uint32_t length = U32();
            if (!ok_ || length > (size_ - position_) / 2) {
                ok_ = false;
                return;
            }
            std::u16string text(length, u'\0');
            for (std::uint32_t k = 0; k < length; ++k) text[k] = static_cast<char16_t>(U16());
            value->bstrVal = SysAllocStringLen(text.data(), length);
            if (value->bstrVal == nullptr) {
                ok_ = false;
                return;
            }
            break;
        }
        default:
            ok_ = false;
            return;
    }
    if (ok_) value->vt = type;
}

std::uint32_t Reader::Count(std::size_t minimumSize) {
    const std::uint32_t count = U32();
    if (!ok_ || (minimumSize > 0 && count > (size_ - position_) / minimumSize)) {
        ok_ = false;
        return 0;
    }
    return count;
}

}  // namespace comremote
