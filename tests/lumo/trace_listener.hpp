// Test support: a default trace without console echo whose listener keeps every record it
// hears, so tests can assert on the exact message, level, code and object of what was traced.
#ifndef LUMO_TESTS_TRACE_LISTENER_HPP
#define LUMO_TESTS_TRACE_LISTENER_HPP

#include <lumo/trace.h>

#include <mutex>
#include <string>
#include <vector>

struct HeardRecord {
  int level;
  std::string text;
  int code;
  std::string object;
};

class TraceListener {
 public:
  TraceListener() {
    trace_ = TraceOp.inst(0, nullptr, 0);
    TraceOp.set(trace_);
    clear();
    TraceOp.setExceptionListener(trace_, &TraceListener::listen, 0);
  }
  ~TraceListener() {
    TraceOp.setExceptionListener(trace_, nullptr, 0);
    TraceOp.set(trace_);
    TraceOp.del(trace_);
  }
  TraceListener(const TraceListener &) = delete;
  TraceListener &operator=(const TraceListener &) = delete;

  static std::vector<HeardRecord> heard() {
    std::lock_guard<std::mutex> guard(lock());
    return records();
  }
  static void clear() {
    std::lock_guard<std::mutex> guard(lock());
    records().clear();
  }

 private:
  static int listen(int level, const char *text, int code, const char *object) {
    std::lock_guard<std::mutex> guard(lock());
    records().push_back({level, text ? text : "", code, object ? object : ""});
    return 0;
  }
  static std::mutex &lock() {
    static std::mutex m;
    return m;
  }
  static std::vector<HeardRecord> &records() {
    static std::vector<HeardRecord> r;
    return r;
  }
  LumoTrace *trace_;
};

#endif
