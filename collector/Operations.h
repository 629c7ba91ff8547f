// The collection catalogue: what a collection gathers and where it lands.
#pragma once

#include <string>
#include <variant>
#include <vector>

// A unified-log subsystem and a process name whose records are extracted.
struct LoggingSubsystem {
    std::string rawValue;
    bool operator==(const LoggingSubsystem&) const = default;
};
struct LoggingProcess {
    std::string rawValue;
    bool operator==(const LoggingProcess&) const = default;
};

// One catalogue row. Output folders are relative to the staging folder ("."
// is the staging folder itself); sources and commands are absolute paths or
// begin with "~", and may hold "*" wildcards.
struct Operations {
    struct copyDirectory {
        std::string outputFolder;
        std::string collectionName;
        std::vector<std::string> sources;
    };
    struct copyFile {
        std::string outputFolder;
        std::vector<std::string> sources;
    };
    struct writeWCKSnapshot {
        std::string outputFolder;
    };
    struct execCmd {
        std::string outputFolder;
        std::string command;
        std::vector<std::string> parameters;
        std::string outputFile;
    };
    struct extractOSLogWithSubSystemPredicate {
        LoggingSubsystem subsystem;
    };
    struct extractOSLogWithProcessPredicate {
        LoggingProcess process;
    };

    using Row = std::variant<copyDirectory, copyFile, writeWCKSnapshot, execCmd,
                             extractOSLogWithSubSystemPredicate, extractOSLogWithProcessPredicate>;
    Row row;

    // The full catalogue (60 rows) and the home-edition catalogue (56 rows),
    // each built once on first use.
    static const std::vector<Operations>& allOperations();
    static const std::vector<Operations>& allOperationsHome();
};
