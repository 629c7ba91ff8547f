#pragma once

#include <memory>
#include <string>
#include <vector>

#include "collector/Copier.h"
#include "collector/WildCardExtractor.h"
#include "platform/dispatch/OperationQueue.h"

class StatusLogger;

// Copies named files (with "~" and wildcard expansion) into one folder,
// never overwriting: an identical file is skipped, a different one of the
// same name gets the user's name in front.
//
// Threading: main() (performCopy) runs on the thread of the operation queue
// that starts it and writes to the status logger, which is not thread-safe:
// the queue runs one operation at a time. Accessors are for the thread that
// builds the operation.
class FileCopier : public platform::Operation, public Copier, public WildCardExtractor {
public:
    // How the sources are written: as the product names them (absolute paths
    // read under the system root, or "~" paths), or as real paths already.
    enum class SourcePaths { Product, Real };

    // What reaches the logger: everything, or (for files inside a copied
    // folder) only the failures.
    enum class Reporting { All, FailuresOnly };

    FileCopier(const std::string& fileOutputFolder, std::vector<std::string> sources,
               std::shared_ptr<StatusLogger> statusLogger, const std::string& stagingLocation,
               SourcePaths sourcePaths = SourcePaths::Product, Reporting reporting = Reporting::All);

    void main() override { performCopy(); }
    // true when no copy failed.
    bool performCopy();

    const std::string& outputFolder() const { return outputFolder_; }
    const std::vector<std::string>& sources() const { return sources_; }
    static constexpr const char* wildChar = "*";

private:
    bool copyToOutputFolder(const std::string& realSource, const std::string& fileName);
    void warn(const std::string& message) const;

    std::string outputFolder_;
    std::vector<std::string> sources_;
    std::shared_ptr<StatusLogger> statusLogger_;
    SourcePaths sourcePaths_;
    Reporting reporting_;
};
