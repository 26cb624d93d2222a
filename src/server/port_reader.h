// The port reader: the second thread of a session while its port is open.
// It sends the port's data (PL_DATA, at most 1024 bytes each, in the order
// read) and its modem status (PL_FLOW_CONTROL) to the client, and is the
// only writer on the connection once it runs. It ends when the stop event is
// set, sending nothing more.
//
// The context is shared by the session and the reader; the reader sets
// `ended` as its last act, and the session waits for that before its
// connection goes away, so whichever drops the context last frees it.
#pragma once

#include <cstdint>
#include <memory>

#include "net/blocking_socket.h"
#include "platform/event.h"
#include "platform/serial_port.h"

namespace tovl {

struct PortReaderContext {
    std::shared_ptr<tovl::CSerialPort> port;
    CBlockingSocket* connection = nullptr;
    tovl::CEvent stop;         // manual reset: the session has ended
    tovl::CEvent modemChange;  // auto reset: a line changed or a line request was applied
    tovl::CEvent ended;        // manual reset: the reader has finished
};

// The reader holds its share of the context until it returns. A send that fails or times out closes
// the connection, so the session ends at once and releases the port.
uint32_t PortReaderThreadProc(const std::shared_ptr<PortReaderContext>& context);

}  // namespace tovl
