// A watch on the machine's proxy settings that tells registered listeners
// when they change; the session handler rebuilds its routes on it.
//
// The settings are the file "<runtime root>/network/proxy.plist", else the
// http_proxy, https_proxy and no_proxy variables (platform/proxy). The
// watch covers the file (and its folder) through inotify; a change of the
// environment variables is not seen.
//
// Threading: process-wide state made once, on first use: the serial queue
// "com.nerova.networksettings.sharedTaskQueue" (watched by the queue
// monitor) and the list of blocks, changed and read only on it. Blocks run
// on that queue, in registration order; they are never removed.
#pragma once

#include <functional>
#include <memory>

#include "platform/dispatch/Dispatch.h"
#include "platform/proxy/ProxySettings.h"

class NRVNetworkSettings {
public:
    NRVNetworkSettings() = delete;
    using NotificationBlock = std::function<void()>;

    // Appends the block, asynchronously on the shared queue.
    static void monitorProxyChangeWithNotificationBlock(NotificationBlock block);
    // The first use of the class starts the watch; each call starts it anew
    // on the runtime root as it reads now (where a test points it elsewhere).
    static void watchProxySettingChange();
    // On the shared queue: when a block is registered, logs the change
    // (category proxy, debug) and calls every block.
    static void reportProxyChange();

    // The machine's proxy settings as they read now.
    static platform::proxy::Settings currentProxySettings();

    static std::shared_ptr<platform::dispatch::DispatchQueue> sharedTaskQueue();
};

// The watch's callback: reports the change.
void proxySettingsDidChange();
