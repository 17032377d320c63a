// lumo: the socket object: one IPv4 socket with its peer, role flags, connection state and last
// error, plus the line, string, byte and formatted transfers built on the platform layer.
#include "socket.hpp"

#include <lumo/trace.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "object.hpp"
#include "str.hpp"

namespace {

constexpr int kTid = LUMO_TID_SOCKET;
constexpr const char *kSource = "impl/socket";
constexpr int kFmtBufferSize = 4096;

lumo::ClassInfo socketClass{"OSocket", kTid, kSource};

LumoSocketData *plainData(LumoSocket *sock) noexcept { return lumo::dataOf<LumoSocketData>(sock); }

// Reads one byte at a time until a line feed (when stopAtLinefeed), a zero byte, limit bytes or
// a broken connection. limit < 0: no limit.
char *readText(LumoSocket *sock, char *buffer, int limit, bool stopAtLinefeed) noexcept {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d || !buffer) return nullptr;
  buffer[0] = '\0';
  for (int n = 0; (limit < 0 || n < limit) && !d->broken;) {
    char c = '\0';
    if (!lumo_socket_read(sock, &c, 1)) return nullptr;
    buffer[n++] = c;
    buffer[n] = '\0';
    if (c == '\0' || (stopAtLinefeed && c == '\n')) break;
  }
  return d->broken ? nullptr : buffer;
}

struct Impl : lumo::Base<LumoSocket, socketClass> {
  static void del(LumoSocket *sock) noexcept {
    if (!sock) return;
    LumoSocketData *d = plainData(sock);
    if (d) {
      if (d->sh > 0) lumo_socket_close(sock);
      socket_freeHostaddr(d);
      str_freeStrID(d->host, kTid);
      d->host = nullptr;
    }
    lumo::freeInstance<LumoSocketData>(sock, socketClass, __LINE__);
  }

  // The socket's own host text: the caller does not free it.
  static char *toString(LumoSocket *sock) noexcept {
    LumoSocketData *d = plainData(sock);
    return d ? d->host : nullptr;
  }

  static LumoSocket *acceptSocket(LumoSocket *server) noexcept {
    LumoSocketData *sd = socket_data(server, __LINE__);
    if (!sd) return nullptr;
    int fd = lumo_socket_accept(server);
    if (fd < 0) return nullptr;
    LumoSocketData *d = nullptr;
    LumoSocket *client = lumo::newInstance<LumoSocketData>(SocketOp, socketClass, __LINE__, &d);
    if (!client) {
      socket_closeFd(fd);
      return nullptr;
    }
    d->sh = fd;
    d->port = sd->port;
    // An address buffer of its own, so client and server can be released in any order.
    socket_allocHostaddr(d);
    TraceOp.trc(kSocketObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE, "client accepted.");
    lumo::countInstance(socketClass);
    return client;
  }

  static constexpr auto &bind = lumo_socket_bind;
  static constexpr auto &connect = lumo_socket_connect;
  static constexpr auto &disConnect = lumo_socket_close;

  static int fmt(LumoSocket *sock, const char *format, ...) noexcept {
    if (!socket_data(sock, __LINE__) || !format) return 0;
    char buffer[kFmtBufferSize];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return 0;
    // Longer output is cut to what the buffer holds.
    if (n >= kFmtBufferSize) n = kFmtBufferSize - 1;
    return lumo_socket_write(sock, buffer, n);
  }

  static constexpr auto &getip = lumo_socket_getip;
  static constexpr auto &getMAC = lumo_socket_mac;

  static int getPeeked(LumoSocket *sock) noexcept {
    LumoSocketData *d = plainData(sock);
    return d ? d->peeked : 0;
  }

  static constexpr auto &getPeername = lumo_socket_getPeername;

  static int getRc(LumoSocket *sock) noexcept {
    LumoSocketData *d = plainData(sock);
    return d ? d->rc : 0;
  }

  static int getReceived(LumoSocket *sock) noexcept {
    LumoSocketData *d = plainData(sock);
    return d ? d->received : 0;
  }

  static int getSended(LumoSocket *sock) noexcept {
    LumoSocketData *d = plainData(sock);
    return d ? d->sent : 0;
  }

  static FILE *getStream(LumoSocket *sock) noexcept { return socket_getStream(sock); }
  static const char *gethostaddr() noexcept { return socket_gethostaddr(); }
  static char *gethostbyaddr(const char *address, char *buffer, int size) noexcept {
    return socket_gethostbyaddr(address, buffer, size);
  }
  static const char *gethostname() noexcept { return socket_gethostname(); }
  static const char *getsockname(LumoSocket *sock, int *port) noexcept {
    return socket_getsockname(sock, port);
  }

  static LumoSocket *inst(const char *host, int port, int ssl, int udp, int multicast,
                          int reuse) noexcept {
    LumoSocketData *d = nullptr;
    LumoSocket *sock = lumo::newInstance<LumoSocketData>(SocketOp, socketClass, __LINE__, &d);
    if (!sock) return nullptr;
    d->host = str_dupID(host, kTid);
    d->port = port;
    d->ssl = ssl != 0;
    d->udp = udp != 0;
    d->multicast = multicast != 0;
    d->reuse = reuse != 0;
    // A failed creation is traced and left in sh and rc; the object exists all the same.
    socket_create(d);
    lumo::countInstance(socketClass);
    return sock;
  }

  static LumoSocket *instSSLserver(int port) noexcept {
    return inst("localhost", port, 1, 0, 0, 0);
  }

  static int isBroken(LumoSocket *sock) noexcept {
    LumoSocketData *d = plainData(sock);
    return !d || d->broken;
  }

  static int isConnected(LumoSocket *sock) noexcept {
    LumoSocketData *d = plainData(sock);
    return d && d->connected;
  }

  static int isOpenSSL() noexcept { return 0; }

  static constexpr auto &isTimedOut = lumo_socket_istimedout;
  static constexpr auto &peek = lumo_socket_peek;
  static constexpr auto &read = lumo_socket_read;

  // Unbounded by its contract (kept for the table's sake); the library itself never calls it.
  static char *readStr(LumoSocket *sock, char *buffer) noexcept {
    return readText(sock, buffer, -1, false);
  }

  static int readcSocket(LumoSocket *sock) noexcept {
    unsigned char c = 0;
    return lumo_socket_read(sock, &c, 1) ? c : 0;
  }

  static char *readln(LumoSocket *sock, char *buffer, int size) noexcept {
    if (!buffer || size <= 0) return nullptr;
    return readText(sock, buffer, size - 1, true);
  }

  static constexpr auto &recvfrom = lumo_socket_recvfrom;

  static void resetSocket(LumoSocket *sock) noexcept {
    LumoSocketData *d = socket_data(sock, __LINE__);
    if (!d) return;
    d->binded = false;
    d->listening = false;
  }

  static constexpr auto &sendto = lumo_socket_sendto;
  static constexpr auto &setBlocking = lumo_socket_setBlocking;
  static constexpr auto &setBroadcast = lumo_socket_setBroadcast;
  static constexpr auto &setKeepalive = lumo_socket_setKeepalive;
  static constexpr auto &setLocalIP = lumo_socket_localip;
  static constexpr auto &setMulticastLoop = lumo_socket_setMulticastLoop;
  static constexpr auto &setNodelay = lumo_socket_setNodelay;
  static constexpr auto &setRcvTimeout = lumo_socket_setRcvTimeout;
  static constexpr auto &setSndTimeout = lumo_socket_setSndTimeout;
  static constexpr auto &setUDPNoCheck = lumo_socket_setUDPNoCheck;
  static constexpr auto &setUsrTimeout = lumo_socket_setUsrTimeout;
  static constexpr auto &write = lumo_socket_write;

  static int writecSocket(LumoSocket *sock, int c) noexcept {
    unsigned char byte = static_cast<unsigned char>(c);
    return lumo_socket_write(sock, &byte, 1);
  }
};

// The list with its empty slot, which stays null, lies at its offset and has no name (the
// name order passes it over).
#define SOCKET_OPS(X, C) LUMO_SOCKET_OPS(X, SOCKET_EMPTY_##X, C)
#define SOCKET_EMPTY_LUMO_SLOT_INIT_MEMBER(impl, name) nullptr,
#define SOCKET_EMPTY_LUMO_SLOT_NAME(ctx, name) "",
#define SOCKET_EMPTY_LUMO_SLOT_OFFSET(T, name) offsetof(T, name),

}  // namespace

const LumoSocket SocketOp = {LUMO_BASE_INIT(Impl), SOCKET_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

// getip departs from byte-wise order: it comes before getMAC.
LUMO_CHECK_TABLE(LumoSocket, SOCKET_OPS, lumo::kOwnSlotsAt, "getip", "getMAC");

namespace {

// The slot order lumo.h fixes (rule 2), the empty slot written as "".
// clang-format off
constexpr const char *kDocumentedSlots[] = {
    "acceptSocket", "bind",          "connect",       "disConnect",       "fmt",
    "getip",        "getMAC",        "getPeeked",     "getPeername",      "getRc",
    "getReceived",  "getSended",     "getStream",     "gethostaddr",      "gethostbyaddr",
    "gethostname",  "getsockname",   "inst",          "instSSLserver",    "isBroken",
    "isConnected",  "isOpenSSL",     "isTimedOut",    "peek",             "read",
    "readStr",      "readcSocket",   "readln",        "recvfrom",         "resetSocket",
    "sendto",       "setBlocking",   "setBroadcast",  "setKeepalive",     "",
    "setLocalIP",   "setMulticastLoop", "setNodelay", "setRcvTimeout",    "setSndTimeout",
    "setUDPNoCheck", "setUsrTimeout", "write",        "writecSocket"};
// clang-format on
constexpr const char *kSlots[] = {SOCKET_OPS(LUMO_SLOT_NAME, _)};

template <std::size_t N, std::size_t M>
constexpr bool sameNames(const char *const (&a)[N], const char *const (&b)[M]) {
  if (N != M) return false;
  for (std::size_t i = 0; i < N; ++i)
    if (lumo::compareNames(a[i], b[i]) != 0) return false;
  return true;
}

static_assert(sameNames(kSlots, kDocumentedSlots), "SocketOp slots follow the order lumo.h fixes");

}  // namespace
