// libFuzzer target for the Telnet and COM-PORT-OPTION layer of the network bridge, both as client
// and as server: the input is what a peer sends, cut into chunks where byte 0 says. Each chunk is
// handed over in an exactly sized heap copy (ASan sees any read past it); replies are drained
// whenever the layer asks. Findings: a crash or sanitizer report, data longer than the chunk, a
// reply buffer past its size, input not taken while replies are drained (a stall), an escaped or
// sent command that overruns its bound.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/bridge/telnet.h"

namespace {

[[noreturn]] void Finding(const char* what)
{
    fprintf(stderr, "finding: %s\n", what);
    abort();
}

void OnComPort(void* context, Telnet* telnet, unsigned char command, const unsigned char* value, size_t length)
{
    if (length + 1 > TELNET_SB_MAX) Finding("subnegotiation longer than its buffer");
    // Answer as a server does, with the value echoed, and as a client asking for the modem state.
    TelnetSendComPort(telnet, (unsigned char)(command + COMPORT_SERVER_OFFSET), value, length);
    *(size_t*)context += 1;
}

void Run(const uint8_t* data, size_t size, bool server)
{
    Telnet telnet;
    size_t commands = 0;
    TelnetInit(&telnet, server, OnComPort, &commands);
    size_t chunk = 1 + (size != 0 ? data[0] % 64 : 0);
    size_t offset = size != 0 ? 1 : 0;
    while (offset < size) {
        size_t length = std::min(chunk, size - offset);
        std::vector<unsigned char> input(data + offset, data + offset + length);
        std::vector<unsigned char> out(length);
        size_t taken = 0;
        int drains = 0;
        while (taken < length) {
            size_t produced = 0;
            size_t n = TelnetReceive(&telnet, input.data() + taken, length - taken, out.data(), &produced);
            if (produced > length - taken) Finding("more data than input");
            if (telnet.ReplyLength > TELNET_REPLY_SIZE) Finding("reply buffer overrun");
            taken += n;
            size_t replyLength = 0;
            TelnetReply(&telnet, &replyLength);
            TelnetReplySent(&telnet, replyLength);
            if (n == 0 && ++drains > 1) Finding("input not taken with the replies drained");
        }
        // Outgoing data and commands are bounded too.
        std::vector<unsigned char> escaped(2 * length);
        if (TelnetEscape(&telnet, input.data(), length, escaped.data()) > 2 * length) Finding("escape overrun");
        unsigned char baud[4] = {0, 0, 0xFF, 0xFF};
        TelnetSendComPort(&telnet, COMPORT_SET_BAUDRATE, baud, sizeof(baud));
        offset += length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Run(data, size, false);
    Run(data, size, true);
    return 0;
}
