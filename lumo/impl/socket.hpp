// lumo: the socket's data record, shared by the object layer and the operating-system layer,
// and the socket functions used directly inside the library.
#ifndef LUMO_IMPL_SOCKET_HPP
#define LUMO_IMPL_SOCKET_HPP

#include <lumo/socket.h>

#include <cstdio>

// Plain fields: a socket object is used by one thread at a time.
struct LumoSocketData {
  char *host = nullptr;  // owned, under the socket allocation type; may be null
  int port = 0;          // peer port, or the local port of a server
  int sh = 0;            // descriptor; 0 none (closed), negative after a failed creation
  int received = 0;
  int peeked = 0;
  int sent = 0;
  int rc = 0;
  // Owned 4-byte buffer, the last resolved IPv4 address in network byte order (0: any).
  unsigned char *hostaddr = nullptr;
  bool binded = false;
  bool listening = false;
  bool connected = false;
  bool ssl = false;
  bool broken = false;
  bool udp = false;
  bool multicast = false;
  bool reuse = false;
};

// Object name and default code of the module's records.
constexpr const char *kSocketObject = "OSocket";

// The data record of a socket; null (traced at E as not initialised) for a null socket or record.
LumoSocketData *socket_data(LumoSocket *sock, int line) noexcept;

// Creation of the descriptor (and of hostaddr when missing), as inst and connect need it; the
// outcome is in sh and rc. Returns true when a descriptor was opened.
bool socket_create(LumoSocketData *d) noexcept;
// A zeroed hostaddr of its own for a record that has none; false when out of memory.
bool socket_allocHostaddr(LumoSocketData *d) noexcept;
// Releases hostaddr.
void socket_freeHostaddr(LumoSocketData *d) noexcept;
// Closes a descriptor that no socket object holds yet.
void socket_closeFd(int fd) noexcept;

// The host utilities and queries that need the platform's socket headers.
const char *socket_getsockname(LumoSocket *sock, int *port) noexcept;
const char *socket_gethostname() noexcept;
const char *socket_gethostaddr() noexcept;
char *socket_gethostbyaddr(const char *address, char *buffer, int size) noexcept;
FILE *socket_getStream(LumoSocket *sock) noexcept;

// The hardware address of an interface, as getMAC; the system module builds identifiers from it.
// A new string of the string module.
char *socket_getMAC(const char *interfaceName) noexcept;

#endif
