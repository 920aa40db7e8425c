#include "platform/data_transfer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>

const IID IID_IDataObject = {0x0000010E, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IAdviseSink = {0x0000010F, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

// A block keeps its size in front of the bytes it hands out; 16 bytes keep
// those aligned for any value.
constexpr std::size_t kPrefix = 16;
constexpr UINT kFirstFormat = 0xC000;

std::size_t *SizeOf(HGLOBAL block) {
    return static_cast<std::size_t *>(block);
}

}  // namespace

HGLOBAL GlobalAlloc(UINT flags, std::size_t bytes) {
    if (bytes > SIZE_MAX - kPrefix) return nullptr;  // the block with its size in front would wrap
    void *block = (flags & GMEM_ZEROINIT) != 0 ? std::calloc(1, kPrefix + bytes) : std::malloc(kPrefix + bytes);
    if (block == nullptr) return nullptr;
    *SizeOf(block) = bytes;
    return block;
}

LPVOID GlobalLock(HGLOBAL block) {
    return block == nullptr ? nullptr : static_cast<char *>(block) + kPrefix;
}

BOOL GlobalUnlock(HGLOBAL) {
    return FALSE;  // no lock count is kept: the block never moves
}

std::size_t GlobalSize(HGLOBAL block) {
    return block == nullptr ? 0 : *SizeOf(block);
}

HGLOBAL GlobalFree(HGLOBAL block) {
    std::free(block);
    return nullptr;
}

UINT RegisterClipboardFormatW(LPCWSTR name) {
    if (name == nullptr || *name == L'\0') return 0;
    std::wstring key(name);
    for (wchar_t &c : key) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    static std::mutex lock;
    static std::map<std::wstring, UINT> *formats = new std::map<std::wstring, UINT>;
    std::lock_guard<std::mutex> held(lock);
    const auto found = formats->find(key);
    if (found != formats->end()) return found->second;
    const UINT format = kFirstFormat + static_cast<UINT>(formats->size());
    formats->emplace(std::move(key), format);
    return format;
}

void ReleaseStgMedium(STGMEDIUM *medium) {
    if (medium == nullptr) return;
    if (medium->pUnkForRelease != nullptr) {
        medium->pUnkForRelease->Release();
    } else if (medium->tymed == TYMED_HGLOBAL) {
        GlobalFree(medium->hGlobal);
    }
    medium->tymed = TYMED_NULL;
    medium->hGlobal = nullptr;
    medium->pUnkForRelease = nullptr;
}
