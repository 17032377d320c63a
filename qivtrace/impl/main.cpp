// qivtrace: reads the rotating trace files of a trace base name and prints their records in
// time order, filtered, and with -f follows them as the trace writes on.
#include <lumo/thread.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "merge.hpp"
#include "options.hpp"
#include "tracefiles.hpp"

namespace {

constexpr int kPollMs = 250;

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

// The poll's sleep resumes after a signal: the flag is seen within one poll period.
void installSignals() {
  std::signal(SIGINT, requestStop);
  std::signal(SIGTERM, requestStop);
  // A reader that went away (qivtrace | head) shows as a failed write.
  std::signal(SIGPIPE, SIG_IGN);
}

enum class Out { kOk, kClosed, kFailed };
int writeError = 0;

Out writeGroups(const std::vector<qivtrace::Group> &groups) {
  errno = 0;
  for (const qivtrace::Group &group : groups) {
    if (std::ferror(stdout)) break;
    std::fwrite(group.text.data(), 1, group.text.size(), stdout);
    // A last line without its line end is shown as it stands, on a line of its own.
    if (group.text.back() != '\n') std::fputc('\n', stdout);
  }
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return Out::kOk;
  writeError = errno;
  return writeError == EPIPE ? Out::kClosed : Out::kFailed;
}

// Reads what is new, puts it in time order and prints it. False when the base has no files.
bool printNew(qivtrace::TraceFiles &files, const qivtrace::Options &options, Out *out) {
  std::vector<qivtrace::Chunk> chunks;
  bool any = files.poll(options.follow, &chunks);
  std::vector<std::vector<qivtrace::Group>> groups;
  for (const qivtrace::Chunk &chunk : chunks) {
    qivtrace::FileState &state = files.state(chunk.file);
    if (chunk.reset) state = qivtrace::FileState();
    if (chunk.text.empty()) continue;
    groups.emplace_back();
    qivtrace::groupLines(chunk.text, options.filter, state, &groups.back());
  }
  *out = writeGroups(qivtrace::mergeGroups(std::move(groups)));
  return any;
}

}  // namespace

int main(int argc, char **argv) {
  qivtrace::Options options;
  std::string error;
  switch (qivtrace::parseOptions(argc, argv, &options, &error)) {
    case qivtrace::Parsed::kHelp:
      std::fputs(qivtrace::usageText(), stdout);
      return 0;
    case qivtrace::Parsed::kError:
      std::fprintf(stderr, "qivtrace: %s\n%s", error.c_str(), qivtrace::usageText());
      return 2;
    case qivtrace::Parsed::kRun:
      break;
  }
  installSignals();
  qivtrace::TraceFiles files(options.directory, options.base);
  Out out = Out::kOk;
  bool any = printNew(files, options, &out);
  if (!any && !options.follow) {
    std::fprintf(stderr, "qivtrace: no trace files %s.NNN.trc in %s\n", options.base.c_str(),
                 options.directory.c_str());
    return 1;
  }
  while (options.follow && out == Out::kOk && !stopRequested) {
    lumo_thread_sleep(kPollMs);
    if (!stopRequested) printNew(files, options, &out);
  }
  if (out == Out::kFailed) {
    std::fprintf(stderr, "qivtrace: write error: %s\n", std::strerror(writeError));
    return 1;
  }
  return 0;
}
