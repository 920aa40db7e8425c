// Data Access 1.0a's subscriptions: the IAdviseSink connections a client makes
// on a group's IDataObject, at most one for each of the three stream formats
// (registered by name as clipboard formats), always in global memory.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "com_object.h"
#include "opc_stream.h"

// The clipboard format numbers of the three stream formats in this process.
CLIPFORMAT ClipFormatOf(StreamFormat format);

// Sends a stream to a sink as OnDataChange with a global memory block that
// this call owns and frees. OnDataChange answers nothing, so a second call
// (a QueryInterface the client cannot have answered before) tells whether
// the client is still there: its result. Throws std::bad_alloc.
HRESULT SendStream(IAdviseSink *sink, StreamFormat format, const std::vector<BYTE> &bytes);

class AdviseSinks {
public:
    struct Sink {
        StreamFormat format;
        DWORD connection;
        ComPtr<IAdviseSink> sink;
    };

    // advising and advised as for a SinkList: around a sink of a data format
    // being added, outside the lock.
    AdviseSinks(std::function<void()> advising, std::function<void()> advised)
        : advising_(std::move(advising)), advised_(std::move(advised)) {}

    // DV_E_FORMATETC for a format other than the three, or a medium other than
    // global memory; CONNECT_E_ADVISELIMIT when the format has its sink.
    HRESULT Advise(const FORMATETC *format, IAdviseSink *sink, DWORD *connection);
    HRESULT Unadvise(DWORD connection);
    // The format of an advised connection; false for one not advised.
    bool FormatOf(DWORD connection, StreamFormat *format) const;
    // connection 0: every sink of a data format; else that connection's.
    std::vector<Sink> Sinks(DWORD connection) const;
    // Whether a sink of a data format is advised. A write-complete sink alone
    // hears from the group only when the client writes, so it cannot tell
    // that the client is gone: it keeps no session alive.
    bool Delivers() const;
    // Lets a sink go (its client is gone): false when it was not advised.
    bool Remove(DWORD connection);
    void Clear();

private:
    const std::function<void()> advising_;
    const std::function<void()> advised_;
    mutable std::mutex lock_;
    std::vector<Sink> sinks_;
    DWORD nextConnection_ = 1;
};
