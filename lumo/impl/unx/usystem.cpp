// lumo: operating-system layer of the system services.
#include <lumo/system.h>

#include <sys/time.h>

int lumo_system_getMillis(void) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int>(tv.tv_usec / 1000);
}
