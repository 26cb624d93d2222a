#include "server/port_reader.h"

#include <memory>

#include "net/port_link.h"

namespace tovl {

namespace {

// What one wait may hand over: 64 blocks read at once.
constexpr uint32_t kGatherBytes = 64 * PL_DATA_MAX;

// The blocks leave together in one Write, each its own PL_DATA.
struct CReaderBuffers {
    uint8_t port[kGatherBytes];
    uint8_t wire[DataMessagesSize(kGatherBytes)];
};

void RunReader(PortReaderContext& context) {
    CSerialPort& port = *context.port;
    CBlockingSocket& connection = *context.connection;
    // Taken once per session, off the thread's small stack.
    const std::unique_ptr<CReaderBuffers> buffers(new CReaderBuffers);
    uint8_t* const buffer = buffers->port;
    port.StartModemWait(context.modemChange);
    try {
        for (;;) {
            uint32_t count = 0;
            switch (port.WaitForReader(context.modemChange, context.stop, buffer, kGatherBytes,
                                       &count)) {
                case ReaderWake::ModemChange: {
                    uint32_t status = 0;
                    if (!port.GetModemStatus(&status)) status = 0;
                    // The session has ended: the next wait sees the stop.
                    if (context.stop.Wait(0) == 0) break;
                    SendU32Message(connection, PL_FLOW_CONTROL, status, kServerSendTimeout);
                    port.StartModemWait(context.modemChange);
                    break;
                }
                case ReaderWake::Stop:
                    return;
                case ReaderWake::Data:
                    if (count != 0) {
                        const size_t size = EncodeDataMessages(buffer, count, buffers->wire);
                        connection.Write(buffers->wire, static_cast<int>(size), kServerSendTimeout);
                    }
                    break;
            }
        }
    } catch (const CBlockingSocketException&) {
        // The client cannot be reached: end the whole session, so the port
        // is released now rather than at the client's next message.
        connection.Close();
    }
}

}  // namespace

uint32_t PortReaderThreadProc(const std::shared_ptr<PortReaderContext>& context) {
    RunReader(*context);
    context->ended.Set();
    return 0;
}

}  // namespace tovl
