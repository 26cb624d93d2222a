// What an RFC 2217 client sends, decoded by the telnet codec and carried out
// by the Com Port control over an in-memory port. The first byte chooses
// whether the server's offers went first and the size of the pieces the
// rest is fed in a second time; the rest is the client's stream. Checked:
// the pieces give what the whole gives; every data byte reaches the port,
// in order, and nothing else does; data runs are never empty or adjacent;
// the server's own output decodes to commands only; escaped data and
// re-encoded commands come back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "server/fake_serial_port.h"
#include "server/rfc2217_codec.h"
#include "server/rfc2217_control.h"

using namespace tovl;

namespace {

#define FUZZ_CHECK(condition)                                                    \
    do {                                                                         \
        if (!(condition)) {                                                      \
            std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                        \
        }                                                                        \
    } while (false)

struct CDecoded {
    std::vector<uint8_t> data;
    std::vector<ComPortRequest> requests;
    std::vector<uint8_t> toNet;
    std::vector<TelnetItem> items;  // of every call, in order
};

bool SameRequest(const ComPortRequest& a, const ComPortRequest& b) {
    return a.command == b.command && a.value == b.value;
}

CDecoded Decode(const uint8_t* stream, size_t length, size_t piece, bool start) {
    CDecoded out;
    CTelnetCodec codec;
    if (start) codec.Start(&out.toNet);
    out.toNet.clear();
    for (size_t at = 0; at < length; at += piece) {
        const size_t n = length - at < piece ? length - at : piece;
        std::vector<TelnetItem> items;
        codec.Receive(stream + at, n, &items, &out.toNet);
        for (size_t i = 0; i < items.size(); ++i) {
            if (const PortData* run = std::get_if<PortData>(&items[i])) {
                FUZZ_CHECK(!run->bytes.empty());
                FUZZ_CHECK(i == 0 || !std::holds_alternative<PortData>(items[i - 1]));
                out.data.insert(out.data.end(), run->bytes.begin(), run->bytes.end());
            } else {
                out.requests.push_back(std::get<ComPortRequest>(items[i]));
            }
            out.items.push_back(items[i]);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size == 0) return 0;
    const bool start = (input[0] & 1) != 0;
    const size_t piece = 1 + (input[0] >> 1) % 17;
    const uint8_t* stream = input + 1;
    const size_t length = size - 1;

    const CDecoded whole = Decode(stream, length, length == 0 ? 1 : length, start);
    const CDecoded pieces = Decode(stream, length, piece, start);
    FUZZ_CHECK(whole.data == pieces.data);
    FUZZ_CHECK(whole.toNet == pieces.toNet);
    FUZZ_CHECK(whole.requests.size() == pieces.requests.size());
    for (size_t i = 0; i < whole.requests.size(); ++i)
        FUZZ_CHECK(SameRequest(whole.requests[i], pieces.requests[i]));

    // Carried out on a port: exactly the data bytes are written.
    testing_support::CFakeSerialPort port;
    std::vector<uint8_t> answers;
    {
        CComPortControl control(port);
        control.Apply(whole.items, &answers);
        control.ModemStateNotice(input[0], false, &answers);
        control.LineStateNotice(&answers);
    }
    const std::string written = port.Snapshot().written;
    FUZZ_CHECK(written == std::string(whole.data.begin(), whole.data.end()));

    // The server's answers and negotiation are well-formed telnet: no data
    // in them, and every command carries a server code.
    std::vector<uint8_t> server = whole.toNet;
    server.insert(server.end(), answers.begin(), answers.end());
    const CDecoded told =
        Decode(server.data(), server.size(), server.empty() ? 1 : server.size(), false);
    FUZZ_CHECK(told.data.empty());
    for (const ComPortRequest& answer : told.requests)
        FUZZ_CHECK(answer.command >= cpc::kServerCodeOffset);

    // Escaped data decodes to itself, and a command re-encoded to itself.
    std::vector<uint8_t> escaped;
    AppendTelnetData(stream, length, &escaped);
    const CDecoded back =
        Decode(escaped.data(), escaped.size(), escaped.empty() ? 1 : piece, false);
    FUZZ_CHECK(back.data == std::vector<uint8_t>(stream, stream + length));
    FUZZ_CHECK(back.requests.empty() && back.toNet.empty());
    for (const ComPortRequest& request : whole.requests) {
        std::vector<uint8_t> encoded;
        AppendComPortCommand(request.command, request.value.data(), request.value.size(), &encoded);
        const CDecoded again = Decode(encoded.data(), encoded.size(), piece, false);
        FUZZ_CHECK(again.data.empty() && again.requests.size() == 1);
        FUZZ_CHECK(SameRequest(again.requests[0], request));
    }
    return 0;
}
