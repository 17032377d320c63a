// qivhub: process entry: prepares the process (statistics, unbuffered output, a copy of the
// arguments, signal handlers, core-file limit) and runs the hub's Main.
#include <lumo/mem.h>
#include <lumo/str.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "options.hpp"
#include "qivhub.h"

namespace {

LumoQIVhub *mQIVhub = nullptr;
int m_argc = 0;
char **m_argv = nullptr;

// Only async-signal-safe calls below: the handler's lines are written with write(2).
void writeOut(const char *text) {
  size_t left = std::strlen(text);
  while (left > 0) {
    ssize_t n = write(STDOUT_FILENO, text, left);
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

// One line of the handler, built on the stack and written with a single write(2): the console
// is shared with every thread that traces, and a line written piecewise comes out torn.
class Line {
 public:
  Line &add(const char *text) {
    while (*text && len_ < sizeof text_ - 1) text_[len_++] = *text++;
    return *this;
  }
  Line &number(int value) {
    char digits[16];
    int pos = static_cast<int>(sizeof digits) - 1;
    digits[pos] = '\0';
    unsigned v = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
      digits[--pos] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0 && pos > 1);
    if (value < 0) digits[--pos] = '-';
    return add(digits + pos);
  }
  void write() {
    text_[len_] = '\0';
    writeOut(text_);
  }

 private:
  char text_[128];
  size_t len_ = 0;
};

const char *signalText(int sig) {
  switch (sig) {
    case SIGINT: return "Interrupt.";
    case SIGILL: return "Illegal instruction - invalid function image.";
    case SIGABRT: return "Abnormal termination triggered by abort call.";
    case SIGFPE: return "Floating point exception.";
    case SIGKILL: return "Software termination.";
    case SIGSEGV: return "Segment violation.";
    case SIGTERM: return "Software termination signal from kill.";
    default: return "";
  }
}

// A fault raised by the CPU cannot be returned from (the faulting instruction would run again),
// so such SIGFPE/SIGILL/SIGBUS end the process the way SIGSEGV does.
bool endsProcess(int sig, const siginfo_t *info) {
  if (sig == SIGSEGV) return true;
  bool fault = sig == SIGFPE || sig == SIGILL || sig == SIGBUS;
  return fault && info != nullptr && info->si_code > 0;
}

void signalHandler(int sig, siginfo_t *info, void *) {
  if (sig == SIGPIPE) return;
  Line().add("__signalHandler: ").number(sig).add(" ").add(signalText(sig)).add("\n").write();
  writeOut("__signalHandler: shutdown...\n");
  if (endsProcess(sig, info)) {
    writeOut("__signalHandler: Reactivate default handling...\n");
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    writeOut("__signalHandler: Raise signal...\n");
    raise(sig);
  } else {
    QIVhubOp.shutdown();
  }
  writeOut("__signalHandler: exit...\n");
}

void installSignalHandlers() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = signalHandler;
  sa.sa_flags = SA_SIGINFO;  // no SA_RESTART: a blocked console read must return
  sigemptyset(&sa.sa_mask);
  const int handled[] = {SIGTERM, SIGINT, SIGABRT, SIGFPE, SIGILL, SIGSEGV, SIGKILL};
  for (int sig : handled) sigaction(sig, &sa, nullptr);  // SIGKILL is refused by the system
  struct sigaction ign;
  std::memset(&ign, 0, sizeof ign);
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  sigaction(SIGPIPE, &ign, nullptr);
  // A trace file at the process's file-size limit must fail its write, which the trace reports
  // once and survives, rather than end the hub with a core file.
  sigaction(SIGXFSZ, &ign, nullptr);
}

void raiseCoreLimit() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_CORE, &rl) != 0) return;
  rl.rlim_cur = 0x40000000;
  setrlimit(RLIMIT_CORE, &rl);  // a lower hard limit refuses this; that is accepted
}

}  // namespace

int main(int argc, char **argv) {
  // Asking for the usage or the version starts nothing: no statistics, no trace, no plug-in.
  if (qivhub::answerInfoOptions(argc, argv)) return 0;
  std::printf("Resets memory statistics.\n");
  MemOp.resetDump();
  std::printf("disable stdout buffering.\n");
  std::fflush(stdout);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::printf("make copy of arguments.\n");
  m_argc = argc;
  m_argv = static_cast<char **>(
      MemOp.alloc(static_cast<int>(sizeof(char *)) * argc, "qivhub/impl/main", __LINE__));
  for (int i = 0; m_argv && i < argc; ++i) m_argv[i] = StrOp.dup(argv[i]);
  std::printf("Initialize the signal handler.\n");
  installSignalHandlers();
  raiseCoreLimit();
  std::printf("Initialize the QIVhub...\n");
  mQIVhub = QIVhubOp.inst(nullptr);
  if (!mQIVhub) return 1;
  return mQIVhub->Main(mQIVhub, argc, argv);
}
