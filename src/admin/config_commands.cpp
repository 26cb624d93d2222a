#include "admin/config_commands.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>

#include "admin/command_line.h"
#include "admin/posix/control_client_posix.h"
#include "admin/posix/device_list_posix.h"
#include "admin/tls_commands.h"
#include "config/config_check.h"
#include "config/product_keys.h"
#include "config/raw_value.h"
#include "config/remote_host.h"
#include "platform/registry.h"

namespace tovl {

namespace {

const char* const kKeys[] = {kIpAddrKey,      kDevicesKey,  kRfc2217Key,     kRawKey,
                             kConnectionsKey, kSettingsKey, kVirtualPortsKey};

bool Number(const std::string& text, long low, long high, long* value) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = strtol(text.c_str(), nullptr, 10);
    return *value >= low && *value <= high;
}

bool ComName(const std::string& text, long* n) {
    return text.size() > 3 && (text.compare(0, 3, "COM") == 0 || text.compare(0, 3, "com") == 0) &&
           Number(text.substr(3), 1, 255, n);
}

void ListValues(const char* keyPath, const std::string& prefix, std::ostream& out) {
    CRegKey key;
    if (key.OpenLocalMachine(keyPath) != 0) return;
    std::string name;
    for (uint32_t i = 0; key.EnumValueName(i, &name) == 0; ++i) {
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        char data[1024] = {};
        uint32_t size = sizeof data - 1;
        key.QueryValue(name.c_str(), data, &size);
        out << name << " = " << data << '\n';
    }
}

// tovladmin trace COM<n> [--raw] [--out FILE]: until interrupted.
int Trace(const std::vector<std::string>& args, int portNumber, std::ostream& out,
          std::ostream& err) {
    bool raw = false;
    std::string file;
    for (size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--raw") {
            raw = true;
        } else if (args[i] == "--out" && i + 1 < args.size()) {
            file = args[++i];
        } else {
            err << "tovladmin: trace COM<n> [--raw] [--out FILE]\n";
            return kAdminExitUsage;
        }
    }
    const std::string request = "trace COM" + std::to_string(portNumber) + (raw ? " raw" : "");
    if (file.empty()) return AskServer(request, out, err, true);
    std::ofstream to(file, std::ios::binary | std::ios::trunc);
    if (!to) {
        err << "tovladmin: cannot write " << file << "\n";
        return kAdminExitRegistry;
    }
    return AskServer(request, to, err, true);
}

void PrintUsage(std::ostream& err) {
    PrintAdminUsage(err);
    err << "       tovladmin init            create the configuration keys\n"
           "       tovladmin port set N --server HOST[:TCPPORT] --com M [--link PATH]\n"
           "                          [--timeouts R;M;C;WM;WC]\n"
           "                          [--tls-ca FILE | --tls-pin SHA256]\n"
           "                          [--tls-cert FILE --tls-key FILE]\n"
           "       tovladmin port remove N | port list\n"
           "       tovladmin device set COM<n> PATH\n"
           "       tovladmin device list [--json]  serial devices, their COM, driver, holder\n"
           "       tovladmin rfc2217 set COM<n> TCPPORT | rfc2217 remove COM<n> | rfc2217 list\n"
           "       tovladmin raw set COM<n> TCPPORT --line SPEED,FRAME[,rtscts|xonxoff]\n"
           "                          | raw remove COM<n> | raw list\n"
           "       tovladmin tls server --cert FILE --key FILE --client-ca FILE\n"
           "                          [--crl FILE]\n"
           "       tovladmin tls listen TCPPORT | tls listen COM<n> TCPPORT [--raw LINE]\n"
           "       tovladmin tls remove PortLink|COM<n> | tls list\n"
           "       tovladmin tls allow sha256:HEX | tls allow subject:CN=NAME\n"
           "       tovladmin check           explain every problem of the configuration\n"
           "       tovladmin status [--json] the running server's listeners and sessions\n"
           "       tovladmin disconnect COM<n>  end the session that holds COM<n>\n"
           "       tovladmin trace COM<n> [--raw] [--out FILE]  COM<n>'s traffic, live\n"
           "       tovladmin --help | --version\n";
}

int PortSet(const std::vector<std::string>& args, std::ostream& err) {
    long n = 0;
    if (args.size() < 3 || !Number(args[2], 1, 254, &n)) {
        err << "tovladmin: port set takes a virtual port number 1 to 254\n";
        return kAdminExitUsage;
    }
    std::string server, com, link = "/dev/ttyV" + args[2], timeouts = "-1;0;0;0;0";
    std::map<std::string, std::string> tls;
    for (size_t i = 3; i + 1 < args.size() + 1; i += 2) {
        if (i + 1 >= args.size()) {
            err << "tovladmin: " << args[i] << " needs a value\n";
            return kAdminExitUsage;
        }
        const std::string& option = args[i];
        const std::string& value = args[i + 1];
        if (option == "--server")
            server = value;
        else if (option == "--com")
            com = value;
        else if (option == "--link")
            link = value;
        else if (option == "--timeouts")
            timeouts = value;
        else if (IsPortTlsOption(option))
            tls[option] = value;
        else {
            err << "tovladmin: unknown option " << option << '\n';
            return kAdminExitUsage;
        }
    }
    if (server.empty() || com.empty()) {
        err << "tovladmin: port set needs --server and --com\n";
        return kAdminExitUsage;
    }
    long m = 0;
    if (ComName(com, &m)) com = std::to_string(m);
    // A dotted IPv4 address goes into REMOTEPORT<n> itself, as the client
    // has always read it; a host name or an IPv6 address into REMOTEHOST<n>
    // beside it, and REMOTEPORT<n> then gives only the COM number.
    const bool dotted = IsDottedServer(server);
    RemoteHost named;
    std::string why;
    if (!dotted && !ParseRemoteHost(server, &named, &why)) {
        err << "tovladmin: --server " << server << ": " << why << '\n';
        return kAdminExitUsage;
    }
    const std::string remote = (dotted ? server : "0.0.0.0") + ";" + com;
    for (const std::string& problem : {ExplainRemotePort(static_cast<unsigned>(n), remote),
                                       ExplainPortTimeouts(static_cast<unsigned>(n), timeouts)}) {
        if (!problem.empty()) {
            err << "tovladmin: " << problem << '\n';
            return kAdminExitUsage;
        }
    }
    for (const std::string& problem : {ExplainLinkPath(link), ExplainPortTls(tls)}) {
        if (!problem.empty()) {
            err << "tovladmin: " << problem << '\n';
            return kAdminExitUsage;
        }
    }
    const std::string hostValue = RemoteHostValueName(static_cast<unsigned>(n));
    int rc = SetValue(kSettingsKey, "PORT" + args[2], timeouts, err);
    if (rc == 0) rc = SetValue(kVirtualPortsKey, "VPORT" + args[2], link, err);
    if (rc == 0 && !dotted) rc = SetValue(kConnectionsKey, hostValue, FormatRemoteHost(named), err);
    if (rc == 0 && dotted) DeleteValue(kConnectionsKey, hostValue);
    if (rc == 0) rc = SetValue(kConnectionsKey, "REMOTEPORT" + args[2], remote, err);
    // A name that does not resolve now is written all the same: the client
    // resolves it afresh at every session.
    if (rc == 0 && !dotted) {
        const std::string problem = ExplainServerName(static_cast<unsigned>(n), named);
        if (!problem.empty()) err << "tovladmin: warning: " << problem << '\n';
    }
    if (rc == 0) rc = WritePortTls(args[2], tls, err);
    return rc;
}

}  // namespace

int SetValue(const char* keyPath, const std::string& name, const std::string& data,
             std::ostream& err, bool createKey) {
    uint32_t rc = createKey ? CreateLocalMachineKey(keyPath) : 0;
    CRegKey key;
    if (rc == 0) rc = key.OpenLocalMachine(keyPath);
    if (rc == 0)
        rc = key.SetValue(name.c_str(), kRegSz, data.data(), static_cast<uint32_t>(data.size()));
    if (rc != 0) {
        err << "tovladmin: cannot write " << name << " in HKEY_LOCAL_MACHINE\\" << keyPath
            << " (error " << rc << "; run tovladmin init as root)\n";
        return kAdminExitRegistry;
    }
    return kAdminExitOk;
}

int DeleteValue(const char* keyPath, const std::string& name) {
    CRegKey key;
    if (key.OpenLocalMachine(keyPath) != 0) return 2;
    return static_cast<int>(key.DeleteValue(name.c_str()));
}

bool RunConfigCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      int* exitCode) {
    if (args.empty()) return false;
    const std::string& word = args[0];
    const std::string sub = args.size() > 1 ? args[1] : "";
    long n = 0;
    if (RunTlsCommand(args, out, err, exitCode)) return true;
    if (word == "--version") {
        out << "tovladmin " << TOVL_VERSION << '\n';
        *exitCode = kAdminExitOk;
    } else if (word == "--help" || word == "-h") {
        PrintUsage(out);
        *exitCode = kAdminExitOk;
    } else if (word == "init" && args.size() == 1) {
        *exitCode = kAdminExitOk;
        const std::string rootProblem = MakeRegistryRoot();
        if (!rootProblem.empty()) err << "tovladmin: " << rootProblem << '\n';
        for (const char* key : kKeys) {
            const uint32_t rc = CreateLocalMachineKey(key);
            if (rc != 0) {
                err << "tovladmin: cannot create HKEY_LOCAL_MACHINE\\" << key << " (error " << rc
                    << ")\n";
                *exitCode = kAdminExitRegistry;
            }
        }
    } else if (word == "port" && sub == "set") {
        *exitCode = PortSet(args, err);
    } else if (word == "port" && sub == "remove" && args.size() == 3 &&
               Number(args[2], 0, 999, &n)) {
        DeleteValue(kConnectionsKey, "REMOTEPORT" + args[2]);
        DeleteValue(kConnectionsKey, "REMOTEHOST" + args[2]);
        DeleteValue(kSettingsKey, "PORT" + args[2]);
        DeleteValue(kVirtualPortsKey, "VPORT" + args[2]);
        RemovePortTls(args[2]);
        *exitCode = kAdminExitOk;
    } else if (word == "port" && sub == "list" && args.size() == 2) {
        ListValues(kConnectionsKey, "", out);
        ListValues(kSettingsKey, "", out);
        ListValues(kVirtualPortsKey, "", out);
        ListValues(kTlsClientKey, "", out);
        *exitCode = kAdminExitOk;
    } else if (word == "device" && sub == "set" && args.size() == 4 && ComName(args[2], &n)) {
        const std::string problem = ExplainDevice(args[3]);
        if (!problem.empty()) err << "tovladmin: warning: " << problem << '\n';
        *exitCode = SetValue(kDevicesKey, "COM" + std::to_string(n), args[3], err);
        // ttyUSB<n> goes to whichever adapter the kernel finds first; a by-id
        // name stays with the adapter.
        if (*exitCode == kAdminExitOk)
            for (const std::string& link : ByIdNamesOf(SerialDeviceRootsFromEnvironment(), args[3]))
                err << "tovladmin: hint: " << args[3] << " is " << link
                    << ", a name that survives re-plugging: tovladmin device set COM" << n << ' '
                    << link << '\n';
    } else if (word == "device" && sub == "list" &&
               (args.size() == 2 || (args.size() == 3 && args[2] == "--json"))) {
        const std::vector<SerialDeviceEntry> devices =
            ListSerialDevices(SerialDeviceRootsFromEnvironment(), ReadDevicesKey());
        if (args.size() == 3)
            PrintSerialDeviceJson(devices, out);
        else
            PrintSerialDeviceTable(devices, out);
        *exitCode = kAdminExitOk;
    } else if (word == "rfc2217" && sub == "set" && args.size() == 4 && ComName(args[2], &n)) {
        long port = 0;
        if (!Number(args[3], 1, 65535, &port)) {
            err << "tovladmin: \"" << args[3] << "\" is not a TCP port 1 to 65535\n";
            *exitCode = kAdminExitUsage;
        } else {
            *exitCode = SetValue(kRfc2217Key, "COM" + std::to_string(n), std::to_string(port), err);
        }
    } else if (word == "rfc2217" && sub == "remove" && args.size() == 3 && ComName(args[2], &n)) {
        *exitCode = DeleteValue(kRfc2217Key, "COM" + std::to_string(n)) == 0 ? kAdminExitOk
                                                                             : kAdminExitRegistry;
    } else if (word == "rfc2217" && sub == "list" && args.size() == 2) {
        ListValues(kRfc2217Key, "", out);
        *exitCode = kAdminExitOk;
    } else if (word == "raw" && sub == "set" && args.size() == 6 && ComName(args[2], &n) &&
               args[4] == "--line") {
        uint16_t port = 0;
        RawLine line;
        std::string why;
        if (!ParseRawValue(args[3] + ";" + args[5], &port, &line, &why)) {
            err << "tovladmin: raw set: " << why << '\n';
            *exitCode = kAdminExitUsage;
        } else {
            *exitCode = SetValue(kRawKey, "COM" + std::to_string(n),
                                 std::to_string(port) + ";" + FormatRawLine(line), err);
        }
    } else if (word == "raw" && sub == "remove" && args.size() == 3 && ComName(args[2], &n)) {
        *exitCode = DeleteValue(kRawKey, "COM" + std::to_string(n)) == 0 ? kAdminExitOk
                                                                         : kAdminExitRegistry;
    } else if (word == "raw" && sub == "list" && args.size() == 2) {
        ListValues(kRawKey, "", out);
        *exitCode = kAdminExitOk;
    } else if (word == "status" && (args.size() == 1 || (args.size() == 2 && sub == "--json"))) {
        *exitCode = AskServer(args.size() == 2 ? "status json" : "status", out, err);
    } else if (word == "trace" && args.size() >= 2 && ComName(args[1], &n)) {
        *exitCode = Trace(args, static_cast<int>(n), out, err);
    } else if (word == "disconnect" && args.size() == 2 && ComName(args[1], &n)) {
        *exitCode = AskServer("disconnect COM" + std::to_string(n), out, err);
    } else if (word == "check" && args.size() == 1) {
        // Warnings alone leave the exit code at 0: the services read the
        // tree as meant.
        CCheckFindings findings = CheckConfiguration();
        // A plain /dev/ttyUSB<n> may name another adapter after a re-plug.
        for (const ComUse& com : ReadDevicesKey()) {
            if (com.fallback) continue;
            const std::string comName = "COM" + std::to_string(com.number);
            for (const std::string& link :
                 ByIdNamesOf(SerialDeviceRootsFromEnvironment(), com.value)) {
                std::string warning = comName;
                warning.append(" = ").append(com.value).append(" is ").append(link);
                warning.append(", a name that survives re-plugging: tovladmin device set ");
                warning.append(comName).append(1, ' ').append(link);
                findings.warnings.push_back(warning);
            }
        }
        for (const std::string& problem : findings.problems) out << problem << '\n';
        for (const std::string& warning : findings.warnings) out << "warning: " << warning << '\n';
        if (findings.problems.empty() && findings.warnings.empty()) out << "no problem found\n";
        *exitCode = findings.problems.empty() ? kAdminExitOk : kAdminExitRegistry;
    } else if (word == "init" || word == "port" || word == "device" || word == "rfc2217" ||
               word == "raw" || word == "check" || word == "status" || word == "disconnect" ||
               word == "trace") {
        PrintUsage(err);
        *exitCode = kAdminExitUsage;
    } else {
        return false;
    }
    return true;
}

}  // namespace tovl
