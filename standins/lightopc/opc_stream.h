// The streams of Data Access 1.0a: what a group sends through a client's
// IAdviseSink, laid out as the standard lays them out. A data stream is an
// OPCGROUPHEADER, one OPCITEMHEADER1 (with the item's time) or OPCITEMHEADER2
// per item and the values; a write-complete stream an OPCGROUPHEADERWRITE and
// one OPCITEMHEADERWRITE per item. Offsets count from the stream's first byte.
//
// A value is the VARIANT as it lies in memory (the size of this platform's
// VARIANT, at an offset that is a multiple of 8); a text (VT_BSTR) follows its
// VARIANT as its DWORD byte count, its characters and a terminating null, and
// the VARIANT's own pointer is written as null.
#pragma once

#include <cstddef>
#include <vector>

#include "opc_da.h"
#include "platform/data_transfer.h"

enum class StreamFormat { kData, kDataTime, kWriteComplete };

// The values of a data stream, as the group reads them from the cache.
struct StreamItems {
    DWORD count;
    const OPCHANDLE *clients;
    const VARIANT *values;
    const WORD *qualities;
    const FILETIME *times;
};

// The whole stream into bytes (cleared first). Throws std::bad_alloc.
void WriteDataStream(StreamFormat format, OPCHANDLE group, DWORD transaction, HRESULT status, const StreamItems &items,
                     std::vector<BYTE> *bytes);
void WriteCompleteStream(OPCHANDLE group, DWORD transaction, HRESULT status, DWORD count, const OPCHANDLE *clients,
                         const HRESULT *errors, std::vector<BYTE> *bytes);

// A global memory block with a copy of bytes, for a STGMEDIUM; null when out of memory.
HGLOBAL GlobalCopy(const std::vector<BYTE> &bytes);
