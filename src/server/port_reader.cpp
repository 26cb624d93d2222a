#include "server/port_reader.h"

#include "net/port_link.h"

namespace tovl {

namespace {

void SendData(CBlockingSocket& connection, const uint8_t* data, uint32_t count) {
    uint8_t header[8];
    EncodeU32(PL_DATA, header);
    EncodeU32(count, header + 4);
    connection.Write(header, sizeof header, kServerSendTimeout);
    connection.Write(data, static_cast<int>(count), kServerSendTimeout);
}

void RunReader(PortReaderContext& context) {
    CSerialPort& port = *context.port;
    CBlockingSocket& connection = *context.connection;
    uint8_t buffer[PL_DATA_MAX];
    port.StartModemWait(context.modemChange);
    try {
        for (;;) {
            uint32_t count = 0;
            switch (port.WaitForReader(context.modemChange, context.stop, buffer, sizeof buffer,
                                       &count)) {
                case ReaderWake::ModemChange: {
                    uint32_t status = 0;
                    if (!port.GetModemStatus(&status)) status = 0;
                    // The session has ended: the next wait sees the stop.
                    if (context.stop.Wait(0) == 0) break;
                    WriteU32(connection, PL_FLOW_CONTROL, kServerSendTimeout);
                    WriteU32(connection, status, kServerSendTimeout);
                    port.StartModemWait(context.modemChange);
                    break;
                }
                case ReaderWake::Stop:
                    return;
                case ReaderWake::Data:
                    if (count != 0) SendData(connection, buffer, count);
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

uint32_t PortReaderThreadProc(std::shared_ptr<PortReaderContext> context) {
    RunReader(*context);
    context->ended.Set();
    return 0;
}

}  // namespace tovl
