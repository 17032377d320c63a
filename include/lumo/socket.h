/* lumo: IPv4 sockets (TCP client and server, UDP unicast, broadcast and multicast) and host
 * utilities (name resolution, local host name and address, reverse look-up, hardware address).
 *
 * A socket object wraps one descriptor and remembers its peer host and port, its role flags, its
 * connection state, the byte counts of the last transfer, a broken flag (the other side is gone)
 * and the last platform error (getRc). Descriptor 0 means "no socket": a closed socket transfers
 * nothing and never touches descriptor 0. A socket is used by one thread at a time; the module
 * takes no locks. The caller owns what inst and acceptSocket return and releases it with del,
 * which closes the descriptor. Descriptors are close-on-exec: shell commands started by the
 * library do not inherit them. Failures answer false, null or 0 and are traced as "OSocket".
 *
 * Static storage of the calling thread, overwritten by its next call: the texts returned by
 * gethostname, gethostaddr, getip, getPeername and getsockname. toString returns the socket's
 * own host text (never freed by the caller). getMAC returns a new string of the string module
 * (free it with StrOp.freeStr). SSL is not available: a socket created with the SSL flag cannot
 * transfer data. */
#ifndef LUMO_SOCKET_H
#define LUMO_SOCKET_H

#include <stdio.h>

#include <lumo/object.h>

LUMO_EXTERN_C_BEGIN

typedef struct LumoSocket LumoSocket;

/* Own operations in table order. Two departures from byte-wise order are part of the layout:
 * getip sits before getMAC, and one empty slot (a null pointer) follows setKeepalive.
 *
 * inst(host, port, ssl, udp, multicast, reuse): copies host and opens the descriptor (a failed
 *   creation is traced; the object is returned all the same). instSSLserver(port): host
 *   "localhost", SSL flag set.
 * connect: blocking; opens a new descriptor first when the socket has none. With the SSL flag it
 *   answers false after connecting (the connection stays open).
 * bind: a TCP socket binds to the last resolved address (the any address until connect or
 *   sendto resolved one), a UDP socket to the any address; a multicast socket joins the group
 *   named by host, which must be a dotted address. Opens a descriptor first when the socket has
 *   none (after disConnect and resetSocket). A second bind answers true without binding.
 * acceptSocket: binds and listens when needed, then waits for one client; the new socket has no
 *   host and carries the server's port.
 * write: sends all length bytes; a full send buffer is waited out in steps of at most 10 ms
 *   (a step ends once there is room), at most 100 times, and then answers false with the socket
 *   still open. read: receives exactly length
 *   bytes (false on time-out, close or error). peek: looks at waiting bytes without waiting;
 *   true when at least length bytes wait, getPeeked tells how many (-1 when none).
 * readln(buffer, size): one line of at most size - 1 bytes, the line feed kept, terminated.
 * readStr(buffer): reads until a zero byte arrives, with no bound: a peer that sends a long text
 *   overruns the buffer. Use readln where the peer is not fully trusted.
 * readcSocket: one byte as 0..255, 0 when the read fails. writecSocket: one byte.
 * fmt: printf-style into a 4096-byte buffer, then write; longer output is cut to 4095 bytes.
 * recvfrom(buffer, size, address, port): one datagram of at most size bytes; without a buffer the
 *   datagram is only peeked (at most 256 bytes). address (at least 16 bytes) and port receive the
 *   sender when both are given. Answers the datagram length, 0 on failure.
 * sendto(data, length, host, port): one datagram to host (the socket's host when null) and port
 *   (the socket's port when port is 0 or less).
 * getPeername/getsockname: dotted address, port stored through port when not null; the empty
 *   text on failure (port unchanged).
 * getStream: a new stream (mode "w+") on a duplicate of the descriptor; the caller closes it.
 *   The connection ends once both the stream and the socket are closed, in either order.
 * gethostbyaddr(address, buffer, size): the name of a dotted address (numeric form when it has
 *   none), written with at most size bytes; the empty text when the look-up fails.
 * getMAC(interface or null for "eth0"): 16 hexadecimal digits, "0000000000000000" on failure.
 * Options answer true on success; setUDPNoCheck works on UDP sockets only and always switches
 * the checksum off (its argument is not used); time-outs are in whole seconds, setUsrTimeout in
 * milliseconds. setLocalIP: the interface (dotted address) for outgoing multicast. */
#define LUMO_SOCKET_OPS(X, E, C)                                                           \
  X(C, LumoSocket *, acceptSocket, (LumoSocket * self))                                    \
  X(C, int, bind, (LumoSocket * self))                                                     \
  X(C, int, connect, (LumoSocket * self))                                                  \
  X(C, int, disConnect, (LumoSocket * self))                                               \
  X(C, int, fmt, (LumoSocket * self, const char *format, ...))                             \
  X(C, const char *, getip, (const char *host))                                            \
  X(C, char *, getMAC, (const char *interfaceName))                                        \
  X(C, int, getPeeked, (LumoSocket * self))                                                \
  X(C, const char *, getPeername, (LumoSocket * self, int *port))                          \
  X(C, int, getRc, (LumoSocket * self))                                                    \
  X(C, int, getReceived, (LumoSocket * self))                                              \
  X(C, int, getSended, (LumoSocket * self))                                                \
  X(C, FILE *, getStream, (LumoSocket * self))                                             \
  X(C, const char *, gethostaddr, (void))                                                  \
  X(C, char *, gethostbyaddr, (const char *address, char *buffer, int size))               \
  X(C, const char *, gethostname, (void))                                                  \
  X(C, const char *, getsockname, (LumoSocket * self, int *port))                          \
  X(C, LumoSocket *, inst,                                                                 \
    (const char *host, int port, int ssl, int udp, int multicast, int reuse))              \
  X(C, LumoSocket *, instSSLserver, (int port))                                            \
  X(C, int, isBroken, (LumoSocket * self))                                                 \
  X(C, int, isConnected, (LumoSocket * self))                                              \
  X(C, int, isOpenSSL, (void))                                                             \
  X(C, int, isTimedOut, (LumoSocket * self))                                               \
  X(C, int, peek, (LumoSocket * self, void *buffer, int length))                           \
  X(C, int, read, (LumoSocket * self, void *buffer, int length))                           \
  X(C, char *, readStr, (LumoSocket * self, char *buffer))                                 \
  X(C, int, readcSocket, (LumoSocket * self))                                              \
  X(C, char *, readln, (LumoSocket * self, char *buffer, int size))                        \
  X(C, int, recvfrom, (LumoSocket * self, void *buffer, int size, char *address, int *port)) \
  X(C, void, resetSocket, (LumoSocket * self))                                             \
  X(C, int, sendto, (LumoSocket * self, const void *data, int length, const char *host,    \
                     int port))                                                            \
  X(C, int, setBlocking, (LumoSocket * self, int blocking))                                \
  X(C, int, setBroadcast, (LumoSocket * self, int flag))                                   \
  X(C, int, setKeepalive, (LumoSocket * self, int flag))                                   \
  E(C, reserved)                                                                           \
  X(C, void, setLocalIP, (LumoSocket * self, const char *address))                         \
  X(C, int, setMulticastLoop, (LumoSocket * self, int flag))                               \
  X(C, int, setNodelay, (LumoSocket * self, int flag))                                     \
  X(C, int, setRcvTimeout, (LumoSocket * self, int seconds))                               \
  X(C, int, setSndTimeout, (LumoSocket * self, int seconds))                               \
  X(C, int, setUDPNoCheck, (LumoSocket * self, int flag))                                  \
  X(C, int, setUsrTimeout, (LumoSocket * self, int milliseconds))                          \
  X(C, int, write, (LumoSocket * self, const void *data, int length))                      \
  X(C, int, writecSocket, (LumoSocket * self, int c))

/* The empty slot: always a null pointer. */
#define LUMO_SOCKET_EMPTY_FIELD(ctx, name) void (*name)(void);

struct LumoSocket {
  LUMO_BASE_SLOTS(LumoSocket)
  LUMO_SOCKET_OPS(LUMO_SLOT_FIELD, LUMO_SOCKET_EMPTY_FIELD, _)
};

LUMO_API extern const LumoSocket SocketOp;

/* Operating-system layer. The functions that share a slot's name are the very functions in that
 * slot (connect, bind, write, read, peek, recvfrom, sendto, getPeername, setBlocking, getip and
 * the options; istimedout is isTimedOut, mac is getMAC, localip is setLocalIP, close is
 * disConnect). */
LUMO_API int lumo_socket_connect(LumoSocket *sock);
LUMO_API int lumo_socket_bind(LumoSocket *sock);
/* Listens with a backlog of 4096; true at once when already listening. */
LUMO_API int lumo_socket_listen(LumoSocket *sock);
/* Binds and listens when needed and accepts one client: its descriptor, negative on failure. */
LUMO_API int lumo_socket_accept(LumoSocket *sock);
/* Leaves the multicast group (multicast UDP sockets), closes the descriptor, clears connected. */
LUMO_API int lumo_socket_close(LumoSocket *sock);
LUMO_API int lumo_socket_write(LumoSocket *sock, const void *data, int length);
LUMO_API int lumo_socket_read(LumoSocket *sock, void *buffer, int length);
LUMO_API int lumo_socket_peek(LumoSocket *sock, void *buffer, int length);
/* read (peek 0) or peek (peek non-zero). */
LUMO_API int lumo_socket_readpeek(LumoSocket *sock, void *buffer, int length, int peek);
LUMO_API int lumo_socket_recvfrom(LumoSocket *sock, void *buffer, int size, char *address,
                                  int *port);
LUMO_API int lumo_socket_sendto(LumoSocket *sock, const void *data, int length, const char *host,
                                int port);
/* True when the last platform error was "would block" (11) or "timed out" (110). */
LUMO_API int lumo_socket_istimedout(LumoSocket *sock);
LUMO_API const char *lumo_socket_getPeername(LumoSocket *sock, int *port);
LUMO_API int lumo_socket_setBlocking(LumoSocket *sock, int blocking);
LUMO_API void lumo_socket_localip(LumoSocket *sock, const char *address);
LUMO_API const char *lumo_socket_getip(const char *host);
LUMO_API char *lumo_socket_mac(const char *interfaceName);
/* SSL is not available: both answer 0. */
LUMO_API int lumo_socket_CreateCTX(void);
LUMO_API int lumo_socket_LoadCerts(void);
LUMO_API int lumo_socket_setKeepalive(LumoSocket *sock, int flag);
LUMO_API int lumo_socket_setBroadcast(LumoSocket *sock, int flag);
LUMO_API int lumo_socket_setNodelay(LumoSocket *sock, int flag);
LUMO_API int lumo_socket_setMulticastLoop(LumoSocket *sock, int flag);
LUMO_API int lumo_socket_setUsrTimeout(LumoSocket *sock, int milliseconds);
LUMO_API int lumo_socket_setSndTimeout(LumoSocket *sock, int seconds);
LUMO_API int lumo_socket_setRcvTimeout(LumoSocket *sock, int seconds);
LUMO_API int lumo_socket_setUDPNoCheck(LumoSocket *sock, int flag);

LUMO_EXTERN_C_END

#endif
