// lumo: operating-system layer of the thread module (POSIX threads).
#include <lumo/thread.h>

#include <pthread.h>
#include <unistd.h>

#include <type_traits>

static_assert(std::is_same<pthread_t, LumoThreadId>::value,
              "LumoThreadId carries pthread_t at its full width");

void lumo_thread_sleep(int ms) {
  if (ms < 0) ms = 0;
  if (ms >= 1000) {
    sleep(static_cast<unsigned>(ms / 1000));
    ms %= 1000;
  }
  usleep(static_cast<useconds_t>(ms) * 1000u);
}

void lumo_thread_usleep(int us) { usleep(static_cast<useconds_t>(us < 0 ? 0 : us)); }

LumoThreadId lumo_thread_id(void) { return pthread_self(); }
