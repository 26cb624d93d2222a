#include "server/tls_listener.h"

#include <cstring>
#include <utility>
#include <vector>

#include "config/product_keys.h"
#include "config/tls_values.h"
#include "net/blocking_socket.h"
#include "platform/log.h"
#include "platform/registry.h"
#include "server/accept_loop.h"
#include "server/port_session.h"
#include "server/raw_session.h"
#include "server/rfc2217_session.h"
#include "server/session_registry.h"

namespace tovl {

namespace {

std::vector<TlsListen> ReadTlsListeners() {
    std::vector<TlsListen> listeners;
    CRegKey key;
    if (key.OpenLocalMachine(kTlsListenKey) != 0) return listeners;
    std::string name;
    for (uint32_t i = 0; key.EnumValueName(i, &name) == 0; ++i) {
        char data[64] = {};
        uint32_t size = sizeof data - 1;
        TlsListen listen;
        std::string why = "cannot be read";
        if (key.QueryValue(name.c_str(), data, &size) == 0 &&
            ParseTlsListenValue(name, std::string(data, strnlen(data, size)), &listen, &why))
            listeners.push_back(listen);
        else
            LogLine(LogPriority::Warning, "tls: listener %s ignored: %s", name.c_str(),
                    why.c_str());
    }
    return listeners;
}

bool ReadPath(CRegKey& key, const char* name, std::string* path, std::string* why) {
    char data[1024] = {};
    uint32_t size = sizeof data - 1;
    if (key.QueryValue(name, data, &size) != 0 || data[0] == '\0') {
        *why = std::string("value ") + name + " of the Tls key is missing";
        return false;
    }
    *path = std::string(data, strnlen(data, size));
    return true;
}

}  // namespace

bool ReadTlsServerFiles(TlsServerFiles* files, std::string* why) {
    CRegKey key;
    if (key.OpenLocalMachine(kTlsKey) != 0) {
        *why = "the Tls key is missing";
        return false;
    }
    std::string none;
    // The revocation list is optional: without it nothing is revoked.
    if (!ReadPath(key, "ClientCRL", &files->clientCrl, &none)) files->clientCrl.clear();
    return ReadPath(key, "Certificate", &files->certificate, why) &&
           ReadPath(key, "Key", &files->key, why) &&
           ReadPath(key, "ClientCA", &files->clientCa, why);
}

int StartTlsListeners() {
    const std::vector<TlsListen> wanted = ReadTlsListeners();
    if (wanted.empty()) return 0;
    TlsServerFiles files;
    std::string why;
    std::shared_ptr<CTlsContext> context;
    if (ReadTlsServerFiles(&files, &why)) context = MakeTlsServerContext(files, &why);
    if (!context) {
        LogLine(LogPriority::Error, "tls: no TLS listener starts: %s", why.c_str());
        return 0;
    }
    int listening = 0;
    for (const TlsListen& listen : wanted) {
        AcceptLoopLimits limits;
        limits.tls = context;
        const int n = listen.portNumber;
        bool started = false;
        if (n == 0) {
            started = StartListenerThread(
                listen.tcpPort, "port-link tls",
                [](CBlockingSocket& connection, const SessionAdmission& admission) {
                    RunPortSession(connection, admission);
                },
                limits);
        } else if (listen.raw) {
            // As on the plain listeners, a stranger is not served.
            limits.closeUnlisted = true;
            const RawLine line = listen.line;
            started = StartListenerThread(
                listen.tcpPort, "raw tls COM" + std::to_string(n),
                [n, line](CBlockingSocket& connection, const SessionAdmission& admission) {
                    RunRawSession(connection, n, line, admission);
                },
                limits);
        } else {
            limits.closeUnlisted = true;
            started = StartListenerThread(
                listen.tcpPort, "rfc2217 tls COM" + std::to_string(n),
                [n](CBlockingSocket& connection, const SessionAdmission& admission) {
                    RunRfc2217Session(connection, n, admission);
                },
                limits);
        }
        if (started) {
            RegisterListener(ListenerInfo{n == 0       ? "port-link tls"
                                          : listen.raw ? "raw tls"
                                                       : "rfc2217 tls",
                                          listen.tcpPort, n});
            ++listening;
        }
    }
    return listening;
}

}  // namespace tovl
