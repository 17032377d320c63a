// Sockets against real peers on the loopback interface only (127.0.0.1, its broadcast address
// and the all-hosts group sent through it): TCP client and server, transfers, broken and timed
// out connections, UDP datagrams, options and the host utilities.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <lumo/mem.h>
#include <lumo/socket.h>
#include <lumo/str.h>
#include <lumo/trace.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "lumo/impl/socket.hpp"
#include "support/testutil.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Records of "OSocket" seen on the console (E goes to standard error, the rest to standard
// output) while an instance lives.
class Records {
 public:
  Records() : out_(1), err_(2) {}
  ~Records() { collect(); }
  // Stops capturing; true when a record with this letter, code and message was written (terrno
  // records may carry their error suffix; prefix = true accepts any ending).
  bool has(char letter, int code, const std::string &message, bool prefix = false) {
    collect();
    static const std::regex record(R"(^\d{8}\.\d{6}\.\d{3} .(\d{4})(.) .* OSocket +\d{4} (.*)$)");
    for (const auto &line : records_) {
      std::smatch m;
      if (!std::regex_match(line, m, record) || m[2].str()[0] != letter || std::stoi(m[1]) != code)
        continue;
      const std::string text = m[3];
      if (text == message || text.rfind(message + " [errno=", 0) == 0 ||
          (prefix && text.rfind(message, 0) == 0))
        return true;
    }
    return false;
  }
  // Stops capturing; true when a line that is no record (the memory manager's) contains text.
  bool printed(const std::string &text) {
    collect();
    for (const auto &line : others_)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

 private:
  void collect() {
    if (done_) return;
    done_ = true;
    std::vector<std::string> lines = out_.lines();
    for (auto &line : err_.lines()) lines.push_back(line);
    // Lines that are no records (the test's own failure and skip messages) go on to the console.
    static const std::regex stamp(R"(^\d{8}\.\d{6}\.\d{3} )");
    for (auto &line : lines) {
      if (std::regex_search(line, stamp)) {
        records_.push_back(line);
      } else {
        others_.push_back(line);
        std::printf("%s\n", line.c_str());
      }
    }
  }
  StreamCapture out_, err_;
  std::vector<std::string> records_, others_;
  bool done_ = false;
};

struct Pair {
  LumoSocket *server = nullptr, *accepted = nullptr, *client = nullptr;
  int port = 0;
  ~Pair() {
    SocketOp.del(client);
    SocketOp.del(accepted);
    SocketOp.del(server);
  }
};

// A bound UDP socket (the module binds datagram sockets to the any address) and its port.
LumoSocket *udpBound(const char *host, int multicast, int *port) {
  LumoSocket *s = SocketOp.inst(host, 0, 0, 1, multicast, 0);
  if (SocketOp.bind(s)) SocketOp.getsockname(s, port);
  return s;
}

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sockets = SocketOp.count();
    blocks.note({LUMO_TID_SOCKET});
  }
  void TearDown() override {
    EXPECT_EQ(SocketOp.count(), sockets);
    blocks.expectUnchanged();
  }

  // Server object bound to 127.0.0.1, listening and accepting in a thread of its own; client
  // object connected to it.
  void open(Pair &p, int clientSsl = 0) {
    p.server = SocketOp.inst("127.0.0.1", 0, 0, 0, 0, 0);
    std::promise<int> bound;
    std::thread acceptor([&] {
      // sendto resolves the host into the socket's address before it fails on the unconnected
      // stream, so bind takes 127.0.0.1 rather than the any address.
      SocketOp.sendto(p.server, "", 0, nullptr, 0);
      int port = 0;
      bool ready = SocketOp.bind(p.server) && lumo_socket_listen(p.server) &&
                   SocketOp.getsockname(p.server, &port) == std::string("127.0.0.1");
      bound.set_value(ready ? port : -1);
      if (ready) p.accepted = SocketOp.acceptSocket(p.server);
    });
    p.port = bound.get_future().get();
    if (p.port > 0) {
      p.client = SocketOp.inst("127.0.0.1", p.port, clientSsl, 0, 0, 0);
      SocketOp.connect(p.client);
    }
    acceptor.join();
    ASSERT_GT(p.port, 0) << "server bound to 127.0.0.1";
    ASSERT_NE(p.accepted, nullptr);
    ASSERT_TRUE(SocketOp.isConnected(p.client));
  }

  ScopedTrace trace{-1, 1};
  int sockets = 0;
  BlockCounts blocks;
};

TEST_F(SocketTest, ClientAndServerExchangeCompleteBuffers) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(open(p));
  const int size = 1 << 20;
  std::vector<char> data(size), echo(size), back(size);
  for (int i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  std::thread server([&] {
    if (SocketOp.read(p.accepted, echo.data(), size)) SocketOp.write(p.accepted, echo.data(), size);
  });
  Records records;
  EXPECT_TRUE(SocketOp.write(p.client, data.data(), size));
  EXPECT_TRUE(SocketOp.read(p.client, back.data(), size));
  server.join();
  EXPECT_TRUE(back == data);
  EXPECT_EQ(SocketOp.getSended(p.client), size);
  EXPECT_EQ(SocketOp.getReceived(p.client), size);
  EXPECT_EQ(SocketOp.getReceived(p.accepted), size);
  EXPECT_TRUE(records.has('D', 9999, "1048576 bytes written to socket."));

  int peerPort = 0, clientPort = 0;
  EXPECT_EQ(std::string(SocketOp.getPeername(p.client, &peerPort)), "127.0.0.1");
  EXPECT_EQ(peerPort, p.port);
  SocketOp.getsockname(p.client, &clientPort);
  SocketOp.getPeername(p.accepted, &peerPort);
  EXPECT_EQ(peerPort, clientPort);
  // The accepted object has no host and a life of its own (its own address buffer).
  EXPECT_EQ(SocketOp.toString(p.accepted), nullptr);
  EXPECT_STREQ(SocketOp.toString(p.client), "127.0.0.1");
  EXPECT_EQ(SocketOp.count(), sockets + 3);
  Records released;
  SocketOp.del(p.server);
  p.server = nullptr;
  EXPECT_TRUE(SocketOp.write(p.accepted, "still", 5));
  SocketOp.del(p.accepted);
  p.accepted = nullptr;
  EXPECT_FALSE(released.printed("Unknown memory block")) << "each socket frees only its own";
}

TEST_F(SocketTest, PeekLooksAtWaitingBytesWithoutTakingThem) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(open(p));
  char buffer[8] = {};
  EXPECT_FALSE(SocketOp.peek(p.client, buffer, 1));
  EXPECT_EQ(SocketOp.getPeeked(p.client), -1);
  EXPECT_FALSE(SocketOp.isBroken(p.client));

  ASSERT_TRUE(SocketOp.write(p.accepted, "xyz", 3));
  auto start = Clock::now();
  while (!SocketOp.peek(p.client, buffer, 3) && secondsSince(start) < 30) lumo_thread_sleep(10);
  EXPECT_EQ(std::string(buffer, 3), "xyz");
  EXPECT_EQ(SocketOp.getPeeked(p.client), 3);
  EXPECT_FALSE(SocketOp.peek(p.client, buffer, 5)) << "fewer bytes wait than asked for";
  EXPECT_EQ(SocketOp.getPeeked(p.client), 3);
  EXPECT_FALSE(SocketOp.isBroken(p.client));
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_TRUE(SocketOp.read(p.client, buffer, 3));
  EXPECT_STREQ(buffer, "xyz");
}

TEST_F(SocketTest, LineStringByteAndFormattedTransfers) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(open(p));
  LumoSocket *in = p.client, *out = p.accepted;
  char line[64];
  ASSERT_TRUE(SocketOp.write(out, "abcdefgh", 8));
  EXPECT_STREQ(SocketOp.readln(in, line, 5), "abcd");
  ASSERT_TRUE(SocketOp.write(out, "\nrest\n", 6));
  EXPECT_STREQ(SocketOp.readln(in, line, sizeof line), "efgh\n");
  EXPECT_STREQ(SocketOp.readln(in, line, sizeof line), "rest\n");
  EXPECT_EQ(SocketOp.readln(in, line, 0), nullptr);

  ASSERT_TRUE(SocketOp.write(out, "zero\0after", 10));
  EXPECT_STREQ(SocketOp.readStr(in, line), "zero");
  EXPECT_STREQ(SocketOp.readln(in, line, 6), "after");

  // Bytes from 0x80 up come back as 128..255, never negative.
  EXPECT_TRUE(SocketOp.writecSocket(out, 0xFF));
  EXPECT_TRUE(SocketOp.writecSocket(out, 'A'));
  EXPECT_TRUE(SocketOp.writecSocket(out, 0x80));
  EXPECT_EQ(SocketOp.readcSocket(in), 255);
  EXPECT_EQ(SocketOp.readcSocket(in), 65);
  EXPECT_EQ(SocketOp.readcSocket(in), 128);

  EXPECT_TRUE(SocketOp.fmt(out, "%s=%d\n", "n", 42));
  EXPECT_STREQ(SocketOp.readln(in, line, sizeof line), "n=42\n");
  // Output that does not fit the 4096-byte buffer is cut, not written past it.
  std::string longText(5000, 'x');
  EXPECT_TRUE(SocketOp.fmt(out, "%s", longText.c_str()));
  EXPECT_EQ(SocketOp.getSended(out), 4095);
  std::vector<char> got(4095);
  EXPECT_TRUE(SocketOp.read(in, got.data(), 4095));
  EXPECT_EQ(std::string(got.begin(), got.end()), std::string(4095, 'x'));
  EXPECT_FALSE(SocketOp.peek(in, line, 1));
}

TEST_F(SocketTest, WriteLengthsAndTheFullSendBuffer) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(open(p));
  {
    Records records;
    EXPECT_TRUE(SocketOp.write(p.client, "", 0));
    EXPECT_FALSE(SocketOp.write(p.client, "abc", -1));
    EXPECT_TRUE(records.has('D', 9999, "0 bytes written to socket."));
  }
  EXPECT_FALSE(SocketOp.isBroken(p.client));

  // The peer reads nothing: a non-blocking write waits 100 times 10 ms, then gives up with the
  // socket still open.
  ASSERT_TRUE(SocketOp.setBlocking(p.client, 0));
  const int size = 64 << 20;
  std::vector<char> big(size, 'b');
  Records records;
  auto start = Clock::now();
  EXPECT_FALSE(SocketOp.write(p.client, big.data(), size));
  EXPECT_GE(secondsSince(start), 0.9);
  EXPECT_TRUE(records.has('W', 9999, "socket blocks sh=", true));
  EXPECT_FALSE(SocketOp.isBroken(p.client));
  EXPECT_TRUE(SocketOp.isConnected(p.client));
  EXPECT_GT(SocketOp.getSended(p.client), 0);
  EXPECT_LT(SocketOp.getSended(p.client), size);
}

TEST_F(SocketTest, NegativeReadAndPeekLengthsFailAndTakeNothing) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(open(p));
  ASSERT_TRUE(SocketOp.write(p.accepted, "abc", 3));
  char buf[4] = "xyz";
  Records records;
  EXPECT_FALSE(SocketOp.read(p.client, buf, -1));
  EXPECT_EQ(SocketOp.getRc(p.client), EINVAL);
  EXPECT_FALSE(SocketOp.peek(p.client, buf, INT_MIN));
  EXPECT_TRUE(records.has('E', 8035, "recv() failed"));
  EXPECT_STREQ(buf, "xyz");
  EXPECT_FALSE(SocketOp.isBroken(p.client));
  EXPECT_TRUE(SocketOp.read(p.client, buf, 3)) << "the waiting bytes are all still there";
  EXPECT_STREQ(buf, "abc");
}

TEST_F(SocketTest, PeerCloseMarksTheSocketBroken) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(open(p));
  SocketOp.del(p.accepted);
  p.accepted = nullptr;
  char c;
  Records records;
  EXPECT_FALSE(SocketOp.read(p.client, &c, 1));
  EXPECT_TRUE(SocketOp.isBroken(p.client));
  EXPECT_TRUE(records.has('I', 9999, "Other side has closed connection."));
  EXPECT_FALSE(SocketOp.write(p.client, "x", 1)) << "nothing is sent on a broken socket";
  EXPECT_EQ(SocketOp.getSended(p.client), 0);
  // A new connect opens a new descriptor (the server still listens) and clears the flag.
  EXPECT_TRUE(SocketOp.disConnect(p.client));
  EXPECT_TRUE(SocketOp.connect(p.client));
  EXPECT_FALSE(SocketOp.isBroken(p.client));
  EXPECT_TRUE(SocketOp.isBroken(nullptr));
}

TEST_F(SocketTest, ResetByThePeerMarksTheSocketBrokenAndClosesIt) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof sa;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &length);
  auto resetPeer = [&] {
    int fd = accept(listener, nullptr, nullptr);
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
  };
  LumoSocket *reader = SocketOp.inst("127.0.0.1", ntohs(sa.sin_port), 0, 0, 0, 0);
  LumoSocket *writer = SocketOp.inst("127.0.0.1", ntohs(sa.sin_port), 0, 0, 0, 0);
  ASSERT_TRUE(SocketOp.connect(reader));
  resetPeer();
  ASSERT_TRUE(SocketOp.connect(writer));
  resetPeer();
  close(listener);

  Records records;
  char c;
  EXPECT_FALSE(SocketOp.read(reader, &c, 1));
  EXPECT_TRUE(SocketOp.isBroken(reader));
  EXPECT_EQ(SocketOp.getRc(reader), ECONNRESET);
  EXPECT_STREQ(SocketOp.getsockname(reader, nullptr), "") << "descriptor closed";
  auto start = Clock::now();
  while (SocketOp.write(writer, "x", 1) && secondsSince(start) < 30) lumo_thread_sleep(10);
  EXPECT_TRUE(SocketOp.isBroken(writer)) << "no SIGPIPE, the write reports the broken pipe";
  EXPECT_TRUE(records.has('W', 8035, "closing socket..."));
  EXPECT_TRUE(records.has('E', 8035, "recv() failed"));
  EXPECT_TRUE(records.has('E', 8030, "send() failed"));
  EXPECT_TRUE(records.has('E', 9999, "Connection broken!"));
  SocketOp.del(reader);
  SocketOp.del(writer);
}

TEST_F(SocketTest, ReceiveTimeOutAndNonBlockingReadsReportTimedOut) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(open(p));
  char c;
  ASSERT_TRUE(SocketOp.setRcvTimeout(p.client, 1));
  Records records;
  auto start = Clock::now();
  EXPECT_FALSE(SocketOp.read(p.client, &c, 1));
  double waited = secondsSince(start);
  EXPECT_GE(waited, 0.9);
  EXPECT_LT(waited, 30);
  EXPECT_TRUE(SocketOp.isTimedOut(p.client));
  EXPECT_FALSE(SocketOp.isBroken(p.client));
  EXPECT_TRUE(records.has('D', 8035, "recv() failed"));

  ASSERT_TRUE(SocketOp.setRcvTimeout(p.client, 0));
  EXPECT_EQ(SocketOp.getRc(p.client), 0) << "a successful time-out option clears rc";
  ASSERT_TRUE(SocketOp.setBlocking(p.client, 0));
  start = Clock::now();
  EXPECT_FALSE(SocketOp.read(p.client, &c, 1));
  EXPECT_LT(secondsSince(start), 0.9);
  EXPECT_TRUE(SocketOp.isTimedOut(p.client));
  ASSERT_TRUE(SocketOp.setBlocking(p.client, 1));
  std::thread late([&] {
    lumo_thread_sleep(200);
    SocketOp.write(p.accepted, "k", 1);
  });
  EXPECT_TRUE(SocketOp.read(p.client, &c, 1)) << "blocking again: waits for the byte";
  late.join();
  EXPECT_EQ(c, 'k');
}

// The stream holds a descriptor of its own: whichever of stream and socket is closed first, the
// other's close cannot reach a descriptor that meanwhile belongs to someone else.
TEST_F(SocketTest, StreamHasADescriptorOfItsOwn) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(open(p));
  FILE *stream = SocketOp.getStream(p.accepted);
  ASSERT_NE(stream, nullptr);
  EXPECT_NE(fcntl(fileno(stream), F_GETFD) & FD_CLOEXEC, 0);
  std::fputs("via stream\n", stream);
  std::fflush(stream);
  char line[32];
  EXPECT_STREQ(SocketOp.readln(p.client, line, sizeof line), "via stream\n");

  EXPECT_EQ(std::fclose(stream), 0);
  EXPECT_TRUE(SocketOp.write(p.accepted, "after\n", 6)) << "the socket still has its descriptor";
  EXPECT_STREQ(SocketOp.readln(p.client, line, sizeof line), "after\n");
  int next = ::open("/dev/null", O_RDONLY);  // the lowest free descriptor
  EXPECT_TRUE(SocketOp.disConnect(p.accepted));
  EXPECT_NE(fcntl(next, F_GETFD), -1) << "the socket closed a descriptor it no longer owned";
  close(next);

  // The other order: the stream outlives its socket and still reaches the peer.
  Pair q;
  ASSERT_NO_FATAL_FAILURE(open(q));
  stream = SocketOp.getStream(q.client);
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(SocketOp.disConnect(q.client));
  std::fputs("late\n", stream);
  EXPECT_EQ(std::fclose(stream), 0);
  EXPECT_STREQ(SocketOp.readln(q.accepted, line, sizeof line), "late\n");
}

// A close that fails (here: the descriptor was closed behind the socket's back) still gives the
// number up, so del does not close it once it belongs to someone else.
TEST_F(SocketTest, AFailedCloseStillForgetsTheDescriptor) {
  LumoSocket *s = SocketOp.inst(nullptr, 0, 0, 1, 0, 0);
  int fd = static_cast<LumoSocketData *>(s->data)->sh;
  ASSERT_GT(fd, 0);
  {
    Records records;  // opens its files first: they must not take the number
    close(fd);
    EXPECT_FALSE(SocketOp.disConnect(s));
    EXPECT_TRUE(records.has('E', 8036, "close() failed"));
  }
  int next = ::open("/dev/null", O_RDONLY);
  ASSERT_EQ(next, fd);
  SocketOp.del(s);
  EXPECT_NE(fcntl(next, F_GETFD), -1) << "del closed a descriptor the socket no longer owned";
  close(next);
}

TEST_F(SocketTest, SocketWithoutDescriptorNeverTouchesDescriptorZero) {
  int stdinFlags = fcntl(0, F_GETFL);
  Pair p;
  ASSERT_NO_FATAL_FAILURE(open(p));
  Records records;
  EXPECT_TRUE(SocketOp.disConnect(p.client));
  EXPECT_FALSE(SocketOp.isConnected(p.client));
  char c;
  EXPECT_FALSE(SocketOp.disConnect(p.client));
  EXPECT_EQ(SocketOp.getRc(p.client), EBADF);
  EXPECT_FALSE(SocketOp.setBlocking(p.client, 0));
  EXPECT_EQ(SocketOp.getStream(p.client), nullptr);
  EXPECT_FALSE(SocketOp.write(p.client, "x", 1));
  EXPECT_TRUE(SocketOp.isBroken(p.client));
  EXPECT_FALSE(SocketOp.read(p.client, &c, 1));
  EXPECT_EQ(fcntl(0, F_GETFL), stdinFlags);
  EXPECT_TRUE(records.has('D', 9999, "socket closed."));
  EXPECT_TRUE(records.has('E', 8036, "close() failed"));
  EXPECT_TRUE(records.has('E', 9999, "Error getting stream for socket."));
  EXPECT_TRUE(records.has('W', 9999, "cannot write to socket sh=0 errno=0..."));
  EXPECT_TRUE(records.has('I', 9999, "Other side has closed connection."));

  // With descriptor 0 free, a new socket still never takes it.
  int saved = dup(0);
  close(0);
  LumoSocket *s = SocketOp.inst(nullptr, 0, 0, 1, 0, 0);
  bool zeroStillFree = fcntl(0, F_GETFD) == -1;
  std::string local = SocketOp.getsockname(s, nullptr);
  SocketOp.del(s);
  if (saved >= 0) {
    dup2(saved, 0);
    close(saved);
  }
  EXPECT_TRUE(zeroStillFree);
  EXPECT_EQ(local, "0.0.0.0") << "the socket is open on another descriptor";
}

TEST_F(SocketTest, SecondBindIsANoOpAndResetAllowsANewDescriptor) {
  int port = 0;
  LumoSocket *s = udpBound(nullptr, 0, &port);
  ASSERT_GT(port, 0);
  {
    Records records;
    EXPECT_TRUE(SocketOp.bind(s));
    EXPECT_TRUE(records.has('D', 9999, "already binded"));
  }
  SocketOp.resetSocket(s);
  EXPECT_FALSE(SocketOp.bind(s)) << "the same descriptor cannot be bound twice";
  EXPECT_EQ(SocketOp.getRc(s), EINVAL);
  EXPECT_TRUE(SocketOp.disConnect(s));
  SocketOp.resetSocket(s);
  Records records;
  EXPECT_TRUE(SocketOp.bind(s));
  EXPECT_TRUE(records.has('D', 9999, "creating socket udp=1"));
  EXPECT_TRUE(records.has('D', 9999, "socket binded."));
  SocketOp.del(s);
}

TEST_F(SocketTest, DatagramsTravelBetweenUdpSockets) {
  int rxPort = 0, txPort = 0, from = 0;
  LumoSocket *rx = udpBound(nullptr, 0, &rxPort);
  ASSERT_GT(rxPort, 0);
  ASSERT_TRUE(SocketOp.setRcvTimeout(rx, 10));
  LumoSocket *tx = SocketOp.inst("127.0.0.1", rxPort, 0, 1, 0, 0);
  char buffer[64] = {}, address[16] = {};
  Records records;
  EXPECT_TRUE(SocketOp.sendto(tx, "hello", 5, nullptr, 0)) << "port 0: the socket's own port";
  SocketOp.getsockname(tx, &txPort);
  EXPECT_EQ(SocketOp.recvfrom(rx, nullptr, 0, nullptr, nullptr), 5) << "peeked, still waiting";
  EXPECT_EQ(SocketOp.recvfrom(rx, buffer, sizeof buffer, address, &from), 5);
  EXPECT_STREQ(buffer, "hello");
  EXPECT_STREQ(address, "127.0.0.1");
  EXPECT_EQ(from, txPort);
  EXPECT_TRUE(SocketOp.sendto(tx, "again", 5, "127.0.0.1", rxPort));
  EXPECT_EQ(SocketOp.recvfrom(rx, buffer, sizeof buffer, nullptr, nullptr), 5);
  EXPECT_FALSE(SocketOp.sendto(tx, "x", -1, nullptr, 0));
  EXPECT_EQ(SocketOp.getRc(tx), EINVAL);
  EXPECT_EQ(SocketOp.recvfrom(rx, buffer, -1, nullptr, nullptr), 0);
  EXPECT_FALSE(SocketOp.sendto(tx, "x", 1, "no such host", 0));
  ASSERT_TRUE(SocketOp.setRcvTimeout(rx, 1));
  EXPECT_EQ(SocketOp.recvfrom(rx, buffer, sizeof buffer, nullptr, nullptr), 0);
  EXPECT_TRUE(SocketOp.isTimedOut(rx));
  EXPECT_TRUE(records.has('B', 9999, "5 bytes read from 127.0.0.1:" + std::to_string(txPort)));
  EXPECT_TRUE(records.has('E', 9999, "gethostbyname(no such host) failed"));
  EXPECT_TRUE(records.has('E', 9999, "sendto() failed"));
  SocketOp.del(tx);
  SocketOp.del(rx);
}

TEST_F(SocketTest, BroadcastOnLoopbackNeedsTheBroadcastOption) {
  int port = 0;
  LumoSocket *rx = udpBound(nullptr, 0, &port);
  ASSERT_GT(port, 0);
  SocketOp.setRcvTimeout(rx, 10);
  LumoSocket *tx = SocketOp.inst("127.255.255.255", port, 0, 1, 0, 0);
  EXPECT_FALSE(SocketOp.sendto(tx, "bc", 2, nullptr, 0));
  EXPECT_EQ(SocketOp.getRc(tx), EACCES);
  EXPECT_TRUE(SocketOp.setBroadcast(tx, 1));
  bool sent = SocketOp.sendto(tx, "bc", 2, nullptr, 0);
  std::string reason = std::strerror(SocketOp.getRc(tx));
  char buffer[8] = {};
  int n = sent ? SocketOp.recvfrom(rx, buffer, sizeof buffer, nullptr, nullptr) : 0;
  SocketOp.del(tx);
  SocketOp.del(rx);
  if (!sent) GTEST_SKIP() << "the kernel refuses broadcast on loopback: " << reason;
  EXPECT_EQ(n, 2);
  EXPECT_STREQ(buffer, "bc");
}

TEST_F(SocketTest, MulticastGroupIsJoinedOnBindAndReachedThroughLoopback) {
  // The all-hosts group: the kernel never sends membership reports for it, and the datagram
  // leaves through the interface of 127.0.0.1, so nothing goes beyond this machine.
  const char *group = "224.0.0.1";
  int port = 0;
  Records records;
  LumoSocket *rx = udpBound(group, 1, &port);
  int joinRc = SocketOp.getRc(rx);
  LumoSocket *tx = SocketOp.inst(group, port, 0, 1, 0, 0);
  SocketOp.setLocalIP(tx, "127.0.0.1");
  int interfaceRc = SocketOp.getRc(tx);
  bool sent = port > 0 && interfaceRc == 0 && SocketOp.setMulticastLoop(tx, 1) &&
              SocketOp.sendto(tx, "mc", 2, nullptr, 0);
  char buffer[8] = {}, address[16] = {};
  int from = 0, n = 0;
  if (sent && SocketOp.setRcvTimeout(rx, 5))
    n = SocketOp.recvfrom(rx, buffer, sizeof buffer, address, &from);
  SocketOp.del(tx);
  SocketOp.del(rx);
  if (port <= 0) GTEST_SKIP() << "joining " << group << " refused: " << std::strerror(joinRc);
  if (interfaceRc != 0)
    GTEST_SKIP() << "no multicast through 127.0.0.1: " << std::strerror(interfaceRc);
  if (!sent) GTEST_SKIP() << "the kernel refuses multicast on loopback";
  if (n == 0) GTEST_SKIP() << "the kernel does not deliver multicast on loopback";
  EXPECT_STREQ(buffer, "mc");
  EXPECT_STREQ(address, "127.0.0.1");
  EXPECT_TRUE(records.has('q', 9999, "allow all processes to use port 0..."));
  EXPECT_TRUE(records.has('D', 9999, "Join the broadcast group..."));
  EXPECT_TRUE(records.has('D', 9999,
                          "Set the interface over which outgoing multicast datagrams are sent..."));
}

TEST_F(SocketTest, MulticastBindRefusesAHostName) {
  int port = 0;
  Records records;
  LumoSocket *s = udpBound("localhost", 1, &port);
  EXPECT_EQ(port, 0);
  EXPECT_TRUE(records.has('E', 9999, "localhost id no multicast address!"));
  SocketOp.del(s);
}

TEST_F(SocketTest, OptionsTraceSuccessAndFailure) {
  struct Row {
    int (*set)(LumoSocket *, int);
    bool udp;
    const char *ok;       // success text, null when there is none
    const char *failure;  // failure text
    int code;
  } rows[] = {
      {SocketOp.setKeepalive, false, "lumo_socket_setKeepalive() OK.",
       "setsockopt(SO_KEEPALIVE) failed", 9999},
      {SocketOp.setBroadcast, true, "lumo_socket_setBroadcast() OK.",
       "setsockopt(SO_BROADCAST) failed", 9999},
      {SocketOp.setNodelay, false, "lumo_socket_setNodelay() OK.",
       "setsockopt(TCP_NODELAY)=1 failed", 9999},
      {SocketOp.setMulticastLoop, true, nullptr, "setsockopt(IP_MULTICAST_LOOP) failed", 9999},
      {SocketOp.setUsrTimeout, false, "lumo_socket_setUsrTimeout() OK.",
       "setsockopt(TCP_USER_TIMEOUT) failed", 399},
      {SocketOp.setSndTimeout, false, "lumo_socket_setSndTimeout() OK.",
       "setsockopt(SO_SNDTIMEO) failed", 421},
      {SocketOp.setRcvTimeout, false, "lumo_socket_setRcvTimeout() OK.",
       "setsockopt(SO_RCVTIMEO) failed", 9999},
  };
  LumoSocket *tcp = SocketOp.inst("127.0.0.1", 1, 0, 0, 0, 0);
  LumoSocket *udp = SocketOp.inst("127.0.0.1", 1, 0, 1, 0, 0);
  LumoSocket *closed = SocketOp.inst("127.0.0.1", 1, 0, 0, 0, 0);
  SocketOp.disConnect(closed);
  std::string unsupported;
  for (const Row &row : rows) {
    LumoSocket *s = row.udp ? udp : tcp;
    Records records;
    int ok = row.set(s, 1);
    if (!ok && SocketOp.getRc(s) == ENOPROTOOPT) {
      unsupported += std::string(" ") + row.failure;
      continue;
    }
    EXPECT_TRUE(ok) << row.failure << ": " << std::strerror(SocketOp.getRc(s));
    EXPECT_FALSE(row.set(closed, 1));
    EXPECT_EQ(SocketOp.getRc(closed), EBADF);
    if (row.ok) {
      EXPECT_TRUE(records.has('D', 9999, row.ok)) << row.ok;
    }
    EXPECT_TRUE(records.has('E', row.code, row.failure)) << row.failure;
  }
  Records records;
  SocketOp.setLocalIP(closed, "127.0.0.1");
  // Whether the platform knows the option or not, the outcome is traced.
  int noCheck = SocketOp.setUDPNoCheck(udp, 1);
  EXPECT_FALSE(SocketOp.setUDPNoCheck(tcp, 1)) << "datagram sockets only";
  EXPECT_TRUE(records.has('E', 8015, "setsockopt(IP_MULTICAST_IF) failed"));
  EXPECT_TRUE(
      records.has('I', 9999, noCheck ? "set UDP no checksum, rc=0" : "set UDP no checksum, rc=-1"));
  SocketOp.del(tcp);
  SocketOp.del(udp);
  SocketOp.del(closed);
  if (!unsupported.empty()) GTEST_SKIP() << "options unknown to this platform:" << unsupported;
}

TEST_F(SocketTest, SslSocketConnectsButCannotTransfer) {
  Pair p;
  Records records;
  ASSERT_NO_FATAL_FAILURE(open(p, 1));
  ASSERT_TRUE(SocketOp.write(p.accepted, "s", 1));
  char c = 0;
  auto start = Clock::now();
  while (!SocketOp.peek(p.client, &c, 1) && secondsSince(start) < 30) lumo_thread_sleep(10);
  EXPECT_EQ(c, 's') << "peek works";
  EXPECT_FALSE(SocketOp.write(p.client, "x", 1));
  EXPECT_TRUE(SocketOp.isBroken(p.client));
  EXPECT_FALSE(SocketOp.isConnected(p.client)) << "closed by the failed write";
  EXPECT_TRUE(
      records.has('E', 9999, "SSL requested but not supported! Compile with __OPENSSL__ defined."));
  EXPECT_TRUE(records.has('W', 9999, "cannot write to socket sh=", true));
  EXPECT_FALSE(SocketOp.isOpenSSL());
  EXPECT_EQ(lumo_socket_CreateCTX(), 0);
  EXPECT_EQ(lumo_socket_LoadCerts(), 0);
  LumoSocket *server = SocketOp.instSSLserver(0);
  EXPECT_STREQ(SocketOp.toString(server), "localhost");
  SocketOp.del(server);
}

TEST_F(SocketTest, HostUtilities) {
  EXPECT_STREQ(SocketOp.getip("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(SocketOp.getip("no such host"), nullptr);
  EXPECT_EQ(SocketOp.getip(nullptr), nullptr);

  char name[256] = {};
  gethostname(name, sizeof name - 1);
  EXPECT_STREQ(SocketOp.gethostname(), name);
  // The first non-loopback IPv4 address, or the host name.
  std::string expected = name;
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs *e = list; e; e = e->ifa_next) {
      if (!e->ifa_addr || e->ifa_addr->sa_family != AF_INET) continue;
      std::string a = inet_ntoa(reinterpret_cast<sockaddr_in *>(e->ifa_addr)->sin_addr);
      if (a.rfind("127.", 0) != 0) {
        expected = a;
        break;
      }
    }
    freeifaddrs(list);
  }
  EXPECT_EQ(SocketOp.gethostaddr(), expected);

  char buffer[64];
  EXPECT_STRNE(SocketOp.gethostbyaddr("127.0.0.1", buffer, sizeof buffer), "");
  EXPECT_STREQ(SocketOp.gethostbyaddr("not an address", buffer, sizeof buffer), "");
  std::memset(buffer, 'Z', sizeof buffer);
  SocketOp.gethostbyaddr("127.0.0.1", buffer, 2);
  EXPECT_EQ(buffer[2], 'Z') << "written within the given size";

  Records records;
  struct {
    const char *name;
    bool known;
  } interfaces[] = {{"nosuchif0", false}, {"lo", true}, {"an-interface-name-too-long", false}};
  for (const auto &i : interfaces) {
    char *mac = SocketOp.getMAC(i.name);
    EXPECT_STREQ(mac, "0000000000000000") << i.name;
    StrOp.freeStr(mac);
  }
  EXPECT_TRUE(records.has(
      'W', 9999, "lumo_socket_mac( nosuchif0 ): rc = -1, errno = " + std::to_string(ENODEV)));
  EXPECT_TRUE(records.has('D', 9999, "lumo_socket_mac( lo ): [0000000000000000]"));
}

TEST_F(SocketTest, TableKeepsTheDocumentedLayout) {
  EXPECT_STREQ(SocketOp.name(), "OSocket");
  EXPECT_EQ(SocketOp.reserved, nullptr);
  EXPECT_EQ(SocketOp.connect, &lumo_socket_connect);
  EXPECT_EQ(SocketOp.getMAC, &lumo_socket_mac);
  EXPECT_EQ(SocketOp.disConnect, &lumo_socket_close);
  SocketOp.del(nullptr);
  EXPECT_EQ(SocketOp.acceptSocket(nullptr), nullptr);
  EXPECT_FALSE(SocketOp.isConnected(nullptr));
}

}  // namespace
