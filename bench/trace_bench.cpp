// bench: the trace writing ~90-character records into rotating files (100 KB x 10 files, console
// echo off) from 1 and 4 threads, against spdlog's synchronous rotating file sink. A run counts
// until every record is in the files: for the trace, until a closing record shows up in a file
// (the writer thread writes in queue order); for spdlog, until its flush returns.
//
//   trace_bench [google benchmark flags] [--extra=FILE]
// With --extra, the records lost to a full queue in a burst larger than the queue and the
// highest steady rate that loses none are measured as well and written to FILE as JSON.
#include <benchmark/benchmark.h>

#include <lumo/trace.h>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kBurst = 8000;  // below the trace queue's capacity of 10000
constexpr int kFiles = 10;
constexpr int kFileBytes = 100 * 1024;
constexpr const char *kBase = "lumo";

LumoTrace *gTrace = nullptr;
std::atomic<long> gRejected{0};
long gSentinel = 0;

// The queue's warning for a refused post reaches the listener (it is not queued itself).
int listener(int, const char *text, int, const char *object) {
  if (object && std::strcmp(object, "OQueue") == 0 && text && std::strstr(text, "Post rejected"))
    gRejected.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

// A 40-character message: with the record's 50 characters of head a record of 90.
inline void lumoRecord(int writer, long i) {
  TraceOp.trc("OBench", LUMO_TRC_I, 42, LUMO_TRC_CODE, "record %07ld of writer %d, value %06ld", i,
              writer, (i * 7919) % 1000000);
}

bool tailHas(const char *path, const char *needle) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return false;
  char buf[1024];
  off_t size = lseek(fd, 0, SEEK_END);
  off_t from = size > static_cast<off_t>(sizeof buf - 1) ? size - (sizeof buf - 1) : 0;
  ssize_t n = pread(fd, buf, sizeof buf - 1, from);
  close(fd);
  if (n <= 0) return false;
  buf[n] = '\0';
  return std::strstr(buf, needle) != nullptr;
}

// Writes a closing record and waits until the writer thread has put it into one of the files:
// every record queued before it is then there too.
// A closing record refused by a full queue is written again until one gets through.
void waitUntilWritten() {
  for (;;) {
    char needle[64];
    std::snprintf(needle, sizeof needle, "closing record %ld.", ++gSentinel);
    long rejected = gRejected.load();
    TraceOp.trc("OBench", LUMO_TRC_I, 42, LUMO_TRC_CODE, "%s", needle);
    bool refused = gRejected.load() != rejected;
    if (refused) gRejected.fetch_sub(1);  // the closing record is no record of the run
    for (int polls = 0; !refused; ++polls) {
      for (int f = 0; f < kFiles; ++f) {
        char path[64];
        std::snprintf(path, sizeof path, "%s.%03d.trc", kBase, f);
        if (tailHas(path, needle)) return;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      if (polls > 50000) {
        std::fprintf(stderr, "trace_bench: %s never reached the files\n", needle);
        std::exit(1);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// n records spread over threads writers, as fast as they go; then until all are in the files.
void lumoBurst(int threads, long n) {
  std::vector<std::thread> ws;
  for (int t = 0; t < threads; ++t)
    ws.emplace_back([t, threads, n] {
      for (long i = t; i < n; i += threads) lumoRecord(t + 1, i);
    });
  for (auto &w : ws) w.join();
  waitUntilWritten();
}

void BM_Trace_lumo(benchmark::State &state) {
  int threads = static_cast<int>(state.range(0));
  long lostBefore = gRejected.load();
  for (auto _ : state) lumoBurst(threads, kBurst);
  state.SetItemsProcessed(state.iterations() * kBurst);
  state.counters["lost"] = static_cast<double>(gRejected.load() - lostBefore);
}

std::shared_ptr<spdlog::logger> spdLogger() {
  static std::shared_ptr<spdlog::logger> logger = [] {
    // max_files counts the rotated files besides the one being written: 10 files in all.
    auto l = spdlog::rotating_logger_mt("OBench", "spdlog.trc", kFileBytes, kFiles - 1);
    l->set_pattern("%Y%m%d.%H%M%S.%e w9999%L %-8t %-8n 0042 %v");
    l->set_level(spdlog::level::info);
    return l;
  }();
  return logger;
}

void BM_Trace_spdlog(benchmark::State &state) {
  int threads = static_cast<int>(state.range(0));
  auto logger = spdLogger();
  for (auto _ : state) {
    std::vector<std::thread> ws;
    for (int t = 0; t < threads; ++t)
      ws.emplace_back([t, threads, &logger] {
        for (long i = t; i < kBurst; i += threads)
          logger->info("record {:07d} of writer {}, value {:06d}", i, t + 1, (i * 7919) % 1000000);
      });
    for (auto &w : ws) w.join();
    logger->flush();
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
}

BENCHMARK(BM_Trace_lumo)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Trace_spdlog)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- losses: a burst larger than the queue, and steady rates ----

long lostInBurst(int threads, long n) {
  long before = gRejected.load();
  lumoBurst(threads, n);
  return gRejected.load() - before;
}

// rate records per second in all, spread over the threads, for the given time; records lost.
long lostAtRate(int threads, double rate, double seconds) {
  long before = gRejected.load();
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now() + std::chrono::milliseconds(2);
  long total = static_cast<long>(rate * seconds);
  std::vector<std::thread> ws;
  for (int t = 0; t < threads; ++t)
    ws.emplace_back([=] {
      double perThread = rate / threads;
      long mine = 0;
      for (long i = t; i < total; i += threads, ++mine) {
        auto due = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(mine / perThread));
        if (Clock::now() < due) std::this_thread::sleep_until(due);
        lumoRecord(t + 1, i);
      }
    });
  for (auto &w : ws) w.join();
  waitUntilWritten();
  return gRejected.load() - before;
}

// The highest rate (records per second) of a doubling series, refined by bisection, that
// loses no record over half a second.
double highestLosslessRate(int threads) {
  double ok = 0, bad = 0;
  for (double rate = 25000; rate <= 3.2e6; rate *= 2) {
    if (lostAtRate(threads, rate, 0.5) == 0) {
      ok = rate;
    } else {
      bad = rate;
      break;
    }
  }
  if (bad == 0) return ok;
  for (int step = 0; step < 4; ++step) {
    double mid = (ok + bad) / 2;
    if (lostAtRate(threads, mid, 0.5) == 0)
      ok = mid;
    else
      bad = mid;
  }
  return ok;
}

void writeExtra(const char *path) {
  FILE *out = std::fopen(path, "w");
  if (!out) return;
  std::fprintf(out, "{\n");
  const long big = 50000;
  for (int threads : {1, 4}) {
    long lostBig = lostInBurst(threads, big);
    long lostSmall = lostInBurst(threads, kBurst);
    double rate = highestLosslessRate(threads);
    std::fprintf(out,
                 "  \"threads%d\": {\"burst\": %ld, \"lost\": %ld, \"small_burst\": %d, "
                 "\"small_lost\": %ld, \"lossless_rate\": %.0f}%s\n",
                 threads, big, lostBig, kBurst, lostSmall, rate, threads == 1 ? "," : "");
  }
  std::fprintf(out, "}\n");
  std::fclose(out);
}

}  // namespace

int main(int argc, char **argv) {
  const char *extra = nullptr;
  std::vector<char *> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--extra=", 8) == 0)
      extra = argv[i] + 8;
    else
      args.push_back(argv[i]);
  }
  int n = static_cast<int>(args.size());
  // The trace files of both libraries land in a directory of their own.
  char dir[] = "/tmp/lumo-trace-bench-XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0) {
    std::perror("trace_bench: temporary directory");
    return 1;
  }
  gTrace = TraceOp.inst(LUMO_TRC_E | LUMO_TRC_I | LUMO_TRC_W, kBase, 0);
  TraceOp.setExceptionListener(gTrace, listener, 0);
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  if (extra) writeExtra(extra);
  benchmark::Shutdown();
  spdlog::shutdown();
  std::string cleanup = std::string("rm -rf ") + dir;
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "trace_bench: %s left\n", dir);
  return 0;
}
