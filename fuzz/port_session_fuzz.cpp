// The server's admission and message loop over an in-memory port. The
// input's first byte picks the peer (bit 0: a stranger, 127.0.0.2, instead
// of the listed 127.0.0.1) and how it leaves (bit 1: a reset instead of a
// half-close); the rest is what it sends on one connection. Whatever the
// server answers is read and dropped. COM3 is the fake port, so a listed run
// can open it, set time-outs and settings, send data and lines, close or
// break off anywhere; a stranger can only be refused or closed.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <thread>

#include "config/product_keys.h"
#include "fuzz_support.h"
#include "net/blocking_socket.h"
#include "server/fake_serial_port.h"
#include "server/port_session.h"
#include "test_support/loopback.h"

using namespace tovl;

namespace {

struct CListener {
    CBlockingSocket socket{SocketVariant::Server};
    uint16_t port = 0;
    CListener() {
        {
            testing_support::LoopbackListener probe;
            port = probe.port;
        }
        socket.Create();
        socket.Bind(testing_support::LoopbackAddress(port));
        socket.Listen();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool allowed = [] {
        std::ofstream(tovl_fuzz::KeyDirectory(kIpAddrKey) + "/127.0.0.1");
        return true;
    }();
    (void)allowed;
    static CListener listener;

    const uint8_t mode = size > 0 ? data[0] : 0;
    if (size > 0) {
        ++data;
        --size;
    }
    const bool stranger = (mode & 1) != 0;
    const bool resetAtEnd = (mode & 2) != 0;
    const SocketHandle client =
        testing_support::ConnectFrom(stranger ? "127.0.0.2" : "127.0.0.1", listener.port);
    if (client == kInvalidSocket) return 0;
    CBlockingSocket server{SocketVariant::Server};
    SockAddrIn peer;
    if (!listener.socket.Accept(server, &peer)) {
        testing_support::CloseRaw(client);
        return 0;
    }
    auto port = std::make_shared<testing_support::CFakeSerialPort>();
    std::thread session([&] {
        RunPortSessionWith(server, [&](int n, CStatus* status) -> std::shared_ptr<CSerialPort> {
            if (n == 3) return port;
            *status = CStatus(kErrorFileNotFound, "open");
            return nullptr;
        });
    });
    // The whole input, then end of stream (or a reset): the session never
    // waits out a field's time-out. Replies are drained meanwhile so that
    // neither side blocks on a full buffer; a reset drops them instead.
    if (resetAtEnd) {
        testing_support::SendAll(client, data, static_cast<int>(size));
        const linger abortive{1, 0};
        setsockopt(static_cast<int>(client), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        testing_support::CloseRaw(client);
        session.join();
        return 0;
    }
    std::thread drain([client] {
        uint8_t sink[65536];
        while (SockRecv(client, sink, sizeof sink) > 0) {
        }
    });
    testing_support::SendAll(client, data, static_cast<int>(size));
    shutdown(client, SHUT_WR);
    session.join();
    drain.join();
    testing_support::CloseRaw(client);
    return 0;
}
