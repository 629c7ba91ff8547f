#include "net/session/NRVURLSessionHandler.h"

#include "foundation/NRVDispatchExtensions.h"
#include "foundation/NRVQueueMonitor.h"
#include "foundation/NerovaLogger.h"
#include "ipc/notify/NRVDistributedNotification.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "net/broker/NRVNetworkSettings.h"
#include "net/session/NRVURLSessionHandlerInternal.h"
#include "net/session/NRVWebSocketTask.h"
#include "settings-client/NRVConfigXPCProtocol.h"

using platform::dispatch::DispatchQueue;

// --- creation ---------------------------------------------------------------

NRVURLSessionHandler::NRVURLSessionHandler()
    : taskQueue_(DispatchQueue::createSerial("com.nerova.nrvurlsession.handler.taskqueue")),
      engine_(platform::http::Engine::create("com.nerova.nrvurlsession.handler")) {}

std::shared_ptr<NRVURLSessionHandler> NRVURLSessionHandler::createDetached() {
    auto handler = std::shared_ptr<NRVURLSessionHandler>(new NRVURLSessionHandler);
    NRVQueueMonitor::monitorDispatchQueue(handler->taskQueue_);
    handler->engine_->setSystemProxyResolver(&NRVSystemProxyForURL);
    return handler;
}

std::shared_ptr<NRVURLSessionHandler> NRVURLSessionHandler::create() {
    auto handler = createDetached();
    handler->distributedNotification_ = NRVDistributedNotification::create();
    handler->clientHelper_ = std::make_shared<NRVXPCClientHelper>();
    handler->setup();
    std::weak_ptr<NRVURLSessionHandler> weak = handler;
    handler->distributedNotification_->subscribeName(kSettingsChangedNotification,
                                                     [weak](const std::string&, const NRVValue& object) {
                                                         if (auto self = weak.lock()) {
                                                             self->configSettingsChanged(object.asDictionary());
                                                         }
                                                     });
    NRVNetworkSettings::monitorProxyChangeWithNotificationBlock([weak] {
        if (auto self = weak.lock()) self->refreshContainers();
    });
    NerovaLogger::session().log("NRVURLSessionHandler created");
    return handler;
}

NRVURLSessionHandler::~NRVURLSessionHandler() {
    NerovaLogger::session().log("Stopping all services");
    sseState_ = 3;
    if (clientHelper_) clientHelper_->disconnectService(kSettingsService);
    if (distributedNotification_) distributedNotification_->unsubscribeAllNames();
    if (pingTimer_) pingTimer_->cancel();
    for (const auto& task : webSocketTasks_) task->cancelWithCloseCode(NRVWebSocketTask::kGoingAway, "");
}

namespace {

std::atomic<std::int64_t>& settingsConnectWaitMilliseconds() {
    static std::atomic<std::int64_t> wait{NRVURLSessionHandler::kSettingsConnectWait.count()};
    return wait;
}

}  // namespace

void NRVURLSessionHandler::setSettingsConnectWaitForUnitTest(std::chrono::milliseconds wait) {
    settingsConnectWaitMilliseconds().store(wait.count());
}

void NRVURLSessionHandler::setup() {
    auto group = platform::dispatch::DispatchGroup::create();
    dispatch_group_safe_enter(group);
    std::weak_ptr<NRVURLSessionHandler> weak = shared_from_this();
    auto left = std::make_shared<std::atomic<bool>>(false);
    clientHelper_->connectService(kSettingsService, NRVConfigXPCProtocol::protocol(),
                                  [weak, group, left](const NRVXPCProxy& proxy) {
                                      if (proxy) {
                                          NerovaLogger::xpc().log(std::string("Connected to xpc service '") +
                                                                  kSettingsService + "'");
                                          if (auto self = weak.lock()) self->configSettingsChanged(nullptr);
                                          if (!left->exchange(true)) dispatch_group_safe_leave(group);
                                      } else {
                                          NerovaLogger::xpc().error(std::string("Connection lost to xpc service '") +
                                                                    kSettingsService + "'");
                                      }
                                  });
    const std::int64_t wait = settingsConnectWaitMilliseconds().load();
    dispatch_group_safe_wait(group, platform::dispatch::dispatchTime(platform::dispatch::DISPATCH_TIME_NOW,
                                                                     wait * platform::dispatch::NSEC_PER_MSEC));
}
