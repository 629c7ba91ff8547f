#include "collector/Operations.h"

#include <initializer_list>
#include <iterator>
#include <string_view>

namespace {

enum class Kind { Directory, Files, Command, Snapshot, SubsystemLog, ProcessLog };

// Which catalogue a row belongs to.
enum Editions : unsigned { Endpoint = 1, Home = 2, Both = Endpoint | Home };

// One catalogue row. For a directory: `name` is the collection name and
// `items` the one source; for files: the sources; for a command: `name` is
// the command, `items` its parameters and `outputFile` the file it writes;
// for the log rows: `name` is the subsystem or process.
struct Row {
    Editions editions;
    Kind kind;
    std::string_view outputFolder;
    std::string_view name;
    std::initializer_list<std::string_view> items;
    std::string_view outputFile;
};

// The crash-report name patterns, each looked for in the system's and the
// user's report folder; the home edition has no "*ips*" row.
constexpr std::string_view kDiagnosticReportPatterns[] = {
    "*UnmountHelper*", "*MountHelper*", "*InstallHelper*", "*Installer*", "*Pellamoor*", "*ClientMRInit*",
    "*nerova*",        "*Nerova*",      "*panic*",         "*hang*",      "*shutdownStall*"};
constexpr std::string_view kEndpointOnlyReportPattern = "*ips*";
constexpr std::string_view kDiagnosticReportsFolder = "DiagnosticReports";

// In catalogue order. The DiagnosticReports row's sources come from the
// patterns above.
const Row kCatalogue[] = {
    {Both, Kind::Directory, "qrb/scan_logs", "Custom Scan Logs", {"~/Library/Logs/Nerova Anti-Virus/Scans/"}, ""},
    {Both, Kind::Directory, "qrb/system_scan_logs", "System Scan Logs", {"/Library/Logs/Nerova Anti-Virus/Scans/"}, ""},
    {Both, Kind::Directory, "rms/NerovaMessageRouter", "NerovaMessageRouter Logs", {"/Library/Logs/NerovaMessageRouter/"}, ""},
    {Both, Kind::Directory, "rms/NerovaManagementAgent", "NerovaManagementAgent Logs", {"/Library/Logs/NerovaManagementAgent/"}, ""},
    {Both, Kind::Directory, "xdr/logs", "XDR logs", {"/Library/Logs/Nerova/Nerova LiveQuery/"}, ""},
    {Both, Kind::Directory, "xdr/scheduled-query-pack", "XDR Scheduled Query Pack",
     {"/Library/Application Support/Nerova LiveQuery/scheduled-query-pack"}, ""},
    {Endpoint, Kind::Files, "encryption/logs", "", {"/Library/Application Support/Nerova Encryption/Logs/KPJSubprocesses.log*"}, ""},
    {Both, Kind::Snapshot, ".", "", {}, ""},
    {Endpoint, Kind::Files, "config/corc", "", {"/Library/Preferences/com.nerova.corc.plist"}, ""},
    {Endpoint, Kind::Files, "config/core", "", {"/Library/Preferences/com.nerova.core.plist"}, ""},
    {Both, Kind::Files, "config/lf", "", {"/Library/Preferences/com.nerova.lockfern.plist"}, ""},
    {Both, Kind::Files, "config/dc", "", {"/Library/Preferences/com.nerova.dc.plist"}, ""},
    {Both, Kind::Files, "config/hbt", "", {"/Library/Preferences/com.nerova.hbt.plist"}, ""},
    {Both, Kind::Files, "config/vtqr", "", {"/Library/Preferences/com.nerova.vtqr.plist"}, ""},
    {Home, Kind::Files, "config/keychain", "", {"/Library/Nerova Anti-Virus/NerovaSecure.keychain"}, ""},
    {Endpoint, Kind::Files, "config/keychain", "",
     {"/Library/Nerova Anti-Virus/NerovaSecure.keychain", "/Library/Nerova Anti-Virus/VevaroRavEzeriz.keychain"}, ""},
    {Both, Kind::Files, "config/mcs", "",
     {"/Library/Preferences/com.nerova.mcs.plist", "/Library/Application Support/Nerova/mcs/config/configuration.plist"}, ""},
    {Endpoint, Kind::Files, "config/mw", "", {"/Library/Preferences/com.nerova.mw.plist"}, ""},
    {Both, Kind::Files, "NerovaDiagnostics", "", {"/Library/Logs/NerovaDiagnostics.*.gz"}, ""},
    {Both, Kind::Files, "config/ntp", "", {"/Library/Preferences/com.nerova.ntp.plist"}, ""},
    {Both, Kind::Files, "config/rca", "", {"/Library/Preferences/com.nerova.rca.plist"}, ""},
    {Both, Kind::Files, "config/rms", "",
     {"/Library/Nerova Anti-Virus/RMS/nerova.config", "/Library/Nerova Anti-Virus/RMS/router.config",
      "/Library/Nerova Anti-Virus/RMS/agent.config", "/Library/Nerova Anti-Virus/RMS/cac.pem",
      "/Library/Nerova Anti-Virus/RMS/MRInit.conf"}, ""},
    {Both, Kind::Files, "config/plw", "",
     {"/Library/Caches/com.nerova.plw/nerovaautoupdate.plist", "/Library/Nerova Anti-Virus/plw.plist",
      "/Library/Preferences/com.nerova.plw.plist"}, ""},
    {Both, Kind::Files, "config/qrb", "",
     {"/Library/Application Support/Nerova/*/receiptConfiguration.plist",
      "/Library/Application Support/com.apple.TCC/MDMOverrides.plist", "/Library/Preferences/com.nerova.ac.plist",
      "/Library/Preferences/com.nerova.qrb.plist", "/Library/Nerova Anti-Virus/com.nerova.wbj.plist",
      "/Library/Preferences/com.nerova.wbj4.plist"}, ""},
    {Both, Kind::Files, "config/scan", "", {"/Library/Preferences/com.nerova.scans.plist"}, ""},
    {Both, Kind::Files, "config/sed", "", {"/Library/Preferences/com.nerova.sed.plist"}, ""},
    {Both, Kind::Files, "config/swc", "", {"/Library/Preferences/com.nerova.swc.plist"}, ""},
    {Both, Kind::Files, "config/xdr", "", {"/Library/Preferences/com.nerova.liveQuery.plist"}, ""},
    {Both, Kind::Files, kDiagnosticReportsFolder, "", {}, ""},
    {Both, Kind::Files, "xdr", "",
     {"/Library/Application Support/Nerova LiveQuery/osquery.flags", "/Library/Application Support/Nerova LiveQuery/osquery.conf",
      "/Library/Application Support/Nerova LiveQuery/nerova_extension.pid"}, ""},
    {Both, Kind::Files, "rms/cache", "",
     {"/Library/Caches/com.nerova.rms/table_router.txt", "/Library/Caches/com.nerova.rms/router.private",
      "/Library/Caches/com.nerova.rms/agent.private"}, ""},
    {Home, Kind::Files, "qrb", "", {"/Library/Nerova Anti-Virus/product-info.plist", "/Library/Logs/Nerova Anti-Virus.log"}, ""},
    {Endpoint, Kind::Files, "qrb", "",
     {"/Library/Nerova Anti-Virus/product-info.plist", "/Library/Logs/Nerova Anti-Virus.log", "/Library/Logs/NerovaUpdater.log"}, ""},
    {Both, Kind::Files, "system", "",
     {"/var/log/install.log", "/etc/hosts", "/var/log/kernel.log", "/var/log/system.log*", "/var/log/secure.log"}, ""},
    {Both, Kind::Files, "config/ztna", "", {"/Library/Preferences/com.nerova.nsg.ztna.plist"}, ""},

    {Both, Kind::Command, "hzt", "/usr/sbin/diskutil", {"list"}, "diskutil_list_out"},
    {Both, Kind::Command, ".", "/usr/local/bin/rakel", {"--version"}, "rakelinfo.txt"},
    {Both, Kind::Command, "system", "/usr/sbin/ioreg", {"-b"}, "ioreg.txt"},
    {Both, Kind::Command, "system", "/bin/ps", {"aux"}, "psaux.txt"},
    {Both, Kind::Command, "system", "/usr/bin/pmset", {"-g", "log"}, "pmset.txt"},
    {Both, Kind::Command, "system", "/usr/bin/top", {"-l", "1"}, "top.txt"},
    {Both, Kind::Command, "system", "/sbin/ifconfig", {}, "ifconfig.txt"},
    {Both, Kind::Command, "system", "/usr/sbin/kextstat", {}, "kextstat.txt"},
    {Both, Kind::Command, "system", "/usr/bin/systemextensionsctl", {"list"}, "systemextensionsctl.txt"},
    {Both, Kind::Command, "system", "/usr/sbin/lsof", {"-i"}, "lsof.txt"},
    {Both, Kind::Command, "system", "/usr/sbin/netstat", {"-an"}, "netstat.txt"},
    {Both, Kind::Command, "system", "/usr/bin/sqlite3",
     {"/Library/Application Support/com.apple.TCC/TCC.db",
      "select client from access where auth_value and service = \"kTCCServiceSystemPolicyAllFiles\""}, "tcc.txt"},
    {Both, Kind::Command, "system", "/usr/sbin/scutil", {"--dns"}, "scutil_dns.txt"},
    {Both, Kind::Command, "system", "/usr/sbin/scutil", {"--nc", "list"}, "scutil_nc_list.txt"},
    {Both, Kind::Command, "system", "/usr/sbin/scutil", {"--nc", "status", "Nerova ZTNA"}, "scutil_nc_status.txt"},
    {Both, Kind::Command, "system", "/usr/sbin/scutil", {"--nc", "show", "Nerova ZTNA"}, "scutil_nc_show.txt"},
    {Both, Kind::Command, "encryption", "/usr/local/bin/dorvctl", {"zep"}, "dorvctl-zep.txt"},
    {Both, Kind::Command, "qrb", "/bin/ls", {"-al", "/Library/Nerova Anti-Virus/IDE/"}, "ides.installed.txt"},
    {Both, Kind::Command, "qrb", "/bin/ls", {"-alR", "/Library/Frameworks/*Nerova*", "/Library/Frameworks/*QRBI*"}, "frameworks.txt"},
    {Both, Kind::Command, "qrb", "/bin/ls", {"-alR", "/Library/Extensions/*Nerova*"}, "kext-listing.txt"},
    {Both, Kind::Command, "qrb", "/bin/ls", {"-alR", "/Library/Nerova Anti-Virus/"}, "listing.txt"},
    {Both, Kind::Command, "qrb", "/bin/ls", {"-alR", "/Applications/Nerova/"}, "listing-applications.txt"},
    {Both, Kind::Command, "qrb", "/bin/ls", {"-alR", "/Library/NerovaCBR/"}, "listing-cbr.txt"},
    {Both, Kind::Command, "encryption", "/bin/ls", {"-alR", "/Library/Nerova Encryption/"}, "listing.txt"},
    {Both, Kind::Command, "xdr", "/bin/ls", {"-alR", "/Library/Nerova Live Query/"}, "listing.txt"},
    {Both, Kind::SubsystemLog, "", "com.nerova.rivovovuvev", {}, ""},
    {Both, Kind::ProcessLog, "", "sysextd", {}, ""},
};

std::vector<std::string> strings(std::initializer_list<std::string_view> items) {
    return {items.begin(), items.end()};
}

std::vector<std::string> diagnosticReportSources(Editions edition) {
    std::vector<std::string_view> patterns(std::begin(kDiagnosticReportPatterns), std::end(kDiagnosticReportPatterns));
    if (edition == Endpoint) patterns.push_back(kEndpointOnlyReportPattern);
    std::vector<std::string> sources;
    for (std::string_view pattern : patterns) {
        sources.push_back("/Library/Logs/DiagnosticReports/" + std::string(pattern));
        sources.push_back("~/Library/Logs/DiagnosticReports/" + std::string(pattern));
    }
    return sources;
}

Operations operation(const Row& row, Editions edition) {
    using Op = Operations;
    const std::string folder(row.outputFolder);
    switch (row.kind) {
    case Kind::Directory: return {Op::copyDirectory{folder, std::string(row.name), strings(row.items)}};
    case Kind::Files:
        return {Op::copyFile{folder, row.outputFolder == kDiagnosticReportsFolder ? diagnosticReportSources(edition)
                                                                                  : strings(row.items)}};
    case Kind::Command:
        return {Op::execCmd{folder, std::string(row.name), strings(row.items), std::string(row.outputFile)}};
    case Kind::Snapshot: return {Op::writeWCKSnapshot{folder}};
    case Kind::SubsystemLog: return {Op::extractOSLogWithSubSystemPredicate{LoggingSubsystem{std::string(row.name)}}};
    case Kind::ProcessLog: return {Op::extractOSLogWithProcessPredicate{LoggingProcess{std::string(row.name)}}};
    }
    return {};
}

std::vector<Operations> buildCatalogue(Editions edition) {
    std::vector<Operations> rows;
    for (const Row& row : kCatalogue)
        if (row.editions & edition) rows.push_back(operation(row, edition));
    return rows;
}

}  // namespace

const std::vector<Operations>& Operations::allOperations() {
    static const std::vector<Operations> rows = buildCatalogue(Endpoint);
    return rows;
}

const std::vector<Operations>& Operations::allOperationsHome() {
    static const std::vector<Operations> rows = buildCatalogue(Home);
    return rows;
}
