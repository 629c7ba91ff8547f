#include "collector/Operations.h"

namespace {

using Op = Operations;

Operations dir(std::string outputFolder, std::string collectionName, std::string source) {
    return {Op::copyDirectory{std::move(outputFolder), std::move(collectionName), {std::move(source)}}};
}
Operations files(std::string outputFolder, std::vector<std::string> sources) {
    return {Op::copyFile{std::move(outputFolder), std::move(sources)}};
}
Operations cmd(std::string outputFolder, std::string command, std::vector<std::string> parameters,
               std::string outputFile) {
    return {Op::execCmd{std::move(outputFolder), std::move(command), std::move(parameters), std::move(outputFile)}};
}

std::vector<std::string> diagnosticReportSources(bool withIps) {
    std::vector<std::string> patterns = {"*UnmountHelper*", "*MountHelper*", "*InstallHelper*", "*Installer*",
                                         "*Pellamoor*",      "*ClientMRInit*", "*nerova*",        "*Nerova*",
                                         "*panic*",          "*hang*",         "*shutdownStall*"};
    if (withIps) patterns.push_back("*ips*");
    std::vector<std::string> sources;
    for (const auto& pattern : patterns) {
        sources.push_back("/Library/Logs/DiagnosticReports/" + pattern);
        sources.push_back("~/Library/Logs/DiagnosticReports/" + pattern);
    }
    return sources;
}

// The rows of both editions; `home` drops or trims the rows the home
// edition does not have.
std::vector<Operations> buildCatalogue(bool home) {
    std::vector<Operations> rows;
    rows.push_back(dir("qrb/scan_logs", "Custom Scan Logs", "~/Library/Logs/Nerova Anti-Virus/Scans/"));
    rows.push_back(dir("qrb/system_scan_logs", "System Scan Logs", "/Library/Logs/Nerova Anti-Virus/Scans/"));
    rows.push_back(dir("rms/NerovaMessageRouter", "NerovaMessageRouter Logs", "/Library/Logs/NerovaMessageRouter/"));
    rows.push_back(dir("rms/NerovaManagementAgent", "NerovaManagementAgent Logs", "/Library/Logs/NerovaManagementAgent/"));
    rows.push_back(dir("xdr/logs", "XDR logs", "/Library/Logs/Nerova/Nerova LiveQuery/"));
    rows.push_back(dir("xdr/scheduled-query-pack", "XDR Scheduled Query Pack",
                       "/Library/Application Support/Nerova LiveQuery/scheduled-query-pack"));
    if (!home)
        rows.push_back(files("encryption/logs", {"/Library/Application Support/Nerova Encryption/Logs/KPJSubprocesses.log*"}));
    rows.push_back({Op::writeWCKSnapshot{"."}});
    if (!home) {
        rows.push_back(files("config/corc", {"/Library/Preferences/com.nerova.corc.plist"}));
        rows.push_back(files("config/core", {"/Library/Preferences/com.nerova.core.plist"}));
    }
    rows.push_back(files("config/lf", {"/Library/Preferences/com.nerova.lockfern.plist"}));
    rows.push_back(files("config/dc", {"/Library/Preferences/com.nerova.dc.plist"}));
    rows.push_back(files("config/hbt", {"/Library/Preferences/com.nerova.hbt.plist"}));
    rows.push_back(files("config/vtqr", {"/Library/Preferences/com.nerova.vtqr.plist"}));
    if (home)
        rows.push_back(files("config/keychain", {"/Library/Nerova Anti-Virus/NerovaSecure.keychain"}));
    else
        rows.push_back(files("config/keychain", {"/Library/Nerova Anti-Virus/NerovaSecure.keychain",
                                                 "/Library/Nerova Anti-Virus/VevaroRavEzeriz.keychain"}));
    rows.push_back(files("config/mcs", {"/Library/Preferences/com.nerova.mcs.plist",
                                        "/Library/Application Support/Nerova/mcs/config/configuration.plist"}));
    if (!home) rows.push_back(files("config/mw", {"/Library/Preferences/com.nerova.mw.plist"}));
    rows.push_back(files("NerovaDiagnostics", {"/Library/Logs/NerovaDiagnostics.*.gz"}));
    rows.push_back(files("config/ntp", {"/Library/Preferences/com.nerova.ntp.plist"}));
    rows.push_back(files("config/rca", {"/Library/Preferences/com.nerova.rca.plist"}));
    rows.push_back(files("config/rms", {"/Library/Nerova Anti-Virus/RMS/nerova.config",
                                        "/Library/Nerova Anti-Virus/RMS/router.config",
                                        "/Library/Nerova Anti-Virus/RMS/agent.config",
                                        "/Library/Nerova Anti-Virus/RMS/cac.pem",
                                        "/Library/Nerova Anti-Virus/RMS/MRInit.conf"}));
    rows.push_back(files("config/plw", {"/Library/Caches/com.nerova.plw/nerovaautoupdate.plist",
                                        "/Library/Nerova Anti-Virus/plw.plist",
                                        "/Library/Preferences/com.nerova.plw.plist"}));
    rows.push_back(files("config/qrb", {"/Library/Application Support/Nerova/*/receiptConfiguration.plist",
                                        "/Library/Application Support/com.apple.TCC/MDMOverrides.plist",
                                        "/Library/Preferences/com.nerova.ac.plist",
                                        "/Library/Preferences/com.nerova.qrb.plist",
                                        "/Library/Nerova Anti-Virus/com.nerova.wbj.plist",
                                        "/Library/Preferences/com.nerova.wbj4.plist"}));
    rows.push_back(files("config/scan", {"/Library/Preferences/com.nerova.scans.plist"}));
    rows.push_back(files("config/sed", {"/Library/Preferences/com.nerova.sed.plist"}));
    rows.push_back(files("config/swc", {"/Library/Preferences/com.nerova.swc.plist"}));
    rows.push_back(files("config/xdr", {"/Library/Preferences/com.nerova.liveQuery.plist"}));
    rows.push_back(files("DiagnosticReports", diagnosticReportSources(!home)));
    rows.push_back(files("xdr", {"/Library/Application Support/Nerova LiveQuery/osquery.flags",
                                 "/Library/Application Support/Nerova LiveQuery/osquery.conf",
                                 "/Library/Application Support/Nerova LiveQuery/nerova_extension.pid"}));
    rows.push_back(files("rms/cache", {"/Library/Caches/com.nerova.rms/table_router.txt",
                                       "/Library/Caches/com.nerova.rms/router.private",
                                       "/Library/Caches/com.nerova.rms/agent.private"}));
    if (home)
        rows.push_back(files("qrb", {"/Library/Nerova Anti-Virus/product-info.plist", "/Library/Logs/Nerova Anti-Virus.log"}));
    else
        rows.push_back(files("qrb", {"/Library/Nerova Anti-Virus/product-info.plist", "/Library/Logs/Nerova Anti-Virus.log",
                                     "/Library/Logs/NerovaUpdater.log"}));
    rows.push_back(files("system", {"/var/log/install.log", "/etc/hosts", "/var/log/kernel.log", "/var/log/system.log*",
                                    "/var/log/secure.log"}));
    rows.push_back(files("config/ztna", {"/Library/Preferences/com.nerova.nsg.ztna.plist"}));

    rows.push_back(cmd("hzt", "/usr/sbin/diskutil", {"list"}, "diskutil_list_out"));
    rows.push_back(cmd(".", "/usr/local/bin/rakel", {"--version"}, "rakelinfo.txt"));
    rows.push_back(cmd("system", "/usr/sbin/ioreg", {"-b"}, "ioreg.txt"));
    rows.push_back(cmd("system", "/bin/ps", {"aux"}, "psaux.txt"));
    rows.push_back(cmd("system", "/usr/bin/pmset", {"-g", "log"}, "pmset.txt"));
    rows.push_back(cmd("system", "/usr/bin/top", {"-l", "1"}, "top.txt"));
    rows.push_back(cmd("system", "/sbin/ifconfig", {}, "ifconfig.txt"));
    rows.push_back(cmd("system", "/usr/sbin/kextstat", {}, "kextstat.txt"));
    rows.push_back(cmd("system", "/usr/bin/systemextensionsctl", {"list"}, "systemextensionsctl.txt"));
    rows.push_back(cmd("system", "/usr/sbin/lsof", {"-i"}, "lsof.txt"));
    rows.push_back(cmd("system", "/usr/sbin/netstat", {"-an"}, "netstat.txt"));
    rows.push_back(cmd("system", "/usr/bin/sqlite3",
                       {"/Library/Application Support/com.apple.TCC/TCC.db",
                        "select client from access where auth_value and service = \"kTCCServiceSystemPolicyAllFiles\""},
                       "tcc.txt"));
    rows.push_back(cmd("system", "/usr/sbin/scutil", {"--dns"}, "scutil_dns.txt"));
    rows.push_back(cmd("system", "/usr/sbin/scutil", {"--nc", "list"}, "scutil_nc_list.txt"));
    rows.push_back(cmd("system", "/usr/sbin/scutil", {"--nc", "status", "Nerova ZTNA"}, "scutil_nc_status.txt"));
    rows.push_back(cmd("system", "/usr/sbin/scutil", {"--nc", "show", "Nerova ZTNA"}, "scutil_nc_show.txt"));
    rows.push_back(cmd("encryption", "/usr/local/bin/dorvctl", {"zep"}, "dorvctl-zep.txt"));
    rows.push_back(cmd("qrb", "/bin/ls", {"-al", "/Library/Nerova Anti-Virus/IDE/"}, "ides.installed.txt"));
    rows.push_back(cmd("qrb", "/bin/ls", {"-alR", "/Library/Frameworks/*Nerova*", "/Library/Frameworks/*QRBI*"}, "frameworks.txt"));
    rows.push_back(cmd("qrb", "/bin/ls", {"-alR", "/Library/Extensions/*Nerova*"}, "kext-listing.txt"));
    rows.push_back(cmd("qrb", "/bin/ls", {"-alR", "/Library/Nerova Anti-Virus/"}, "listing.txt"));
    rows.push_back(cmd("qrb", "/bin/ls", {"-alR", "/Applications/Nerova/"}, "listing-applications.txt"));
    rows.push_back(cmd("qrb", "/bin/ls", {"-alR", "/Library/NerovaCBR/"}, "listing-cbr.txt"));
    rows.push_back(cmd("encryption", "/bin/ls", {"-alR", "/Library/Nerova Encryption/"}, "listing.txt"));
    rows.push_back(cmd("xdr", "/bin/ls", {"-alR", "/Library/Nerova Live Query/"}, "listing.txt"));
    rows.push_back({Op::extractOSLogWithSubSystemPredicate{LoggingSubsystem{"com.nerova.rivovovuvev"}}});
    rows.push_back({Op::extractOSLogWithProcessPredicate{LoggingProcess{"sysextd"}}});
    return rows;
}

}  // namespace

const std::vector<Operations>& Operations::allOperations() {
    static const std::vector<Operations> rows = buildCatalogue(false);
    return rows;
}

const std::vector<Operations>& Operations::allOperationsHome() {
    static const std::vector<Operations> rows = buildCatalogue(true);
    return rows;
}
