// Telnet framing for the server's RFC 2217 connections: the option
// negotiation (COM-PORT-OPTION from the client, BINARY and SUPPRESS-GO-AHEAD
// both ways, every other option refused), the doubling of 0xFF in data and
// the gathering of Com Port Control subnegotiations. Pure code over byte
// buffers; one object per connection, used by the thread that reads it.
// What the client sends comes out as one sequence of port data runs and
// commands in the order they arrived, so a command takes effect after the
// data in front of it and before the data behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

namespace tovl {

namespace telnet {
inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kSe = 240;
inline constexpr uint8_t kBinary = 0;
inline constexpr uint8_t kSuppressGoAhead = 3;
inline constexpr uint8_t kComPortOption = 44;
}  // namespace telnet

// One Com Port Control command as the client sent it (client codes 0-12),
// its value with the Telnet doubling undone.
struct ComPortRequest {
    uint8_t command = 0;
    std::vector<uint8_t> value;
};

// A run of bytes for the port, the doubling undone.
struct PortData {
    std::vector<uint8_t> bytes;
};

// One piece of the client's stream: port data or a command.
using TelnetItem = std::variant<PortData, ComPortRequest>;

class CTelnetCodec {
  public:
    // The server's opening offers, sent once when the connection starts.
    void Start(std::vector<uint8_t>* toNet);

    // Takes the next bytes from the client, in any split. Port data runs and
    // complete Com Port Control commands are appended to items in the order
    // they came (bytes in front of a command never share a run with bytes
    // behind it), negotiation answers to toNet; a sequence cut by the end of
    // the buffer is kept for the next call.
    void Receive(const uint8_t* data, size_t length, std::vector<TelnetItem>* items,
                 std::vector<uint8_t>* toNet);

    // True once the client has agreed to send Com Port Control commands.
    bool ComPortAgreed() const { return remote_[kComPortSlot].enabled; }

  private:
    enum class State { Data, Command, Option, Sub, SubCommand };
    struct OptionState {
        bool enabled = false;
        bool pending = false;  // we asked and wait for the answer
    };
    static constexpr int kBinarySlot = 0;
    static constexpr int kSgaSlot = 1;
    static constexpr int kComPortSlot = 2;
    // Longest subnegotiation kept (a signature text); the rest is dropped.
    static constexpr size_t kMaxSub = 256;

    static int SlotOf(uint8_t option);
    void Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>* toNet);
    void EndSub(std::vector<TelnetItem>* items);

    State state_ = State::Data;
    uint8_t verb_ = 0;
    std::vector<uint8_t> sub_;
    OptionState local_[3];   // what we do (WILL/WONT); no local COM-PORT-OPTION
    OptionState remote_[3];  // what the client does (DO/DONT)
};

// Appends data to out with every 0xFF doubled.
void AppendTelnetData(const uint8_t* data, size_t length, std::vector<uint8_t>* out);

// Appends IAC SB COM-PORT-OPTION <code> <value> IAC SE, the value doubled.
void AppendComPortCommand(uint8_t code, const uint8_t* value, size_t length,
                          std::vector<uint8_t>* out);

}  // namespace tovl
