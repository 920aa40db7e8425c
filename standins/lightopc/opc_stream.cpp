#include "opc_stream.h"

#include <cstring>

namespace {

constexpr std::size_t kValueAlignment = 8;

std::size_t Aligned(std::size_t offset) {
    return (offset + kValueAlignment - 1) / kValueAlignment * kValueAlignment;
}

template <class T>
void Put(std::vector<BYTE> *bytes, std::size_t offset, const T &value) {
    std::memcpy(bytes->data() + offset, &value, sizeof value);
}

// Appends one value at the next aligned offset; returns that offset.
std::size_t AppendValue(const VARIANT &value, std::vector<BYTE> *bytes) {
    const std::size_t offset = Aligned(bytes->size());
    VARIANT copy = value;
    const bool text = V_VT(&value) == VT_BSTR;
    if (text) copy.bstrVal = nullptr;
    if ((V_VT(&value) & (VT_ARRAY | VT_BYREF)) != 0) V_VT(&copy) = VT_EMPTY;  // never read from the cache
    bytes->resize(offset + sizeof(VARIANT));
    Put(bytes, offset, copy);
    if (text) {
        const DWORD length = value.bstrVal == nullptr ? 0 : SysStringByteLen(value.bstrVal);
        const std::size_t start = bytes->size();
        bytes->resize(start + sizeof length + length + sizeof(OLECHAR), 0);
        Put(bytes, start, length);
        if (length != 0) std::memcpy(bytes->data() + start + sizeof length, value.bstrVal, length);
    }
    return offset;
}

}  // namespace

void WriteDataStream(StreamFormat format, OPCHANDLE group, DWORD transaction, HRESULT status, const StreamItems &items,
                     std::vector<BYTE> *bytes) {
    const bool withTime = format == StreamFormat::kDataTime;
    const std::size_t itemSize = withTime ? sizeof(OPCITEMHEADER1) : sizeof(OPCITEMHEADER2);
    bytes->assign(sizeof(OPCGROUPHEADER) + itemSize * items.count, 0);
    for (DWORD k = 0; k < items.count; ++k) {
        const DWORD offset = static_cast<DWORD>(AppendValue(items.values[k], bytes));
        const std::size_t at = sizeof(OPCGROUPHEADER) + itemSize * k;
        if (withTime) {
            Put(bytes, at, OPCITEMHEADER1{items.clients[k], offset, items.qualities[k], 0, items.times[k]});
        } else {
            Put(bytes, at, OPCITEMHEADER2{items.clients[k], offset, items.qualities[k], 0});
        }
    }
    Put(bytes, 0, OPCGROUPHEADER{static_cast<DWORD>(bytes->size()), items.count, group, transaction, status});
}

void WriteCompleteStream(OPCHANDLE group, DWORD transaction, HRESULT status, DWORD count, const OPCHANDLE *clients,
                         const HRESULT *errors, std::vector<BYTE> *bytes) {
    bytes->assign(sizeof(OPCGROUPHEADERWRITE) + sizeof(OPCITEMHEADERWRITE) * count, 0);
    Put(bytes, 0, OPCGROUPHEADERWRITE{count, group, transaction, status});
    for (DWORD k = 0; k < count; ++k)
        Put(bytes, sizeof(OPCGROUPHEADERWRITE) + sizeof(OPCITEMHEADERWRITE) * k,
            OPCITEMHEADERWRITE{clients[k], errors[k]});
}

HGLOBAL GlobalCopy(const std::vector<BYTE> &bytes) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    if (block == nullptr) return nullptr;
    void *at = GlobalLock(block);
    if (at == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
    GlobalUnlock(block);
    return block;
}
