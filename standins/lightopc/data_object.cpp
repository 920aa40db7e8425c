// A group's IDataObject: DAdvise and DUnadvise for the three stream formats;
// the rest of the interface is not served, as Data Access 1.0a lists it.
#include "data_object.h"

#include "group.h"

namespace {

// A QueryInterface for this id is never answered yes, so no proxy keeps the
// answer: it always reaches the client.
constexpr IID kLivenessProbe = {0x6B1D2C7E, 0x5A43, 0x4F0B, {0x9E, 0x21, 0x3C, 0x7A, 0x51, 0xD8, 0x02, 0x6F}};

}  // namespace

CLIPFORMAT ClipFormatOf(StreamFormat format) {
    static const CLIPFORMAT data = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATA"));
    static const CLIPFORMAT dataTime = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME"));
    static const CLIPFORMAT writeComplete =
        static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE"));
    switch (format) {
        case StreamFormat::kData:
            return data;
        case StreamFormat::kDataTime:
            return dataTime;
        case StreamFormat::kWriteComplete:
            break;
    }
    return writeComplete;
}

HRESULT SendStream(IAdviseSink *sink, StreamFormat format, const std::vector<BYTE> &bytes) {
    FORMATETC formatEtc{ClipFormatOf(format), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = GlobalCopy(bytes);
    medium.pUnkForRelease = nullptr;
    if (medium.hGlobal == nullptr) throw std::bad_alloc();
    sink->OnDataChange(&formatEtc, &medium);
    ReleaseStgMedium(&medium);
    IUnknown *probe = nullptr;
    const HRESULT answer = sink->QueryInterface(kLivenessProbe, reinterpret_cast<void **>(&probe));
    if (SUCCEEDED(answer) && probe != nullptr) probe->Release();
    return answer;
}

HRESULT AdviseSinks::Advise(const FORMATETC *format, IAdviseSink *sink, DWORD *connection) {
    if (connection != nullptr) *connection = 0;
    if (format == nullptr || sink == nullptr || connection == nullptr) return E_INVALIDARG;
    StreamFormat kind = StreamFormat::kData;
    bool known = false;
    for (StreamFormat candidate : {StreamFormat::kData, StreamFormat::kDataTime, StreamFormat::kWriteComplete}) {
        if (format->cfFormat == ClipFormatOf(candidate)) {
            kind = candidate;
            known = true;
        }
    }
    if (!known || format->tymed != TYMED_HGLOBAL) return DV_E_FORMATETC;
    const bool data = kind != StreamFormat::kWriteComplete;
    {
        std::lock_guard<std::mutex> held(lock_);
        for (const Sink &advised : sinks_) {
            if (advised.format == kind) return CONNECT_E_ADVISELIMIT;
        }
    }
    if (data && advising_) advising_();
    {
        std::lock_guard<std::mutex> held(lock_);
        for (const Sink &advised : sinks_) {
            if (advised.format == kind) return CONNECT_E_ADVISELIMIT;  // another call was quicker
        }
        sinks_.push_back(Sink{kind, nextConnection_, ComPtr<IAdviseSink>::Share(sink)});
        *connection = nextConnection_++;
        if (nextConnection_ == 0) nextConnection_ = 1;
    }
    if (data && advised_) advised_();
    return S_OK;
}

HRESULT AdviseSinks::Unadvise(DWORD connection) {
    return Remove(connection) ? S_OK : OLE_E_NOCONNECTION;
}

bool AdviseSinks::FormatOf(DWORD connection, StreamFormat *format) const {
    std::lock_guard<std::mutex> held(lock_);
    for (const Sink &advised : sinks_) {
        if (advised.connection == connection) {
            *format = advised.format;
            return true;
        }
    }
    return false;
}

std::vector<AdviseSinks::Sink> AdviseSinks::Sinks(DWORD connection) const {
    std::lock_guard<std::mutex> held(lock_);
    std::vector<Sink> sinks;
    for (const Sink &advised : sinks_) {
        const bool wanted =
            connection == 0 ? advised.format != StreamFormat::kWriteComplete : advised.connection == connection;
        if (wanted) sinks.push_back(advised);
    }
    return sinks;
}

bool AdviseSinks::Delivers() const {
    std::lock_guard<std::mutex> held(lock_);
    for (const Sink &advised : sinks_) {
        if (advised.format != StreamFormat::kWriteComplete) return true;
    }
    return false;
}

bool AdviseSinks::Remove(DWORD connection) {
    ComPtr<IAdviseSink> leaving;  // released after the lock: the client may be called
    std::lock_guard<std::mutex> held(lock_);
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
        if (it->connection != connection) continue;
        leaving = std::move(it->sink);
        sinks_.erase(it);
        return true;
    }
    return false;
}

void AdviseSinks::Clear() {
    std::vector<Sink> leaving;
    {
        std::lock_guard<std::mutex> held(lock_);
        leaving.swap(sinks_);
    }
}

HRESULT Group::GetData(FORMATETC *, STGMEDIUM *) {
    return E_NOTIMPL;
}

HRESULT Group::GetDataHere(FORMATETC *, STGMEDIUM *) {
    return E_NOTIMPL;
}

HRESULT Group::QueryGetData(FORMATETC *) {
    return E_NOTIMPL;
}

HRESULT Group::GetCanonicalFormatEtc(FORMATETC *, FORMATETC *) {
    return E_NOTIMPL;
}

HRESULT Group::SetData(FORMATETC *, STGMEDIUM *, BOOL) {
    return E_NOTIMPL;
}

HRESULT Group::EnumFormatEtc(DWORD, IEnumFORMATETC **formats) {
    if (formats != nullptr) *formats = nullptr;
    return E_NOTIMPL;
}

// The advise flags are ignored: every stream carries its data, sent when due.
HRESULT Group::DAdvise(FORMATETC *format, DWORD, IAdviseSink *sink, DWORD *connection) {
    return NoThrow([&] { return streams_.Advise(format, sink, connection); });
}

HRESULT Group::DUnadvise(DWORD connection) {
    return NoThrow([&] { return streams_.Unadvise(connection); });
}

HRESULT Group::EnumDAdvise(IEnumSTATDATA **advises) {
    if (advises != nullptr) *advises = nullptr;
    return E_NOTIMPL;
}
