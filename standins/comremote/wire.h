// The messages between a client process and the server process: a versioned
// hello, then length-prefixed messages whose every field is read through a
// bounds-checked reader, so that no content a peer sends can make this side
// read or allocate past what actually arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "opc_da.h"

namespace comremote {

// The hello both sides send first: magic, then the protocol version; the
// server's answer adds an HRESULT (S_OK, or why the client is refused).
constexpr std::uint32_t kMagic = 0x4D435642;  // "BVCM" on the wire
constexpr std::uint16_t kVersion = 1;
constexpr std::size_t kHelloSize = 8;
constexpr std::size_t kHelloAnswerSize = 12;

// Every message: u32 length of what follows, u32 kind, u32 call id (0 for a
// message that gets no answer), u32 object id, then the kind's payload.
constexpr std::size_t kHeaderSize = 16;
constexpr std::uint32_t kMaxMessage = 8u << 20;  // the whole message, header included

enum Kind : std::uint32_t {
    // Client to server; each is answered with a kReply that carries the
    // call's HRESULT first (a kRelease only when it has a call id).
    kActivate = 1,  // payload: requested IID; reply: the new object's id
    kQueryInterface,
    kRelease,  // the client holds no more references on the object
    kGetStatus,
    kAddGroup,
    kRemoveGroup,
    kGetErrorString,
    kQueryOrganization,
    kBrowseItemIds,
    kGetItemId,
    kAddItems,
    kValidateItems,
    kRemoveItems,
    kSyncRead,
    kGetState,
    kSetState,
    kFindConnectionPoint,
    kAdvise,
    kUnadvise,
    kLastRequest = kUnadvise,
    // Server to client.
    kReply = 100,
    kOnDataChange,
    kOnReadComplete,
    kOnWriteComplete,
    kOnCancelComplete,
    kReleaseCallback,  // the server holds no more references on a client's sink
};

// A text that stands for a null pointer on the wire.
constexpr std::uint32_t kNullText = 0xFFFFFFFFu;

class Writer {
public:
    Writer(std::uint32_t kind, std::uint32_t callId, std::uint32_t objectId);

    void U8(std::uint8_t value) { bytes_.push_back(value); }
    void U16(std::uint16_t value);
    void U32(std::uint32_t value);
    void U64(std::uint64_t value);
    void I32(std::int32_t value) { U32(static_cast<std::uint32_t>(value)); }
    void F32(float value);
    void F64(double value);
    void Guid(const GUID &guid);
    void Time(const FILETIME &time);
    // A null pointer stays null on the other side.
    void Text(const OLECHAR *text);
    void Blob(const BYTE *data, DWORD size);
    // The types a tag can hold; any other is sent as VT_EMPTY.
    void Variant(const VARIANT &value);

    // The finished message with its length filled in; empty when it would
    // exceed the maximum, which the caller reports as a failed call.
    std::vector<std::uint8_t> Finish();

private:
    std::vector<std::uint8_t> bytes_;
};

struct Header {
    std::uint32_t length;  // of the whole message
    std::uint32_t kind;
    std::uint32_t callId;
    std::uint32_t objectId;
};

// False for a length below a header or above the maximum.
bool ReadHeader(const std::uint8_t (&bytes)[kHeaderSize], Header *header);

// Reads a payload; the first failure sticks, and every read after it gives
// zeros, so that a caller checks Ok() once at the end.
class Reader {
public:
    Reader(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t U8();
    std::uint16_t U16();
    std::uint32_t U32();
    std::uint64_t U64();
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
    float F32();
    double F64();
    GUID Guid();
    FILETIME Time();
    // false and an empty text for a null pointer.
    bool Text(std::u16string *text);
    bool Blob(std::vector<BYTE> *data);
    // The value, owned by the caller (VariantClear); VT_EMPTY on failure.
    void Variant(VARIANT *value);
    // A count of items of at least minimumSize bytes each, refused when the
    // rest of the message cannot hold that many.
    std::uint32_t Count(std::size_t minimumSize);

    bool Ok() const { return ok_; }
    // Everything read, nothing left over.
    bool Done() const { return ok_ && position_ == size_; }
    void Fail() { ok_ = false; }

private:
    const std::uint8_t *Take(std::size_t size);

    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t position_ = 0;
    bool ok_ = true;
};

}  // namespace comremote
