#include "collector/StatusLogger.h"

#include <chrono>

#include "foundation/NSDateExtensions.h"
#include "foundation/NerovaLogger.h"

namespace {

// The header's start time, always in UTC: "yyyy-MM-dd HH:mm:ss +0000".
std::string utcHeaderStamp() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const double seconds = std::chrono::duration<double>(now).count();
    return NSDateExtensions::timestampAsUTC(NRVDate::fromUnix(seconds), "yyyy-MM-dd HH:mm:ss ZZZ");
}

}  // namespace

StatusLogger::StatusLogger(std::string collectionLogURL) : collectionLogURL_(std::move(collectionLogURL)) {}

void StatusLogger::setCollectionLogURL(std::string url) {
    collectionLogURL_ = std::move(url);
    writtenIdentity_.reset();
}

void StatusLogger::setProgressStatus(std::string text) {
    progressStatus_ = std::move(text);
    writtenIdentity_.reset();
}

void StatusLogger::indicateSuccess(const std::string& message) {
    NerovaLogger::zep().log(platform::log::Level::Default, "Success: " + message);
    updateStatus("Success: " + message);
}

void StatusLogger::indicateFailure(const std::string& message) {
    NerovaLogger::zep().log(platform::log::Level::Error, "Failure: " + message);
    updateStatus("Failure: " + message);
}

void StatusLogger::indicateWarning(const std::string& message) {
    NerovaLogger::zep().log(platform::log::Level::Debug, "Warning: " + message);
    updateStatus("Warning: " + message);
}

void StatusLogger::updateStatus(const std::string& line) {
    progressStatus_ += line;
    progressStatus_ += '\n';
    platform::Error error;
    if (!syncFile(&error)) progressStatus_ += "Failure updating log file: " + error.description + "\n";
}

bool StatusLogger::generateCollectionLog() {
    platform::Error error;
    if (!syncFile(&error)) {
        indicateFailure(std::string("Unable to generate ") + defaultFileName + " -> " + error.description);
        return false;
    }
    indicateSuccess(std::string("Generated ") + defaultFileName + "\n");
    return true;
}

bool StatusLogger::writeCollectionLog(const std::string&) {
    // The log of a run is always this logger's own file.
    writtenIdentity_.reset();
    if (!platform::fs::createFile(collectionLogURL_)) {
        indicateFailure("Unable to create file at " + collectionLogURL_);
        return false;
    }
    updateStatus(utcHeaderStamp() + " Begin collection... \n");
    return generateCollectionLog();
}

bool StatusLogger::syncFile(platform::Error* error) {
    // Rewriting the whole text for every line would make a long run
    // quadratic; appending is safe while the file is still the one this
    // logger wrote last. Otherwise the file is replaced whole, atomically.
    bool written = false;
    if (writtenIdentity_ && writtenLength_ <= progressStatus_.size() &&
        platform::fs::fileIdentity(collectionLogURL_) == writtenIdentity_) {
        written = platform::fs::appendToFile(
            collectionLogURL_, std::string_view(progressStatus_).substr(writtenLength_), error);
    } else {
        written = platform::fs::writeFileAtomically(collectionLogURL_, progressStatus_, error);
    }
    if (!written) {
        writtenIdentity_.reset();
        return false;
    }
    writtenLength_ = progressStatus_.size();
    writtenIdentity_ = platform::fs::fileIdentity(collectionLogURL_);
    return true;
}
