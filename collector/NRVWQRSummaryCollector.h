// Asks the root-privileged service to write the data recorder's activity
// summary into the staging folder ("wqr"); reads and writes no summary data
// itself.
//
// Threading: collectSummaryIntoStagingLocation() blocks its caller (the
// driver's serial queue) for up to the 3 s connection attempt plus the wait
// for the answer. The reply and error handlers run on the connection's queue
// and only fill a set-once cell and leave a group; an answer after the wait
// has ended changes nothing. A WaitInterruption requested on the calling
// thread ends the waits at once, and the step then reports nothing.
#pragma once

#include <memory>
#include <string>

class NRVXPCClientHelper;
class StatusLogger;

class NRVWQRSummaryCollector {
public:
    static constexpr const char* kSummaryFolderName = "wqr";

    void collectSummaryIntoStagingLocation(const std::string& stagingLocation,
                                           const std::shared_ptr<StatusLogger>& statusLogger);

    const std::shared_ptr<NRVXPCClientHelper>& xpcClientHelper() const { return xpcClientHelper_; }
    void setXpcClientHelper(std::shared_ptr<NRVXPCClientHelper> helper) { xpcClientHelper_ = std::move(helper); }

private:
    std::shared_ptr<NRVXPCClientHelper> xpcClientHelper_;
};
