// The status sink of a collection and the writer of the collection log.
//
// Threading: not thread-safe, and takes no lock. It is used by one thread at
// a time: during a run that is the driver's operation queue (whose
// operations run one at a time), before and after it the thread that owns
// the driver. Subclasses' updateStatus() overrides run on the calling
// thread, so a front end that shows lines elsewhere hands them over itself.
// Every status line also goes to the unified log (category "zep"), which is
// safe from any thread. The destructor waits for nothing; the driver holds
// the logger by shared pointer for as long as it runs.
#pragma once

#include <optional>
#include <string>

#include "platform/fs/FileManager.h"

class StatusLogger {
public:
    static constexpr const char* defaultFileName = "Nerova Diagnostic Utility.log";

    explicit StatusLogger(std::string collectionLogURL);
    StatusLogger() = delete;
    virtual ~StatusLogger() = default;

    const std::string& collectionLogURL() const { return collectionLogURL_; }
    void setCollectionLogURL(std::string url);
    const std::string& progressStatus() const { return progressStatus_; }
    void setProgressStatus(std::string text);

    virtual void indicateSuccess(const std::string& message);
    virtual void indicateFailure(const std::string& message);
    virtual void indicateWarning(const std::string& message);
    virtual void updateStatus(const std::string& line);
    virtual bool generateCollectionLog();
    virtual bool writeCollectionLog(const std::string& url);

private:
    // Brings the file up to progressStatus_: appends what is new when the file
    // is still the one last written, else rewrites it whole.
    bool syncFile(platform::Error* error);

    std::string collectionLogURL_;
    std::string progressStatus_;
    std::size_t writtenLength_ = 0;                        // bytes of progressStatus_ on disk
    std::optional<platform::fs::FileIdentity> writtenIdentity_;  // the file as last written
};
