// lumo: operating-system layer of the system services: time of day, sleeping, privileges,
// machine halt, file access and the device and port stubs of this platform.
#include <lumo/system.h>
#include <lumo/trace.h>

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../str.hpp"
#include "../system.hpp"

namespace {

constexpr const char *kObject = "OSystem";
constexpr std::size_t kShutdownSize = 256;

// A sleep of us microseconds as the nanosecond sleep wants it: the nanosecond field must stay
// below one second.
struct timespec sleepTime(int us) {
  if (us < 0) us = 0;
  struct timespec t;
  t.tv_sec = static_cast<time_t>(us / 1000000);
  t.tv_nsec = static_cast<long>(us % 1000000) * 1000L;
  return t;
}

// Appends text to buffer at *used; false when it (and the terminator) would not fit.
bool put(char *buffer, std::size_t size, std::size_t *used, const char *text) {
  std::size_t n = std::strlen(text);
  if (*used + n >= size) return false;
  std::memcpy(buffer + *used, text, n + 1);
  *used += n;
  return true;
}

}  // namespace

int lumo_system_getMillis(void) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int>(tv.tv_usec / 1000);
}

int lumo_system_getTime(int *hours, int *minutes, int *seconds) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  time_t now = tv.tv_sec;
  struct tm tm;
  if (localtime_r(&now, &tm)) {
    if (hours) *hours = tm.tm_hour;
    if (minutes) *minutes = tm.tm_min;
    if (seconds) *seconds = tm.tm_sec;
  }
  return static_cast<int>(tv.tv_usec / 1000);
}

int lumo_system_uBusyWait(int us) {
  struct timespec left = sleepTime(us);
  struct timespec rest;
  while (nanosleep(&left, &rest) != 0) {
    if (errno != EINTR) return 0;
    left = rest;
  }
  return 1;
}

int lumo_system_usWait(int us) {
  struct timespec t = sleepTime(us);
  return nanosleep(&t, nullptr) == 0;
}

int lumo_system_setadmin(void) {
  int rc = setuid(0);
  (void)rc;  // only the resulting user id counts
  return getuid() == 0;
}

bool lumo::system_shutdownCommand(char *buffer, std::size_t size, const char *password) noexcept {
  if (!buffer || size == 0) return false;
  std::memset(buffer, 0, size);
  // The password goes between single quotes, where the shell takes every byte literally; an
  // embedded quote closes the quoted part, adds an escaped quote and opens a new one.
  std::size_t used = 0;
  bool ok = put(buffer, size, &used, "echo '");
  for (const char *p = lumo::orEmpty(password); ok && *p; ++p) {
    char one[2] = {*p, '\0'};
    ok = put(buffer, size, &used, *p == '\'' ? "'\\''" : one);
  }
  ok = ok && put(buffer, size, &used, "' | sudo -S halt -p");
  if (!ok) std::memset(buffer, 0, size);
  return ok;
}

int lumo_system_shutdown(const char *password) {
  char command[kShutdownSize];
  if (!lumo::system_shutdownCommand(command, sizeof command, password)) {
    TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                "Shutdown command does not fit into %d bytes.", static_cast<int>(kShutdownSize));
    return -1;
  }
  return system_exec(command);
}

int lumo_system_accessDev(const char *path, int readOnly) {
  if (!path) return 0;
  return access(path, readOnly ? R_OK : R_OK | W_OK) == 0;
}

int lumo_system_accessPort(int) { return 0; }
int lumo_system_availDevice(int) { return 0; }
int lumo_system_openDevice(const char *) { return 0; }
int lumo_system_readDevice(int, char *, int) { return 0; }
int lumo_system_readPort(int) { return 0; }
int lumo_system_releasePort(int) { return 0; }
int lumo_system_writeDevice(int, const char *, int) { return 0; }
int lumo_system_writePort(int, int) { return 0; }

const char *lumo_system_getWSName(void) {
  TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE, "lumo_system_* NOT IMPLEMENTED");
  return "";
}

const char *lumo_system_getUserName(void) {
  TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE, "lumo_system_* NOT IMPLEMENTED");
  return "";
}

char *lumo_system_getURL(const char *path) { return str_dup(path); }

int system_processId() noexcept { return static_cast<int>(getpid()); }
