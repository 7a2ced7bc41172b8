// The network bridge's Telnet layer: negotiation with a client and a server that agree, decline or
// argue (no reply loops), IAC escaping both ways, COM-PORT-OPTION commands split anywhere, and
// replies that never stall the data.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/bridge/telnet.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Peer {
    Telnet T;
    std::vector<std::pair<unsigned char, Bytes>> Commands;

    explicit Peer(bool server) { TelnetInit(&T, server, &Peer::OnComPort, this); }
    static void OnComPort(void* context, Telnet*, unsigned char command, const unsigned char* value, size_t length)
    {
        static_cast<Peer*>(context)->Commands.emplace_back(command, Bytes(value, value + length));
    }
    // Feeds `input` in chunks of `chunk` bytes; returns the data.
    Bytes Receive(const Bytes& input, size_t chunk = 4096)
    {
        Bytes data;
        for (size_t offset = 0; offset < input.size();) {
            size_t length = std::min(chunk, input.size() - offset);
            Bytes out(length);
            size_t produced = 0;
            size_t taken = TelnetReceive(&T, input.data() + offset, length, out.data(), &produced);
            data.insert(data.end(), out.begin(), out.begin() + produced);
            offset += taken;
            if (taken < length) Replies.push_back(TakeReply());
        }
        return data;
    }
    Bytes TakeReply()
    {
        size_t length = 0;
        const unsigned char* reply = TelnetReply(&T, &length);
        Bytes bytes(reply, reply + length);
        TelnetReplySent(&T, length);
        return bytes;
    }
    std::vector<Bytes> Replies;
};

// Runs the two ends against each other until neither owes the other anything; the round count
// is what shows that negotiation settles.
int Converse(Peer& a, Peer& b)
{
    int rounds = 0;
    for (; rounds < 16; rounds++) {
        Bytes fromA = a.TakeReply();
        Bytes fromB = b.TakeReply();
        if (fromA.empty() && fromB.empty()) break;
        EXPECT_TRUE(b.Receive(fromA).empty());
        EXPECT_TRUE(a.Receive(fromB).empty());
    }
    return rounds;
}

TEST(TelnetTest, ClientAndServerAgreeOnBinaryAndTheComPortOptionAndCarryEveryByte)
{
    Peer client(false), server(true);
    EXPECT_LE(Converse(client, server), 3);
    EXPECT_TRUE(TelnetComPortActive(&client.T));
    EXPECT_TRUE(TelnetComPortActive(&server.T));

    Bytes all;
    for (int i = 0; i < 256; i++) all.push_back((unsigned char)i);
    all.insert(all.end(), {'\r', 0, 0xFF, 0xFF, '\r', '\n'});
    Bytes wire(2 * all.size());
    wire.resize(TelnetEscape(&client.T, all.data(), all.size(), wire.data()));
    EXPECT_EQ(wire.size(), all.size() + 3) << "only IAC doubled in binary mode";
    for (size_t chunk : {1, 2, 3, 7, 4096}) EXPECT_EQ(server.Receive(wire, chunk), all) << chunk;

    // A command with IAC in its value, split at every byte, arrives once and whole between data.
    const unsigned char baud[4] = {0, 0, 0xFF, 0xFF};
    client.TakeReply();
    ASSERT_TRUE(TelnetSendComPort(&client.T, COMPORT_SET_BAUDRATE, baud, 4));
    Bytes command = client.TakeReply();
    Bytes stream{'a'};
    stream.insert(stream.end(), command.begin(), command.end());
    stream.push_back('b');
    EXPECT_EQ(server.Receive(stream, 1), (Bytes{'a', 'b'}));
    ASSERT_EQ(server.Commands.size(), 1u);
    EXPECT_EQ(server.Commands[0].first, COMPORT_SET_BAUDRATE);
    EXPECT_EQ(server.Commands[0].second, Bytes(baud, baud + 4));
}

TEST(TelnetTest, AServerThatDeclinesOrArguesNeverLoopsAndNeverStallsTheData)
{
    Peer client(false);
    client.TakeReply();
    // Declines the option, refuses BINARY, asks for ECHO and for an unknown option twice.
    Bytes refusal{0xFF, TELNET_DONT, 44, 0xFF, TELNET_DONT, 0, 0xFF, TELNET_WONT, 0, 'x',
                  0xFF, TELNET_DO, 1, 0xFF, TELNET_WILL, 99, 0xFF, TELNET_WILL, 99, 'y'};
    EXPECT_EQ(client.Receive(refusal), (Bytes{'x', 'y'}));
    EXPECT_FALSE(TelnetComPortActive(&client.T));
    EXPECT_TRUE(TelnetComPortRefused(&client.T));
    EXPECT_EQ(client.TakeReply(), (Bytes{0xFF, TELNET_WONT, 1, 0xFF, TELNET_DONT, 99, 0xFF, TELNET_DONT, 99}))
        << "each request refused, and no answer to a refusal";
    unsigned char value = COMPORT_CONTROL_DTR_ON;
    EXPECT_FALSE(TelnetSendComPort(&client.T, COMPORT_SET_CONTROL, &value, 1));
    // Outside binary mode a CR goes out as CR NUL and comes back as CR.
    Bytes wire(4);
    const unsigned char cr[2] = {'\r', 'z'};
    wire.resize(TelnetEscape(&client.T, cr, 2, wire.data()));
    EXPECT_EQ(wire, (Bytes{'\r', 0, 'z'}));
    EXPECT_EQ(client.Receive(wire, 1), (Bytes{'\r', 'z'}));

    // A flood of requests is answered without loss: input waits while replies are owed.
    Bytes flood;
    for (int i = 0; i < 2000; i++) flood.insert(flood.end(), {0xFF, TELNET_WILL, (unsigned char)(100 + i % 100)});
    flood.push_back('!');
    EXPECT_EQ(client.Receive(flood), (Bytes{'!'}));
    EXPECT_FALSE(client.Replies.empty());
}

TEST(TelnetTest, BrokenAndOversizedSubnegotiationsAreDroppedWhole)
{
    Peer client(false), server(true);
    Converse(client, server);
    Bytes input{0xFF, TELNET_SB, 44, 7};
    input.insert(input.end(), TELNET_SB_MAX + 10, 0x20);
    input.insert(input.end(), {0xFF, TELNET_SE, 'a'});
    // Ended by a command instead of SE: dropped, and the command is obeyed.
    input.insert(input.end(), {0xFF, TELNET_SB, 44, 107, 0xB0, 0xFF, TELNET_NOP, 'b'});
    input.insert(input.end(), {0xFF, TELNET_SB, 44, 107, 0xB0, 0xFF, TELNET_SE});
    EXPECT_EQ(client.Receive(input, 5), (Bytes{'a', 'b'}));
    ASSERT_EQ(client.Commands.size(), 1u);
    EXPECT_EQ(client.Commands[0].first, COMPORT_NOTIFY_MODEMSTATE + COMPORT_SERVER_OFFSET);
    EXPECT_EQ(client.Commands[0].second, Bytes{0xB0});
}

}  // namespace
