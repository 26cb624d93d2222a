#include "config/tls_check.h"

#include <cstring>
#include <map>

#include "config/cert_entry.h"
#include "config/product_keys.h"
#include "config/tls_values.h"
#include "net/tls_stream.h"
#include "platform/registry.h"

namespace tovl {

namespace {

std::string Read(CRegKey& key, const std::string& name) {
    char data[1024] = {};
    uint32_t size = sizeof data - 1;
    if (key.QueryValue(name.c_str(), data, &size) != 0) return "";
    return std::string(data, strnlen(data, size));
}

void CheckServerTls(CCheckFindings* out) {
    CRegKey listen;
    if (listen.OpenLocalMachine(kTlsListenKey) != 0) return;
    std::string name;
    uint32_t listeners = 0;
    for (uint32_t i = 0; listen.EnumValueName(i, &name) == 0; ++i) {
        TlsListen parsed;
        std::string why;
        if (ParseTlsListenValue(name, Read(listen, name), &parsed, &why))
            ++listeners;
        else
            out->problems.push_back("TLS listener " + name + " is ignored: " += why);
    }
    if (listeners == 0) return;
    TlsServerFiles files;
    CRegKey tls;
    if (tls.OpenLocalMachine(kTlsKey) == 0) {
        files.certificate = Read(tls, "Certificate");
        files.key = Read(tls, "Key");
        files.clientCa = Read(tls, "ClientCA");
        files.clientCrl = Read(tls, "ClientCRL");
    }
    std::string why;
    if (files.certificate.empty() || files.key.empty() || files.clientCa.empty())
        why = "the certificate, key or client CA is not set (tovladmin tls server)";
    else if (!MakeTlsServerContext(files, &why))
        why = why.empty() ? "TLS cannot be set up" : why;
    else
        return;
    out->problems.push_back("no TLS listener starts: " + why);
}

void CheckClientTls(CCheckFindings* out) {
    CRegKey client;
    if (client.OpenLocalMachine(kTlsClientKey) != 0) return;
    std::map<std::string, TlsClientFiles> ports;
    std::string name;
    for (uint32_t i = 0; client.EnumValueName(i, &name) == 0; ++i) {
        const size_t digits = name.find_first_of("0123456789");
        const std::string kind = name.substr(0, digits);
        const std::string n = digits == std::string::npos ? "" : name.substr(digits);
        TlsClientFiles& files = ports[n];
        const std::string data = Read(client, name);
        if (kind == "CA") {
            files.ca = data;
        } else if (kind == "PIN") {
            files.pinSha256 = NormalSha256(data);
            if (files.pinSha256.empty())
                out->problems.push_back("TLS value " + name + " is not a SHA-256 fingerprint");
        } else if (kind == "CERT") {
            files.certificate = data;
        } else if (kind == "KEY") {
            files.key = data;
        } else {
            out->problems.push_back("TLS value " + name + " means nothing to the client");
        }
    }
    for (const auto& [n, files] : ports) {
        if (files.ca.empty() && files.pinSha256.empty()) continue;
        std::string why;
        if (files.certificate.empty() || files.key.empty()) {
            why = "no certificate and key of its own (CERT" + n + ", KEY";
            why += n + "): the server refuses it";
        } else if (MakeTlsClientContext(files, &why)) {
            continue;
        }
        out->problems.push_back("virtual port " + n + ": TLS cannot be set up: " += why);
    }
}

}  // namespace

std::string ExplainCertEntry(const std::string& name) {
    CertEntryKind kind;
    std::string value, why;
    if (ParseCertEntry(name, &kind, &value, &why)) {
        if (CertEntryName(kind, value) == name) return "";
        return "allowed certificate \"" + name + "\" is not written as the server looks it up (" +
               CertEntryName(kind, value) + ")";
    }
    return "allowed certificate \"" + name + "\" matches no client: " + why;
}

void CheckTls(CCheckFindings* out) {
    CheckServerTls(out);
    CheckClientTls(out);
}

}  // namespace tovl
