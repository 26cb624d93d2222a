#include "server/port_reader.h"

#include "net/port_link.h"

namespace tovl {

namespace {

// Each message leaves in one Write: header and payload in one segment.
void SendData(CBlockingSocket& connection, uint8_t* message, uint32_t count) {
    EncodeU32(PL_DATA, message);
    EncodeU32(count, message + 4);
    connection.Write(message, static_cast<int>(8 + count), kServerSendTimeout);
}

void SendFlowControl(CBlockingSocket& connection, uint32_t status) {
    uint8_t message[8];
    EncodeU32(PL_FLOW_CONTROL, message);
    EncodeU32(status, message + 4);
    connection.Write(message, sizeof message, kServerSendTimeout);
}

void RunReader(PortReaderContext& context) {
    CSerialPort& port = *context.port;
    CBlockingSocket& connection = *context.connection;
    // The port reads into the payload's place behind an 8-byte header.
    uint8_t message[8 + PL_DATA_MAX];
    uint8_t* const buffer = message + 8;
    port.StartModemWait(context.modemChange);
    try {
        for (;;) {
            uint32_t count = 0;
            switch (port.WaitForReader(context.modemChange, context.stop, buffer, PL_DATA_MAX,
                                       &count)) {
                case ReaderWake::ModemChange: {
                    uint32_t status = 0;
                    if (!port.GetModemStatus(&status)) status = 0;
                    // The session has ended: the next wait sees the stop.
                    if (context.stop.Wait(0) == 0) break;
                    SendFlowControl(connection, status);
                    port.StartModemWait(context.modemChange);
                    break;
                }
                case ReaderWake::Stop:
                    return;
                case ReaderWake::Data:
                    if (count != 0) SendData(connection, message, count);
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
