#include "connection_point.h"

HRESULT SinkList::Advise(IUnknown *sink, DWORD *cookie) {
    if (cookie == nullptr) return E_POINTER;
    *cookie = 0;
    if (sink == nullptr) return E_POINTER;
    void *queried = nullptr;
    if (FAILED(sink->QueryInterface(iid_, &queried)) || queried == nullptr) return CONNECT_E_CANNOTCONNECT;
    ComPtr<IUnknown> held = ComPtr<IUnknown>::Adopt(static_cast<IUnknown *>(queried));
    if (advising_) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (limit_ != 0 && sinks_.size() >= limit_) return CONNECT_E_ADVISELIMIT;
        }
        advising_();
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (limit_ != 0 && sinks_.size() >= limit_) return CONNECT_E_ADVISELIMIT;
        sinks_.push_back(Connection{std::move(held), nextCookie_});
        *cookie = nextCookie_;
        if (++nextCookie_ == 0) nextCookie_ = 1;
    }
    if (advised_) advised_();
    return S_OK;
}

HRESULT SinkList::Unadvise(DWORD cookie) {
    ComPtr<IUnknown> gone;  // released after the lock: the sink may call back in
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
            if (it->cookie != cookie) continue;
            gone = std::move(it->sink);
            sinks_.erase(it);
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

std::vector<Connection> SinkList::Connections() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sinks_;
}

bool SinkList::Empty() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sinks_.empty();
}

bool SinkList::Remove(IUnknown *sink) {
    ComPtr<IUnknown> gone;  // released after the lock, as in Unadvise
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
        if (it->sink.get() != sink) continue;
        gone = std::move(it->sink);
        sinks_.erase(it);
        return true;
    }
    return false;
}

void SinkList::Clear() {
    std::vector<Connection> gone;
    std::lock_guard<std::mutex> guard(lock_);
    gone.swap(sinks_);
}

HRESULT ConnectionPoint::GetConnectionInterface(IID *iid) {
    if (iid == nullptr) return E_POINTER;
    *iid = sinks_.Iid();
    return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer **container) {
    if (container == nullptr) return E_POINTER;
    *container = ComPtr<IConnectionPointContainer>(container_).Detach();
    return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown *sink, DWORD *cookie) {
    return NoThrow([&] { return sinks_.Advise(sink, cookie); });
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
    return sinks_.Unadvise(cookie);
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections **connections) {
    if (connections == nullptr) return E_POINTER;
    *connections = nullptr;
    return NoThrow([&] {
        const HRESULT made = MakeEnumerator<ConnectionEnumerator>(sinks_.Connections(), IID_IEnumConnections,
                                                                  reinterpret_cast<IUnknown **>(connections));
        return SUCCEEDED(made) ? S_OK : made;
    });
}

HRESULT FindPoint(IConnectionPointContainer *container, SinkList &sinks, REFIID iid, IConnectionPoint **point) {
    if (point == nullptr) return E_POINTER;
    *point = nullptr;
    if (!IsEqualGUID(iid, sinks.Iid())) return CONNECT_E_NOCONNECTION;
    *point = new (std::nothrow) ConnectionPoint(container, sinks);
    return *point != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT EnumPoints(IConnectionPointContainer *container, SinkList &sinks, IEnumConnectionPoints **points) {
    if (points == nullptr) return E_POINTER;
    *points = nullptr;
    return NoThrow([&] {
        IConnectionPoint *point = nullptr;
        const HRESULT found = FindPoint(container, sinks, sinks.Iid(), &point);
        if (FAILED(found)) return found;
        std::vector<ComPtr<IConnectionPoint>> list{ComPtr<IConnectionPoint>::Adopt(point)};
        const HRESULT made = MakeEnumerator<PointEnumerator>(std::move(list), IID_IEnumConnectionPoints,
                                                             reinterpret_cast<IUnknown **>(points));
        return SUCCEEDED(made) ? S_OK : made;
    });
}
