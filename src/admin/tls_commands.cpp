#include "admin/tls_commands.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "admin/command_line.h"
#include "admin/config_commands.h"
#include "config/cert_entry.h"
#include "config/product_keys.h"
#include "config/raw_value.h"
#include "config/tls_values.h"
#include "platform/registry.h"

namespace tovl {

namespace {

// Services run from "/", so every file is written down by its absolute path.
std::string AbsolutePath(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

bool Readable(const std::string& path) {
    std::ifstream file(path);
    return static_cast<bool>(file);
}

void List(const char* keyPath, const char* title, std::ostream& out) {
    CRegKey key;
    if (key.OpenLocalMachine(keyPath) != 0) return;
    std::string name;
    for (uint32_t i = 0; key.EnumValueName(i, &name) == 0; ++i) {
        char data[1024] = {};
        uint32_t size = sizeof data - 1;
        key.QueryValue(name.c_str(), data, &size);
        out << title << name << " = " << data << '\n';
    }
}

void Usage(std::ostream& err) {
    err << "usage: tovladmin tls server --cert FILE --key FILE --client-ca FILE [--crl FILE]\n"
           "       tovladmin tls listen TCPPORT | tls listen COM<n> TCPPORT\n"
           "                          [--raw SPEED,FRAME[,rtscts|xonxoff]]\n"
           "       tovladmin tls remove PortLink|COM<n> | tls list\n"
           "       tovladmin tls allow sha256:HEX | tls allow subject:CN=NAME[,...]\n";
}

// tls server --cert FILE --key FILE --client-ca FILE [--crl FILE]
int Server(const std::vector<std::string>& args, std::ostream& err) {
    std::map<std::string, std::string> files;
    for (size_t i = 2; i + 1 < args.size(); i += 2) files[args[i]] = args[i + 1];
    const bool crl = files.count("--crl") != 0;
    const size_t wanted = crl ? 4 : 3;
    if (args.size() != 2 + 2 * wanted || files.size() != wanted || files.count("--cert") == 0 ||
        files.count("--key") == 0 || files.count("--client-ca") == 0) {
        Usage(err);
        return kAdminExitUsage;
    }
    for (const auto& [option, path] : files)
        if (!Readable(path)) {
            err << "tovladmin: " << option << ' ' << path << " cannot be read\n";
            return kAdminExitUsage;
        }
    int rc = SetValue(kTlsKey, "Certificate", AbsolutePath(files["--cert"]), err, true);
    if (rc == 0) rc = SetValue(kTlsKey, "Key", AbsolutePath(files["--key"]), err, true);
    if (rc == 0) rc = SetValue(kTlsKey, "ClientCA", AbsolutePath(files["--client-ca"]), err, true);
    if (rc == 0 && crl)
        rc = SetValue(kTlsKey, "ClientCRL", AbsolutePath(files["--crl"]), err, true);
    if (rc == 0 && !crl) DeleteValue(kTlsKey, "ClientCRL");
    return rc;
}

// tls listen TCPPORT | tls listen COM<n> TCPPORT [--raw SPEED,FRAME[,FLOW]]
int Listen(const std::vector<std::string>& args, std::ostream& err) {
    const bool raw = args.size() == 6 && args[4] == "--raw";
    if (args.size() != 3 && args.size() != 4 && !raw) {
        Usage(err);
        return kAdminExitUsage;
    }
    const std::string name = args.size() == 3 ? kTlsPortLinkValue : args[2];
    const std::string data = args.size() == 3 ? args[2] : raw ? args[3] + ";" + args[5] : args[3];
    std::string canonical = name;
    if (name.size() > 3 && (name[0] == 'c' || name[0] == 'C')) canonical = "COM" + name.substr(3);
    TlsListen listen;
    std::string why;
    if (!ParseTlsListenValue(canonical, data, &listen, &why)) {
        err << "tovladmin: tls listen: " << why << '\n';
        return kAdminExitUsage;
    }
    if (listen.portNumber != 0) canonical = "COM" + std::to_string(listen.portNumber);
    std::string value = std::to_string(listen.tcpPort);
    if (listen.raw) value += ";" + FormatRawLine(listen.line);
    return SetValue(kTlsListenKey, canonical, value, err, true);
}

// tls allow sha256:HEX | subject:TEXT (or the list's own cert:... form)
int Allow(const std::string& entry, std::ostream& err) {
    const std::string name = IsCertEntryName(entry) ? entry : kCertEntryPrefix + entry;
    CertEntryKind kind;
    std::string value, why;
    if (!ParseCertEntry(name, &kind, &value, &why)) {
        err << "tovladmin: tls allow: " << why << '\n';
        return kAdminExitUsage;
    }
    return SetValue(kIpAddrKey, CertEntryName(kind, value), "", err, true);
}

}  // namespace

bool RunTlsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   int* exitCode) {
    if (args.empty() || args[0] != "tls") return false;
    const std::string sub = args.size() > 1 ? args[1] : "";
    if (sub == "server") {
        *exitCode = Server(args, err);
    } else if (sub == "listen") {
        *exitCode = Listen(args, err);
    } else if (sub == "remove" && args.size() == 3) {
        std::string name = args[2];
        if (name.size() > 3 && (name[0] == 'c' || name[0] == 'C')) name = "COM" + name.substr(3);
        *exitCode = DeleteValue(kTlsListenKey, name) == 0 ? kAdminExitOk : kAdminExitRegistry;
        if (*exitCode != 0) err << "tovladmin: no TLS listener " << args[2] << '\n';
    } else if (sub == "list" && args.size() == 2) {
        List(kTlsKey, "", out);
        List(kTlsListenKey, "listen ", out);
        *exitCode = kAdminExitOk;
    } else if (sub == "allow" && args.size() == 3) {
        *exitCode = Allow(args[2], err);
    } else {
        Usage(err);
        *exitCode = kAdminExitUsage;
    }
    return true;
}

bool IsPortTlsOption(const std::string& option) {
    return option == "--tls-ca" || option == "--tls-pin" || option == "--tls-cert" ||
           option == "--tls-key";
}

std::string ExplainPortTls(const std::map<std::string, std::string>& options) {
    if (options.empty()) return "";
    const bool ca = options.count("--tls-ca") != 0;
    const bool pin = options.count("--tls-pin") != 0;
    if (ca == pin) return "TLS needs exactly one of --tls-ca FILE and --tls-pin SHA256";
    if (options.count("--tls-cert") == 0 || options.count("--tls-key") == 0)
        return "TLS needs --tls-cert FILE and --tls-key FILE: the server asks for the client's "
               "certificate";
    if (pin && NormalSha256(options.at("--tls-pin")).empty())
        return "--tls-pin takes the server certificate's SHA-256 fingerprint (64 hex digits, "
               "colons allowed)";
    for (const char* file : {"--tls-ca", "--tls-cert", "--tls-key"}) {
        const auto it = options.find(file);
        if (it != options.end() && !Readable(it->second))
            return std::string(file) + " " + it->second + " cannot be read";
    }
    return "";
}

int WritePortTls(const std::string& n, const std::map<std::string, std::string>& options,
                 std::ostream& err) {
    RemovePortTls(n);
    int rc = kAdminExitOk;
    for (const auto& [option, value] : options) {
        if (rc != kAdminExitOk) break;
        if (option == "--tls-pin")
            rc = SetValue(kTlsClientKey, "PIN" + n, NormalSha256(value), err, true);
        else if (option == "--tls-ca")
            rc = SetValue(kTlsClientKey, "CA" + n, AbsolutePath(value), err, true);
        else if (option == "--tls-cert")
            rc = SetValue(kTlsClientKey, "CERT" + n, AbsolutePath(value), err, true);
        else if (option == "--tls-key")
            rc = SetValue(kTlsClientKey, "KEY" + n, AbsolutePath(value), err, true);
    }
    return rc;
}

void RemovePortTls(const std::string& n) {
    for (const char* name : {"CA", "PIN", "CERT", "KEY"}) DeleteValue(kTlsClientKey, name + n);
}

}  // namespace tovl
