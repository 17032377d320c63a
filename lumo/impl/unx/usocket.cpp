// lumo: operating-system layer of the socket (BSD sockets, IPv4 only): descriptors, transfers,
// options and the host utilities. The only file of the library that includes socket headers.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <lumo/thread.h>
#include <lumo/trace.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "../mem.hpp"
#include "../socket.hpp"
#include "../str.hpp"
#include "deadline.hpp"

namespace {

constexpr const char *kSource = "impl/unx/usocket";
constexpr int kTid = LUMO_TID_SOCKET;

// The module's codes: creation and the outgoing multicast interface, connect, send, receive,
// close, and the two time-out options.
constexpr int kCodeSocket = 8015;
constexpr int kCodeConnect = 8020;
constexpr int kCodeSend = 8030;
constexpr int kCodeRecv = 8035;
constexpr int kCodeClose = 8036;
constexpr int kCodeUsrTimeout = 399;
constexpr int kCodeSndTimeout = 421;

// A full send buffer is waited out in steps of at most this many milliseconds, at most
// kMaxRetries + 1 times per write; a step ends early once the buffer has room.
constexpr int kRetrySleepMs = lumo::kStepMs;
constexpr int kMaxRetries = 99;

constexpr int kListenBacklog = 4096;
constexpr int kPeekDatagramSize = 256;
constexpr int kHostBufferSize = 256;

// gethostname and gethostaddr answer in this buffer. One per thread, like the platform's buffer
// behind the dotted texts: two threads asking at once would otherwise write one text over the
// other while it is read.
thread_local char hostBuffer[kHostBufferSize];

#define SOCK_TRC(level, code, ...) TraceOp.trc(kSocketObject, level, __LINE__, code, __VA_ARGS__)
#define SOCK_TERRNO(level, code, error, ...) \
  TraceOp.terrno(kSocketObject, level, __LINE__, code, error, __VA_ARGS__)

// The descriptor for a platform call. A socket without one (0 after a close, negative after a
// failed creation) gets -1, so the call fails with EBADF and descriptor 0, standard input,
// is never touched.
int fdOf(const LumoSocketData *d) noexcept { return d->sh > 0 ? d->sh : -1; }

// Every descriptor the module opens is close-on-exec: the shell commands the library starts
// must not inherit connections (a peer would not see the close while a command still runs).
//
// Descriptor 0 means "no socket", so a socket must never be given it (a daemon may well run
// with standard input closed): a socket that got it moves to the next free descriptor.
int avoidZero(int fd) noexcept {
  if (fd != 0) return fd;
  int moved = fcntl(0, F_DUPFD_CLOEXEC, 1);
  int error = errno;
  close(0);
  errno = error;
  return moved;
}

sockaddr_in ipv4(in_addr_t address, int port) noexcept {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = address;
  return sa;
}

in_addr_t hostaddrOf(const LumoSocketData *d) noexcept {
  in_addr_t address = 0;
  if (d->hostaddr) std::memcpy(&address, d->hostaddr, sizeof address);
  return address;
}

// The first IPv4 address of a name. The reentrant resolver rather than the classic one, whose
// static result would race between sockets used on different threads. errno is cleared first,
// so it tells afterwards whether the platform gave a reason.
bool lookupIPv4(const char *name, in_addr_t *address) noexcept {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  errno = 0;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return false;
  *address = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return true;
}

// Resolves name (dotted or looked up) into hostaddr.
bool resolveHost(LumoSocketData *d, const char *name) noexcept {
  const char *text = lumo::orEmpty(name);
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "__resolveHost: inet_addr(%s)", text);
  in_addr_t address = inet_addr(text);
  if (address == INADDR_NONE) {
    SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "__resolveHost: gethostbyname()");
    if (!name || !lookupIPv4(text, &address)) {
      d->rc = name ? errno : EINVAL;
      SOCK_TRC(LUMO_TRC_E, LUMO_TRC_CODE, "gethostbyname(%s) failed", text);
      return false;
    }
    SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "__resolveHost: memcpy()");
  }
  if (!d->hostaddr && !socket_allocHostaddr(d)) {
    d->rc = ENOMEM;
    return false;
  }
  std::memcpy(d->hostaddr, &address, sizeof address);
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "HostAddr: %ld", static_cast<long>(address));
  return true;
}

// Leaves the multicast group named by host; a host that is no dotted address never joined.
void leaveGroup(LumoSocketData *d) noexcept {
  in_addr_t group = d->host ? inet_addr(d->host) : INADDR_NONE;
  if (group == INADDR_NONE) return;
  ip_mreq request;
  std::memset(&request, 0, sizeof request);
  request.imr_multiaddr.s_addr = group;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  setsockopt(fdOf(d), IPPROTO_IP, IP_DROP_MEMBERSHIP, &request, sizeof request);
}

// One socket option: rc and the failure text on failure, the success text (when there is one)
// on success.
struct Option {
  int level;
  int name;
  const char *optionName;
  int failureCode;
  const char *okText;  // null: no success trace
  bool clearRc;        // rc := 0 on success
};

int setOption(LumoSocket *sock, const Option &o, const void *value, socklen_t size, int traceValue,
              bool withValue, int line) noexcept {
  LumoSocketData *d = socket_data(sock, line);
  if (!d) return 0;
  if (setsockopt(fdOf(d), o.level, o.name, value, size) != 0) {
    int error = errno;
    d->rc = error;
    if (withValue)
      TraceOp.terrno(kSocketObject, LUMO_TRC_E, line, o.failureCode, error,
                     "setsockopt(%s)=%d failed", o.optionName, traceValue);
    else
      TraceOp.terrno(kSocketObject, LUMO_TRC_E, line, o.failureCode, error, "setsockopt(%s) failed",
                     o.optionName);
    return 0;
  }
  if (o.clearRc) d->rc = 0;
  if (o.okText) TraceOp.trc(kSocketObject, LUMO_TRC_D, line, LUMO_TRC_CODE, "%s", o.okText);
  return 1;
}

int setIntOption(LumoSocket *sock, const Option &o, int value, int line,
                 bool withValue = false) noexcept {
  return setOption(sock, o, &value, sizeof value, value, withValue, line);
}

int setTimeOption(LumoSocket *sock, const Option &o, int seconds, int line) noexcept {
  timeval tv;
  tv.tv_sec = seconds;
  tv.tv_usec = 0;
  return setOption(sock, o, &tv, sizeof tv, seconds, false, line);
}

}  // namespace

// Internal functions of the module.

LumoSocketData *socket_data(LumoSocket *sock, int line) noexcept {
  LumoSocketData *d = sock ? static_cast<LumoSocketData *>(sock->data) : nullptr;
  if (!d) TraceOp.trc(kSocketObject, LUMO_TRC_E, line, LUMO_TRC_CODE, "socket not initialized.");
  return d;
}

bool socket_allocHostaddr(LumoSocketData *d) noexcept {
  if (!d->hostaddr)
    d->hostaddr = static_cast<unsigned char *>(mem_allocTID(4, kTid, kSource, __LINE__));
  return d->hostaddr != nullptr;
}

void socket_freeHostaddr(LumoSocketData *d) noexcept {
  mem_freeTID(d->hostaddr, kTid, kSource, __LINE__);
  d->hostaddr = nullptr;
}

void socket_closeFd(int fd) noexcept {
  if (fd > 0) close(fd);
}

bool socket_create(LumoSocketData *d) noexcept {
  socket_allocHostaddr(d);
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "creating socket udp=%d", d->udp ? 1 : 0);
  errno = 0;
  int fd =
      d->udp ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)
             : socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  fd = avoidZero(fd);
  d->sh = fd;
  if (fd < 0) {
    d->rc = errno;
    SOCK_TERRNO(LUMO_TRC_E, kCodeSocket, d->rc, "socket() failed");
    return false;
  }
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "socket created.");
  return true;
}

const char *socket_getsockname(LumoSocket *sock, int *port) noexcept {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d) return "";
  sockaddr_in sa;
  socklen_t length = sizeof sa;
  if (getsockname(fdOf(d), reinterpret_cast<sockaddr *>(&sa), &length) != 0) {
    d->rc = errno;
    return "";
  }
  if (port) *port = ntohs(sa.sin_port);
  return inet_ntoa(sa.sin_addr);
}

const char *socket_gethostname() noexcept {
  if (gethostname(hostBuffer, sizeof hostBuffer) != 0) hostBuffer[0] = '\0';
  hostBuffer[sizeof hostBuffer - 1] = '\0';
  return hostBuffer;
}

const char *socket_gethostaddr() noexcept {
  socket_gethostname();
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) {
    SOCK_TRC(LUMO_TRC_W, LUMO_TRC_CODE, "getifaddrs errno=%d", errno);
    return hostBuffer;
  }
  for (ifaddrs *entry = list; entry; entry = entry->ifa_next) {
    // Only IPv4 entries are candidates; the others carry addresses of other sizes.
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    char address[64];  // a numeric IPv4 address needs 16
    int rc = getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), address, sizeof address, nullptr, 0,
                         NI_NUMERICHOST);
    if (rc != 0) {
      SOCK_TRC(LUMO_TRC_W, LUMO_TRC_CODE, "getnameinfo() failed: %s", gai_strerror(rc));
      break;
    }
    SOCK_TRC(LUMO_TRC_q, LUMO_TRC_CODE, "%s -> %s", lumo::orEmpty(entry->ifa_name), address);
    if (std::strncmp(address, "127.", 4) != 0) {
      std::snprintf(hostBuffer, sizeof hostBuffer, "%s", address);
      break;
    }
  }
  freeifaddrs(list);
  return hostBuffer;
}

char *socket_gethostbyaddr(const char *address, char *buffer, int size) noexcept {
  if (!buffer || size <= 0) return buffer;
  buffer[0] = '\0';
  in_addr parsed;
  if (!address || inet_aton(address, &parsed) == 0) return buffer;
  sockaddr_in sa = ipv4(parsed.s_addr, 0);
  if (getnameinfo(reinterpret_cast<const sockaddr *>(&sa), sizeof sa, buffer,
                  static_cast<socklen_t>(size), nullptr, 0, 0) != 0)
    buffer[0] = '\0';
  return buffer;
}

// The stream gets a descriptor of its own: the caller closes the stream, the socket closes its
// descriptor, in either order, and neither close can hit a descriptor that the platform has
// meanwhile given to someone else.
FILE *socket_getStream(LumoSocket *sock) noexcept {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d) return nullptr;
  errno = 0;
  int fd = fcntl(fdOf(d), F_DUPFD_CLOEXEC, 1);
  FILE *stream = fd < 0 ? nullptr : fdopen(fd, "w+");
  if (!stream) {
    d->rc = errno;
    if (fd >= 0) close(fd);
    SOCK_TERRNO(LUMO_TRC_E, LUMO_TRC_CODE, d->rc, "Error getting stream for socket.");
  }
  return stream;
}

char *socket_getMAC(const char *interfaceName) noexcept { return lumo_socket_mac(interfaceName); }

// The exported functions.

int lumo_socket_connect(LumoSocket *sock) {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d) return 0;
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "lumo_socket_connect: BEGIN");
  if (d->sh == 0) socket_create(d);
  if (!resolveHost(d, d->host)) return 0;
  sockaddr_in sa = ipv4(hostaddrOf(d), d->port);
  if (connect(fdOf(d), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
    d->rc = errno;
    SOCK_TERRNO(LUMO_TRC_E, kCodeConnect, d->rc, "connect(%s:%d) failed", lumo::orEmpty(d->host),
                d->port);
    d->connected = false;
    return 0;
  }
  d->connected = true;
  d->broken = false;
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "socket connected.");
  if (d->ssl) {
    SOCK_TRC(LUMO_TRC_E, LUMO_TRC_CODE,
             "SSL requested but not supported! Compile with __OPENSSL__ defined.");
    return 0;
  }
  return 1;
}

int lumo_socket_bind(LumoSocket *sock) {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d) return 0;
  if (d->binded) {
    SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "already binded");
    return 1;
  }
  // After disConnect and resetSocket the socket has no descriptor: bind a new one, as connect
  // does, rather than fail on a descriptor that is gone.
  if (d->sh == 0) socket_create(d);
  int fd = fdOf(d);
  sockaddr_in sa = ipv4(d->udp ? htonl(INADDR_ANY) : hostaddrOf(d), d->port);
  if (d->multicast || d->reuse) {
    SOCK_TRC(LUMO_TRC_q, LUMO_TRC_CODE, "allow all processes to use port %d...", d->port);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  }
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "bind...");
  int rc = bind(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
  int error = errno;
  if (rc == 0 && d->udp && d->multicast) {
    SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "Allow broadcasting...");
    int loop = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
      d->rc = errno;
      SOCK_TRC(LUMO_TRC_E, LUMO_TRC_CODE, "setsockopt(%s) failed", "IP_MULTICAST_LOOP");
      d->binded = false;
      return 0;
    }
    SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "Join the broadcast group...");
    in_addr_t group = d->host ? inet_addr(d->host) : INADDR_NONE;
    if (group == INADDR_NONE) {
      SOCK_TRC(LUMO_TRC_E, LUMO_TRC_CODE, "%s id no multicast address!", lumo::orEmpty(d->host));
      d->binded = false;
      return 0;
    }
    ip_mreq request;
    std::memset(&request, 0, sizeof request);
    request.imr_multiaddr.s_addr = group;
    request.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
      d->rc = errno;
      SOCK_TRC(LUMO_TRC_E, LUMO_TRC_CODE, "setsockopt(%s) failed", "IP_ADD_MEMBERSHIP");
      d->binded = false;
      return 0;
    }
  }
  if (rc != 0) {
    d->rc = error;
    SOCK_TRC(LUMO_TRC_E, LUMO_TRC_CODE, "bind() failed on port %d", d->port);
    d->binded = false;
    return 0;
  }
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "socket binded.");
  d->binded = true;
  return 1;
}

int lumo_socket_listen(LumoSocket *sock) {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d) return 0;
  if (d->listening) return 1;
  if (listen(fdOf(d), kListenBacklog) != 0) {
    d->rc = errno;
    SOCK_TRC(LUMO_TRC_E, LUMO_TRC_CODE, "listen() failed");
    d->listening = false;
    return 0;
  }
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "socket listening.");
  d->listening = true;
  return 1;
}

int lumo_socket_accept(LumoSocket *sock) {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d) return -1;
  // No listen after a failed bind: the platform would listen on a port of its own choosing.
  if (lumo_socket_bind(sock)) lumo_socket_listen(sock);
  if (!d->binded || !d->listening) {
    SOCK_TRC(LUMO_TRC_W, LUMO_TRC_CODE, "server socket not ready.");
    return -1;
  }
  errno = 0;
  int fd = avoidZero(accept4(fdOf(d), nullptr, nullptr, SOCK_CLOEXEC));
  int error = errno;
  if (fd < 0) {
    d->rc = error;
    SOCK_TRC(LUMO_TRC_E, LUMO_TRC_CODE, "accept() failed");
    return fd;
  }
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "accept serversh=%d sh=%d errno=%d", d->sh, fd, error);
  return fd;
}

int lumo_socket_close(LumoSocket *sock) {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d) return 0;
  if (d->udp && d->multicast && d->sh > 0) leaveGroup(d);
  if (close(fdOf(d)) != 0) {
    d->rc = errno;
    // The platform releases the number even when close reports an error: closing it again
    // later would close whatever it was given to next.
    if (d->sh > 0) d->sh = 0;
    SOCK_TERRNO(LUMO_TRC_E, kCodeClose, d->rc, "close() failed");
    return 0;
  }
  d->connected = false;
  d->sh = 0;
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "socket closed.");
  return 1;
}

namespace {

// Waits at most ms milliseconds for room in the send buffer of fd; true when it has room (or an
// error to report) before then.
bool waitForRoom(int fd, int ms) {
  timespec deadline = lumo::deadlineAfter(ms);
  for (;;) {
    pollfd p{fd, POLLOUT, 0};
    int n = poll(&p, 1, static_cast<int>(lumo::msUntil(deadline)));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) {
      lumo_thread_sleep(static_cast<int>(lumo::msUntil(deadline)));
      return false;
    }
  }
}

}  // namespace

int lumo_socket_write(LumoSocket *sock, const void *data, int length) {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d) return 0;
  const char *bytes = static_cast<const char *>(data);
  d->sent = 0;
  int total = 0, retries = 0;
  ssize_t last = 0;
  // A socket that reported room and still refused the bytes is waited out in plain steps.
  bool wakeOnRoom = true, woken = false;
  while (length > 0 && total < length && !d->broken && retries <= kMaxRetries) {
    int error = 0;
    if (!d->ssl && d->sh != 0) {
      errno = 0;
      // No SIGPIPE: a peer that is gone is reported as broken pipe like any other error.
      last = send(fdOf(d), bytes + total, static_cast<size_t>(length - total), MSG_NOSIGNAL);
      error = errno;
    }
    if (last == 0) {
      SOCK_TRC(LUMO_TRC_W, LUMO_TRC_CODE, "cannot write to socket sh=%d errno=%d...", d->sh, error);
      if (d->sh != 0) lumo_socket_close(sock);
      d->broken = true;
      return 0;
    }
    if (last < 0 && error == EAGAIN) {
      ++retries;
      if (woken) wakeOnRoom = false;
      woken = wakeOnRoom ? waitForRoom(fdOf(d), kRetrySleepMs) : false;
      if (!wakeOnRoom) lumo_thread_sleep(kRetrySleepMs);
      if (retries > kMaxRetries)
        SOCK_TRC(LUMO_TRC_W, LUMO_TRC_CODE, "socket blocks sh=%d errno=%d...", d->sh, error);
    } else if (last < 0) {
      d->rc = error;
      lumo_socket_close(sock);
      if (!d->ssl) SOCK_TERRNO(LUMO_TRC_E, kCodeSend, error, "send() failed");
      if (error == EPIPE || error == ECONNRESET) {
        d->broken = true;
        SOCK_TRC(LUMO_TRC_E, LUMO_TRC_CODE, "Connection broken!");
      }
      return 0;
    } else {
      total += static_cast<int>(last);
      woken = false;
    }
  }
  d->sent = total;
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "%d bytes written to socket.", total);
  return total == length;
}

int lumo_socket_readpeek(LumoSocket *sock, void *buffer, int length, int peek) {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d) return 0;
  if (length < 0) {
    // Nothing would be read, and the loop below would call that success.
    d->received = 0;
    d->rc = EINVAL;
    SOCK_TERRNO(LUMO_TRC_E, kCodeRecv, d->rc, "recv() failed");
    return 0;
  }
  char *bytes = static_cast<char *>(buffer);
  d->received = 0;
  int total = 0;
  while (total < length) {
    ssize_t result = 0;
    errno = 0;
    if (d->sh != 0 && (!d->ssl || peek))
      result = recv(fdOf(d), bytes + total, static_cast<size_t>(length - total),
                    peek ? MSG_PEEK | MSG_DONTWAIT : 0);
    int error = errno;
    if (result == 0) {
      d->rc = error;
      d->broken = true;
      SOCK_TRC(LUMO_TRC_I, LUMO_TRC_CODE, "Other side has closed connection.");
      SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "errno=%d, read=%d", error, static_cast<int>(result));
      return 0;
    }
    if (peek) {
      d->peeked = static_cast<int>(result);
      if (result != -1 || error == 0 || error == EAGAIN || error == EINTR) return result >= length;
      d->rc = error;
      d->broken = true;
      SOCK_TRC(LUMO_TRC_I, LUMO_TRC_CODE, "Socket 0x%08X error %d", static_cast<unsigned>(d->sh),
               error);
      return 0;
    }
    if (result < 0) {
      d->rc = error;
      if (error == ESHUTDOWN || error == EPIPE || error == ENOTSOCK || error == ETIMEDOUT ||
          error == ECONNRESET) {
        SOCK_TERRNO(LUMO_TRC_W, kCodeRecv, error, "closing socket...");
        if (error == ECONNRESET) d->broken = true;
        lumo_socket_close(sock);
      }
      if (!d->ssl)
        SOCK_TERRNO(error == EAGAIN ? LUMO_TRC_D : LUMO_TRC_E, kCodeRecv, error, "recv() failed");
      return 0;
    }
    total += static_cast<int>(result);
  }
  d->received = total;
  if (total > 1) SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "%d bytes read from socket.", total);
  return 1;
}

int lumo_socket_read(LumoSocket *sock, void *buffer, int length) {
  return lumo_socket_readpeek(sock, buffer, length, 0);
}

int lumo_socket_peek(LumoSocket *sock, void *buffer, int length) {
  return lumo_socket_readpeek(sock, buffer, length, 1);
}

int lumo_socket_recvfrom(LumoSocket *sock, void *buffer, int size, char *address, int *port) {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d) return 0;
  char peekBuffer[kPeekDatagramSize];
  sockaddr_in from;
  std::memset(&from, 0, sizeof from);
  socklen_t fromLength = sizeof from;
  ssize_t result = -1;
  errno = 0;
  if (buffer && size < 0)
    errno = EINVAL;  // the platform would take the size as unbounded
  else if (buffer)
    result = recvfrom(fdOf(d), buffer, static_cast<size_t>(size), 0,
                      reinterpret_cast<sockaddr *>(&from), &fromLength);
  else
    result = recvfrom(fdOf(d), peekBuffer, sizeof peekBuffer, MSG_PEEK,
                      reinterpret_cast<sockaddr *>(&from), &fromLength);
  d->rc = errno;
  if (result < 0) {
    if (d->rc != EAGAIN) SOCK_TERRNO(LUMO_TRC_q, LUMO_TRC_CODE, d->rc, "could not read UDP");
    return 0;
  }
  if (address && port) {
    std::strcpy(address, inet_ntoa(from.sin_addr));
    *port = ntohs(from.sin_port);
    SOCK_TRC(LUMO_TRC_B, LUMO_TRC_CODE, "%d bytes read from %s:%d", static_cast<int>(result),
             address, *port);
  }
  return static_cast<int>(result);
}

int lumo_socket_sendto(LumoSocket *sock, const void *data, int length, const char *host, int port) {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d) return 0;
  if (!resolveHost(d, host ? host : d->host)) return 0;
  sockaddr_in sa = ipv4(hostaddrOf(d), port > 0 ? port : d->port);
  ssize_t result = -1;
  errno = 0;
  if (length < 0)
    errno = EINVAL;  // the platform would take the length as unbounded
  else
    result = sendto(fdOf(d), data, static_cast<size_t>(length), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
  d->rc = errno;
  if (result < 0) {
    SOCK_TERRNO(LUMO_TRC_E, LUMO_TRC_CODE, d->rc, "sendto() failed");
    return 0;
  }
  return 1;
}

int lumo_socket_istimedout(LumoSocket *sock) {
  const LumoSocketData *d = sock ? static_cast<const LumoSocketData *>(sock->data) : nullptr;
  return d && (d->rc == EAGAIN || d->rc == ETIMEDOUT);
}

const char *lumo_socket_getPeername(LumoSocket *sock, int *port) {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d) return "";
  sockaddr_in sa;
  socklen_t length = sizeof sa;
  if (getpeername(fdOf(d), reinterpret_cast<sockaddr *>(&sa), &length) != 0) {
    d->rc = errno;
    SOCK_TERRNO(LUMO_TRC_E, LUMO_TRC_CODE, d->rc, "getsockpeer() failed");
    return "";
  }
  const char *text = inet_ntoa(sa.sin_addr);
  if (port) *port = ntohs(sa.sin_port);
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "getsockpeer() :%s", text);
  return text;
}

int lumo_socket_setBlocking(LumoSocket *sock, int blocking) {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d) return 0;
  int flags = fcntl(fdOf(d), F_GETFL, 0);
  if (flags < 0 ||
      fcntl(fdOf(d), F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) != 0) {
    d->rc = errno;
    return 0;
  }
  return 1;
}

void lumo_socket_localip(LumoSocket *sock, const char *address) {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d) return;
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE,
           "Set the interface over which outgoing multicast datagrams are sent...");
  in_addr local;
  local.s_addr = inet_addr(lumo::orEmpty(address));
  if (setsockopt(fdOf(d), IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local) != 0) {
    d->rc = errno;
    SOCK_TERRNO(LUMO_TRC_E, kCodeSocket, d->rc, "setsockopt(%s) failed", "IP_MULTICAST_IF");
  }
}

const char *lumo_socket_getip(const char *host) {
  in_addr address;
  if (!host || !lookupIPv4(host, &address.s_addr)) return nullptr;
  return inet_ntoa(address);
}

char *lumo_socket_mac(const char *interfaceName) {
  const char *name = interfaceName ? interfaceName : "eth0";
  ifreq request;
  std::memset(&request, 0, sizeof request);
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", name);
  int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int rc = probe < 0 ? probe : ioctl(probe, SIOCGIFHWADDR, &request);
  int error = errno;
  if (probe >= 0) close(probe);
  if (rc != 0) {
    SOCK_TRC(LUMO_TRC_W, LUMO_TRC_CODE, "lumo_socket_mac( %s ): rc = %d, errno = %d", name, rc,
             error);
    return str_dup("0000000000000000");
  }
  const unsigned char *b = reinterpret_cast<const unsigned char *>(request.ifr_hwaddr.sa_data);
  char text[17];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X%02X%02X", b[0], b[1], b[2], b[3], b[4],
                b[5], b[6], b[7]);
  SOCK_TRC(LUMO_TRC_D, LUMO_TRC_CODE, "lumo_socket_mac( %s ): [%s]", name, text);
  return str_dup(text);
}

int lumo_socket_CreateCTX(void) { return 0; }

int lumo_socket_LoadCerts(void) { return 0; }

int lumo_socket_setKeepalive(LumoSocket *sock, int flag) {
  static const Option o{
      SOL_SOCKET, SO_KEEPALIVE, "SO_KEEPALIVE", LUMO_TRC_CODE, "lumo_socket_setKeepalive() OK.",
      false};
  return setIntOption(sock, o, flag, __LINE__);
}

int lumo_socket_setBroadcast(LumoSocket *sock, int flag) {
  static const Option o{
      SOL_SOCKET, SO_BROADCAST, "SO_BROADCAST", LUMO_TRC_CODE, "lumo_socket_setBroadcast() OK.",
      false};
  return setIntOption(sock, o, flag, __LINE__);
}

int lumo_socket_setNodelay(LumoSocket *sock, int flag) {
  static const Option o{
      IPPROTO_TCP, TCP_NODELAY, "TCP_NODELAY", LUMO_TRC_CODE, "lumo_socket_setNodelay() OK.",
      false};
  return setIntOption(sock, o, flag, __LINE__, true);
}

int lumo_socket_setMulticastLoop(LumoSocket *sock, int flag) {
  static const Option o{IPPROTO_IP,    IP_MULTICAST_LOOP, "IP_MULTICAST_LOOP",
                        LUMO_TRC_CODE, nullptr,           false};
  return setIntOption(sock, o, flag != 0 ? 1 : 0, __LINE__);
}

int lumo_socket_setUsrTimeout(LumoSocket *sock, int milliseconds) {
  static const Option o{IPPROTO_TCP,
                        TCP_USER_TIMEOUT,
                        "TCP_USER_TIMEOUT",
                        kCodeUsrTimeout,
                        "lumo_socket_setUsrTimeout() OK.",
                        true};
  return setIntOption(sock, o, milliseconds, __LINE__);
}

int lumo_socket_setSndTimeout(LumoSocket *sock, int seconds) {
  static const Option o{
      SOL_SOCKET, SO_SNDTIMEO, "SO_SNDTIMEO", kCodeSndTimeout, "lumo_socket_setSndTimeout() OK.",
      true};
  return setTimeOption(sock, o, seconds, __LINE__);
}

int lumo_socket_setRcvTimeout(LumoSocket *sock, int seconds) {
  static const Option o{
      SOL_SOCKET, SO_RCVTIMEO, "SO_RCVTIMEO", LUMO_TRC_CODE, "lumo_socket_setRcvTimeout() OK.",
      true};
  return setTimeOption(sock, o, seconds, __LINE__);
}

int lumo_socket_setUDPNoCheck(LumoSocket *sock, int) {
  LumoSocketData *d = socket_data(sock, __LINE__);
  if (!d || !d->udp) return 0;
  int one = 1;
  int rc = setsockopt(fdOf(d), SOL_SOCKET, SO_NO_CHECK, &one, sizeof one);
  SOCK_TRC(LUMO_TRC_I, LUMO_TRC_CODE, "set UDP no checksum, rc=%d", rc);
  return rc == 0;
}
