// libcurl body of the HTTP engine. One multi handle per engine, driven by one
// thread; commands from other threads are queued and the thread woken with
// curl_multi_wakeup, so no curl handle is ever touched by two threads.
#include "platform/http/HttpEngineInternal_curl.h"
#include "platform/http/HttpStreamConnection_curl.h"

#include "platform/crypto/OpenSSLState.h"

namespace platform::http {
namespace detail {

std::once_flag gCurlInit;

void initCurl() {
    std::call_once(gCurlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The engine whose thread this is; null on every other thread.
thread_local EngineCore* tEngineThread = nullptr;

EngineThreadMayWait::EngineThreadMayWait() : core(tEngineThread) {
    if (core) core->beginWait();
}

EngineThreadMayWait::~EngineThreadMayWait() {
    if (core) core->endWait();
}

namespace {

class EngineImpl final : public Engine {
public:
    explicit EngineImpl(const std::string& name) : core_(std::make_shared<EngineCore>()) {
        auto core = core_;
        thread_ = std::thread([core] { core->run(); });
        (void)name;
    }
    ~EngineImpl() override {
        core_->stop();
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else if (thread_.joinable()) {
            thread_.join();
        }
    }

    std::shared_ptr<Session> createSession(const ProxyRoute& route) override {
        return std::make_shared<SessionImpl>(route, core_);
    }

    std::shared_ptr<Transfer> start(const std::shared_ptr<Session>& session, Request request, TransferDelegate delegate,
                                    ServerTrustHook trust) override {
        auto impl = std::dynamic_pointer_cast<SessionImpl>(session);
        auto transfer = std::make_shared<TransferImpl>(impl, std::move(request), std::move(delegate), std::move(trust), core_);
        auto core = core_;
        const bool posted = core->post([core, transfer, impl] {
            if (!impl || impl->isInvalidated()) {
                transfer->finishWith(TransferErrorKind::Cancelled, "session invalidated");
                return;
            }
            core->add(transfer);
        });
        // The engine is gone: the completion still runs once, here.
        if (!posted) transfer->finishWith(TransferErrorKind::Cancelled, "engine stopped");
        return transfer;
    }

    std::unique_ptr<StreamConnection> openStream(const std::shared_ptr<Session>& session, const std::string& url,
                                                 const std::optional<Credentials>& proxyCredentials, long connectTimeoutMs,
                                                 ServerTrustHook trust, TransferResult* result) override {
        TransferResult scratch;
        if (!result) result = &scratch;
        if (!session || session->isInvalidated()) {
            result->kind = TransferErrorKind::Cancelled;
            result->message = "session invalidated";
            return nullptr;
        }
        std::optional<ProxyRoute> route = session->route();
        if (route->mode == ProxyRoute::Mode::System) route = core_->systemProxyFor(url);
        return openStreamConnection(url, route, proxyCredentials, connectTimeoutMs, std::move(trust), result);
    }

    void setSystemProxyResolver(std::function<std::optional<ProxyRoute>(const std::string&)> resolver) override {
        core_->setResolver(std::move(resolver));
    }

    void dispatch(const std::shared_ptr<platform::dispatch::DispatchQueue>& queue, Block block) override {
        // The worker the queue would hand to the pool, if it was idle.
        Block worker;
        {
            WorkerPool::DeferralScope scope(&worker);
            queue->async(std::move(block));
        }
        if (worker && !core_->tryPost(worker, true)) WorkerPool::shared().run(std::move(worker));
    }

private:
    std::shared_ptr<EngineCore> core_;
    std::thread thread_;
};

}  // namespace
}  // namespace detail

std::shared_ptr<Engine> Engine::create(const std::string& name) { return std::make_shared<detail::EngineImpl>(name); }

}  // namespace platform::http
