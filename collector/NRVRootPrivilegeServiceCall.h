// One use of the root-privileged service by a collection step: the
// connection (up to kConnectTimeoutSeconds), then one call given a folder and
// the wait for its Bool answer (up to replyTimeout()). It uses the step's
// injected client helper when there is one; otherwise a helper of its own,
// disconnected from the service when this object goes.
//
// Threading: connect() and call() block their caller (the driver's serial
// queue) and must not run on the connection's queue. The reply and error
// handlers run on that queue and only fill a set-once cell and leave a group;
// an answer after the wait has ended changes nothing. Both waits end early
// when the calling thread's WaitInterruption is requested (as on a timeout).
#pragma once

#include <memory>
#include <string>

class NRVXPCClientHelper;

class NRVRootPrivilegeServiceCall {
public:
    struct Answer {
        bool timedOut = false;
        // The service's answer; NO as well when none came.
        bool value = false;
    };

    explicit NRVRootPrivilegeServiceCall(std::shared_ptr<NRVXPCClientHelper> injectedClientHelper);
    ~NRVRootPrivilegeServiceCall();
    NRVRootPrivilegeServiceCall(const NRVRootPrivilegeServiceCall&) = delete;
    NRVRootPrivilegeServiceCall& operator=(const NRVRootPrivilegeServiceCall&) = delete;

    // Whether the service was reached in time; false at once when no broker
    // runs.
    bool connect();
    // Calls `selector` with `folder` and waits for the answer. When no proxy
    // can be had, the error's text is logged after `proxyFailurePrefix`.
    Answer call(const std::string& selector, const std::string& folder, const std::string& proxyFailurePrefix);

private:
    std::shared_ptr<NRVXPCClientHelper> client_;
    bool ownsClient_;
};
