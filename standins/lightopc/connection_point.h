// Connection points: the sinks that clients advise on a group (IOPCDataCallback)
// or on the server (IOPCShutdown). The container owns its sink lists; a
// connection point is made on demand and holds its container alive, so that
// neither keeps the other in a cycle.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "enumerators.h"

// The sinks of one outgoing interface. Callers take a snapshot (with
// references) under the list's lock and call the sinks after releasing it.
class SinkList {
public:
    // limit: how many sinks may be advised at once (0: no limit). advising is
    // called before a sink that the limit admits is added, advised after it
    // was, both outside the list's lock: whoever calls the sinks sees the
    // new one only with what advising prepared for it.
    SinkList(const IID &iid, std::size_t limit, std::function<void()> advising = nullptr,
             std::function<void()> advised = nullptr)
        : iid_(iid), limit_(limit), advising_(std::move(advising)), advised_(std::move(advised)) {}

    const IID &Iid() const { return iid_; }
    // Queries sink for the outgoing interface and keeps it.
    HRESULT Advise(IUnknown *sink, DWORD *cookie);
    HRESULT Unadvise(DWORD cookie);
    std::vector<Connection> Connections() const;
    // The sinks as the outgoing interface, each with a reference.
    template <class Sink>
    std::vector<ComPtr<Sink>> Sinks() const {
        std::lock_guard<std::mutex> held(lock_);
        std::vector<ComPtr<Sink>> sinks;
        sinks.reserve(sinks_.size());
        for (const Connection &connection : sinks_)
            sinks.push_back(ComPtr<Sink>::Share(static_cast<Sink *>(connection.sink.get())));
        return sinks;
    }
    bool Empty() const;
    // Lets one sink go (its client is gone): false when it was not advised.
    bool Remove(IUnknown *sink);
    // Lets every sink go (the container is closing).
    void Clear();

private:
    const IID &iid_;
    const std::size_t limit_;
    const std::function<void()> advising_;
    const std::function<void()> advised_;
    mutable std::mutex lock_;
    std::vector<Connection> sinks_;  // the sink is the outgoing interface itself
    DWORD nextCookie_ = 1;
};

class ConnectionPoint final : public ComObject<ConnectionPoint, IConnectionPoint> {
public:
    // sinks must live as long as container.
    ConnectionPoint(IConnectionPointContainer *container, SinkList &sinks)
        : container_(ComPtr<IConnectionPointContainer>::Share(container)), sinks_(sinks) {}

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID *iid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer **container) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown *sink, DWORD *cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections **connections) override;

private:
    friend class ComObject<ConnectionPoint, IConnectionPoint>;
    ~ConnectionPoint() = default;

    const ComPtr<IConnectionPointContainer> container_;
    SinkList &sinks_;
};

// The two calls of IConnectionPointContainer for a container with one list.
HRESULT FindPoint(IConnectionPointContainer *container, SinkList &sinks, REFIID iid, IConnectionPoint **point);
HRESULT EnumPoints(IConnectionPointContainer *container, SinkList &sinks, IEnumConnectionPoints **points);
