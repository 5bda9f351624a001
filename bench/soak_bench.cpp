// The soak: the control against qelsim on a pseudo-terminal, with seeded
// random faults on the replies and a seeded mix of register reads and
// writes, status reads, module identification, page reads and writes and
// Qup NOOPs. qelsim records what it did to every reply (--record); each
// call's outcome is checked against the records of its attempts:
//   - a clean reply gives true and the value the device sent;
//   - a faulted one gives false with a code that fits the fault, or true
//     after a retry (or on a reply the fault left usable);
//   - no write is lost: every read the device answers gives the value of
//     the last write it took, and a write that returned true was taken with
//     its value; at the end every register is read back.
// Bytes of a late or split reply reach the next attempt's window and may be
// taken there for a reply to the same request: that call may carry any code
// of its kind, or the value of the earlier reply. They would reach the next
// calls too, at random, which the records cannot tell apart; so after such a
// call the soak lets them arrive before it goes on, and the next send
// discards them. A clean reply of which the host got nothing within its
// attempt (qelsim descheduled on a busy machine) is judged as late and
// counted in the figures: a handful in a long run is the machine, many
// would be the control missing replies.
//
// Prints exchanges per second, every mismatch, peak and final RSS, open file
// descriptors, and per kind of call the longest call against its bound (its
// attempts' reply windows plus a margin). Exits 1 on a mismatch.
//
//   qelcomm_soak_bench [--exchanges N] [--seconds S] [--fault-rate P] [--seed N]
//                      [--retries R] [--qelsim PATH]
#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/child_process.h"
#include "qelcomm/QelCommCtrl.h"
#include "soak_record.h"

namespace {

using namespace qelcomm::bench;
using Clock = std::chrono::steady_clock;

struct Settings {
  uint64_t exchanges = 10'000;
  double seconds = 0;  // > 0: stop after this long instead
  double fault_rate = 0.02;
  uint64_t seed = 1;
  int retries = 3;
  std::string qelsim = QELCOMM_QELSIM_PATH;
};

constexpr int kAddresses[] = {1, 2};         // a standard and a big motor
constexpr int kRegisters[] = {43, 49, 65, 356};  // 16- and 32-bit, one extended
constexpr int kModule = 1;
constexpr int kPages = 4;
constexpr uint64_t kWindowMs = 100;
// How long the last bytes of a late (150 ms) or split (120 ms) reply may take.
constexpr std::chrono::milliseconds kLingerMs{200};

// What one call returned, in the record's terms.
struct Outcome {
  bool ok = false;
  uint32_t code = 0;
  std::vector<int64_t> values;
  int sent = 0;
  double ms = 0;
};

// One call's request, and the reply record kind it draws.
struct Call {
  Call(Op o, const char* r, int a, int n, int32_t v = 0, std::vector<uint8_t> data = {})
      : op(o), request(r), address(a), number(n), value(v), page_data(std::move(data)) {}
  Op op;
  const char* request;
  int address;
  int number;
  int32_t value;                   // a write's
  std::vector<uint8_t> page_data;  // a page write's
};

const char* OpName(Op op) {
  static const char* kNames[] = {"read", "write", "status", "identify", "page-get", "page-put", "qup"};
  return kNames[static_cast<int>(op)];
}

// Reply windows one attempt may take: the status reply is read in eight
// pieces with a window each, a page reply's wait stretches by twice its wire
// time, the module's accepts get a second wait within one more window.
double AttemptBoundMs(Op op) {
  switch (op) {
    case Op::kStatus: return 8 * kWindowMs;
    case Op::kPageGet: return kWindowMs + 2 * 23;  // 265 bytes at 115200 bit/s, twice
    case Op::kPagePut: return 2 * kWindowMs;
    default: return kWindowMs;
  }
}
double BoundMs(Op op, int sent) { return sent * (AttemptBoundMs(op) + 5) + 50; }

long StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == field) return (in >> value) ? value : 0;
    in.ignore(1 << 12, '\n');
  }
  return 0;
}

int OpenFds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n - 1;  // the directory's own
}

// The raw register value as the control gives it back, by catalogue type.
int64_t Shaped(int64_t raw, int16_t type) {
  switch (type) {
    case 1: return static_cast<int16_t>(raw);
    case 2: return static_cast<int32_t>(raw);
    default: return static_cast<uint16_t>(raw);
  }
}

class Soak {
 public:
  Soak(uint64_t seed, qelcomm::CQelCommCtrl& ctrl, RecordPipe& records)
      : ctrl_(ctrl), records_(records), rng_(seed) {
    ctrl_.SetTrace([this](const qelcomm::TraceEvent& e) {
      if (e.direction == qelcomm::TraceEvent::Direction::Sent) {
        ++sent_;
        heard_.push_back(0);
        if (heard_.size() > 64) heard_.pop_front();
      } else if (!heard_.empty()) {
        heard_.back() += e.size;
      }
      static const char* kDirections[] = {"sent", "received", "discarded"};
      char line[1024];
      int n = std::snprintf(line, sizeof line, "%llu %s", static_cast<unsigned long long>(e.time_ms),
                            kDirections[static_cast<int>(e.direction)]);
      for (size_t i = 0; i < e.size && n < 1000; ++i) {
        n += std::snprintf(line + n, sizeof line - size_t(n), " %02X", e.data[i]);
      }
      trace_.emplace_back(line);
      if (trace_.size() > 12) trace_.pop_front();
    });
  }

  Call Pick() {
    const int address = kAddresses[rng_() % 2];
    const int reg = kRegisters[rng_() % 4];
    const auto r = rng_() % 100;
    if (r < 35) return {Op::kRead, "read", address, reg};
    if (r < 60) return {Op::kWrite, "write", address, reg, RandomValue(address, reg)};
    if (r < 70) return {Op::kStatus, "status", address, 0};
    if (r < 78) return {Op::kIdentify, "identify", kModule, 0};
    if (r < 86) return {Op::kQup, "qup", kModule, 0};
    const int page = static_cast<int>(rng_() % kPages);
    if (r < 94) return {Op::kPageGet, "page-read", kModule, page};
    std::vector<uint8_t> data(128);
    for (auto& b : data) b = static_cast<uint8_t>(rng_());
    return {Op::kPagePut, "page-write", kModule, page, 0, data};
  }

  Outcome Run(const Call& c) {
    Outcome o;
    const int sent_before = sent_;
    const auto start = Clock::now();
    const auto a = static_cast<int16_t>(c.address);
    const auto n = static_cast<int16_t>(c.number);
    int32_t v = 0;
    int16_t x = 0, y = 0;
    std::vector<uint8_t> page;
    switch (c.op) {
      case Op::kRead:
        o.ok = ctrl_.ReadParameter(a, n, v);
        o.values = {v};
        break;
      case Op::kWrite:
        o.ok = ctrl_.WriteParameter(a, n, c.value);
        break;
      case Op::kStatus:
        o.ok = ctrl_.ReadStatus(a, x, v, y);
        o.values = {static_cast<uint16_t>(x), v, y};
        break;
      case Op::kIdentify:
        o.ok = ctrl_.GetModuleType(a, x, y);
        o.values = {x, y};
        break;
      case Op::kQup:
        o.ok = ctrl_.QupNOOP(a, x);
        o.values = {static_cast<uint16_t>(x)};
        break;
      case Op::kPageGet:
        o.ok = ctrl_.VemoGet(a, n, page);
        o.values = {std::accumulate(page.begin(), page.end(), int64_t{0})};
        break;
      case Op::kPagePut:
        o.ok = ctrl_.VemoPut(a, n, c.page_data);
        break;
    }
    o.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    o.code = static_cast<uint32_t>(ctrl_.GetLastError());
    o.sent = sent_ - sent_before;
    return o;
  }

  // Runs one call and judges it; false on a mismatch.
  bool Step(uint64_t index) {
    const Call call = Pick();
    const Outcome o = Run(call);
    std::vector<Record> mine = RecordsOf(o);
    MarkMissedWindows(mine);
    ++exchanges_;
    telegrams_ += static_cast<uint64_t>(o.sent);
    auto& longest = longest_.try_emplace(call.op, 0.0, 1.0).first->second;
    const double bound = BoundMs(call.op, o.sent);
    if (o.ms / bound > longest.first / longest.second) longest = {o.ms, bound};
    overruns_ += o.ms > bound;
    std::string why = static_cast<int>(mine.size()) != o.sent
                          ? "a request without its record"
                          : Judge(call, o, mine);
    const std::string tracked = Track(call, o, mine);
    if (why.empty()) why = tracked;
    if (!why.empty()) Report(index, call, o, mine, why);
    if (std::any_of(mine.begin(), mine.end(), [](const Record& x) { return x.Lingers(); })) {
      std::this_thread::sleep_for(kLingerMs);
    }
    return why.empty();
  }

  // Reads every register back until it answers, and compares it with the
  // last write it took.
  bool VerifyWrites() {
    bool all = true;
    for (const auto& [key, value] : model_) {
      if (key.second > 512) continue;  // pages, not registers
      Outcome o;
      const Call call{Op::kRead, "read", key.first, key.second};
      for (int i = 0; i < 20 && !o.ok; ++i) o = Run(call);
      const std::vector<Record> mine = RecordsOf(o);
      const int16_t type = ctrl_.GetParameterType(static_cast<int16_t>(key.first),
                                                  static_cast<int16_t>(key.second));
      if (!o.ok || o.values[0] != Shaped(value, type)) {
        Report(exchanges_, call, o, mine, "the register does not hold the last write it took");
        all = false;
      }
    }
    return all;
  }

  uint64_t exchanges() const { return exchanges_; }
  uint64_t telegrams() const { return telegrams_; }
  uint64_t mismatches() const { return mismatches_; }
  uint64_t overruns() const { return overruns_; }
  uint64_t missed_windows() const { return missed_windows_; }
  const std::map<Op, std::pair<double, double>>& longest() const { return longest_; }

 private:
  // A clean reply of which nothing reached the host within its attempt was
  // held up on this machine (qelsim or the terminal not scheduled in time):
  // to the control it was late, and it is judged so, and counted.
  void MarkMissedWindows(std::vector<Record>& mine) {
    const size_t n = mine.size();
    if (n > heard_.size()) return;
    for (size_t i = 0; i < n; ++i) {
      if (mine[i].Clean() && heard_[heard_.size() - n + i] == 0) {
        mine[i].fault = "late";
        ++missed_windows_;
      }
    }
  }

  // The records of a call's attempts, one per request sent.
  std::vector<Record> RecordsOf(const Outcome& o) {
    std::vector<Record> mine;
    Record r;
    while (static_cast<int>(mine.size()) < o.sent && records_.Next(r, 2000)) mine.push_back(r);
    return mine;
  }

  int32_t RandomValue(int address, int reg) {
    const int16_t type = ctrl_.GetParameterType(static_cast<int16_t>(address), static_cast<int16_t>(reg));
    const auto raw = static_cast<uint32_t>(rng_());
    return static_cast<int32_t>(Shaped(raw, type));
  }

  // The outcome against the records of the call's attempts.
  std::string Judge(const Call& c, const Outcome& o, const std::vector<Record>& mine) {
    for (const Record& r : mine) {
      if (r.request != c.request || r.address != c.address || r.number != c.number) {
        return "a record of another request: " + r.request;
      }
    }
    // Bytes that may still arrive from an earlier attempt's reply.
    bool lingering = false;
    for (size_t i = 0; i + 1 < mine.size(); ++i) {
      lingering |= mine[i].Lingers();
      if (mine[i].Clean() && !lingering) return "a clean reply was not taken";
    }
    const Record& last = mine.back();
    const FaultEffect effect = EffectOf(c.op, last.fault);
    if (o.ok) {
      if (Matches(c, o, last) && effect.may_succeed) return {};
      if (lingering && AnyEarlierMatches(c, o, mine)) return {};
      return effect.may_succeed ? "true, but not with the device's value" : "true on a faulted reply";
    }
    if (last.Clean() && !lingering) return "false on a clean reply";
    if (lingering || effect.codes.count(o.code) != 0) return {};
    if (effect.keep && (o.code == 0 || EarlierCode(c.op, mine, o.code))) return {};
    return "a code that does not fit the fault";
  }

  static bool EarlierCode(Op op, const std::vector<Record>& mine, uint32_t code) {
    for (size_t i = 0; i + 1 < mine.size(); ++i) {
      if (EffectOf(op, mine[i].fault).codes.count(code) != 0) return true;
    }
    return false;
  }

  bool AnyEarlierMatches(const Call& c, const Outcome& o, const std::vector<Record>& mine) const {
    auto same = [&](const Record& r) {
      return r.request == c.request && r.address == c.address && r.number == c.number && Matches(c, o, r);
    };
    return std::any_of(mine.begin(), mine.end(), same);
  }

  // Whether the values the call gave back are the ones in the record.
  bool Matches(const Call& c, const Outcome& o, const Record& r) const {
    switch (c.op) {
      case Op::kRead: {
        const int16_t type = ctrl_.GetParameterType(static_cast<int16_t>(c.address), static_cast<int16_t>(c.number));
        return !r.values.empty() && o.values[0] == Shaped(r.values[0], type);
      }
      case Op::kWrite:
      case Op::kPagePut:
        return true;
      default:
        return o.values == r.values;
    }
  }

  // Follows what the device holds, from every record: a write it took sets
  // the register, and every read reply must show the value so set.
  std::string Track(const Call& c, const Outcome& o, const std::vector<Record>& mine) {
    for (const Record& r : mine) {
      if (r.values.empty()) continue;
      const bool page = c.op == Op::kPageGet || c.op == Op::kPagePut;
      const std::pair<int, int> key{r.address, page ? 1000 + r.number : r.number};
      if (c.op == Op::kWrite || c.op == Op::kPagePut) {
        model_[key] = r.values[0];
      } else if ((c.op == Op::kRead || c.op == Op::kPageGet) && model_.count(key) != 0 &&
                 model_[key] != r.values[0]) {
        return "the device lost a write: it holds " + std::to_string(r.values[0]) + ", not " +
               std::to_string(model_[key]);
      }
    }
    if (c.op == Op::kWrite && o.ok) {
      const int16_t type = ctrl_.GetParameterType(static_cast<int16_t>(c.address), static_cast<int16_t>(c.number));
      if (Shaped(mine.back().values.at(0), type) != c.value) return "a write returned true but was not taken";
    }
    return {};
  }

  void Report(uint64_t index, const Call& c, const Outcome& o, const std::vector<Record>& mine,
              const std::string& why) {
    if (++mismatches_ > 50) return;
    std::printf("MISMATCH at exchange %llu: %s %d/%d -> %s, code 0x%08X, %d sends, %.1f ms: %s\n",
                static_cast<unsigned long long>(index), OpName(c.op), c.address, c.number,
                o.ok ? "true" : "false", o.code, o.sent, o.ms, why.c_str());
    for (const Record& r : mine) {
      std::printf("    record %llu %s %d %d %s\n", static_cast<unsigned long long>(r.seq),
                  r.request.c_str(), r.address, r.number, r.fault.c_str());
    }
    for (const std::string& line : trace_) std::printf("    trace %s\n", line.c_str());
  }

  qelcomm::CQelCommCtrl& ctrl_;
  RecordPipe& records_;
  std::mt19937_64 rng_;
  int sent_ = 0;
  std::deque<size_t> heard_;  // bytes received or discarded after each of the last sends
  uint64_t missed_windows_ = 0;
  uint64_t exchanges_ = 0;
  uint64_t telegrams_ = 0;
  uint64_t mismatches_ = 0;
  uint64_t overruns_ = 0;
  std::deque<std::string> trace_;  // the last few blocks on the line, for a mismatch's report
  std::map<std::pair<int, int>, int64_t> model_;  // (address, register or 1000 + page)
  std::map<Op, std::pair<double, double>> longest_;  // ms and its bound
};

bool ParseArgs(int argc, char** argv, Settings& s) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const char* v = argv[i + 1];
    if (a == "--exchanges") s.exchanges = std::strtoull(v, nullptr, 10);
    else if (a == "--seconds") s.seconds = std::atof(v);
    else if (a == "--fault-rate") s.fault_rate = std::atof(v);
    else if (a == "--seed") s.seed = std::strtoull(v, nullptr, 10);
    else if (a == "--retries") s.retries = std::atoi(v);
    else if (a == "--qelsim") s.qelsim = v;
    else return false;
  }
  return argc % 2 == 1;
}

void PrintFigures(const Soak& soak, double secs, long rss_warm, long fds_warm, long rss_max) {
  std::printf("soak: %llu exchanges (%llu telegrams) in %.1f s, %.0f exchanges/s; %llu mismatches\n",
              static_cast<unsigned long long>(soak.exchanges()),
              static_cast<unsigned long long>(soak.telegrams()), secs, double(soak.exchanges()) / secs,
              static_cast<unsigned long long>(soak.mismatches()));
  std::printf("soak: RSS %ld KiB after warm-up, %ld KiB most after warm-up, %ld KiB final, %ld KiB peak\n",
              rss_warm, rss_max, StatusKiB("VmRSS:"), StatusKiB("VmHWM:"));
  std::printf("soak: open fds %ld after warm-up, %d final\n", fds_warm, OpenFds());
  for (const auto& [op, longest] : soak.longest()) {
    std::printf("soak: longest %-8s call %7.1f ms, bound %7.1f ms, ratio %.3f\n", OpName(op),
                longest.first, longest.second, longest.first / longest.second);
  }
  std::printf("soak: %llu calls past their bound; %llu clean replies missed their window on this machine\n",
              static_cast<unsigned long long>(soak.overruns()),
              static_cast<unsigned long long>(soak.missed_windows()));
}

// SIGINT or SIGTERM ends the run early, with its figures, and stops qelsim.
volatile std::sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  if (!ParseArgs(argc, argv, s)) {
    std::fprintf(stderr, "usage: qelcomm_soak_bench [--exchanges N] [--seconds S] [--fault-rate P] "
                         "[--seed N] [--retries R] [--qelsim PATH]\n");
    return 2;
  }
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return 1;
  fcntl(pipe_fds[0], F_SETFD, FD_CLOEXEC);
  const qelcomm::testing::ChildProcess sim({s.qelsim, "--seed", std::to_string(s.seed),
                                            "--fault-rate", std::to_string(s.fault_rate),
                                            "--record", "/dev/fd/3"},
                                           true, pipe_fds[1]);
  close(pipe_fds[1]);
  if (sim.first_line().empty()) {
    std::fprintf(stderr, "qelsim (%s) printed no device\n", s.qelsim.c_str());
    return 1;
  }
  qelcomm::CQelCommCtrl ctrl;
  ctrl.SetPortName(sim.first_line());
  ctrl.SetBaud(115200);
  ctrl.SetRetries(static_cast<int16_t>(s.retries));
  if (!ctrl.OpenPort()) {
    std::fprintf(stderr, "open failed: %s\n", ctrl.GetLastErrorStr(0).c_str());
    return 1;
  }
  RecordPipe records(pipe_fds[0]);
  Soak soak(s.seed, ctrl, records);
  const uint64_t warm_up = s.seconds > 0 ? 1000 : std::max<uint64_t>(1000, s.exchanges / 50);
  long rss_warm = 0, fds_warm = 0, rss_max = 0;
  const auto start = Clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  std::signal(SIGINT, OnStop);
  std::signal(SIGTERM, OnStop);
  for (uint64_t i = 0; g_stop == 0 && (s.seconds > 0 ? elapsed() < s.seconds : i < s.exchanges); ++i) {
    soak.Step(i);
    if (i + 1 == warm_up) rss_warm = StatusKiB("VmRSS:"), fds_warm = OpenFds();
    if (i >= warm_up && i % 1000 == 0) rss_max = std::max(rss_max, StatusKiB("VmRSS:"));
  }
  const double secs = elapsed();
  soak.VerifyWrites();
  PrintFigures(soak, secs, rss_warm, fds_warm, rss_max);
  return soak.mismatches() == 0 ? 0 : 1;
}
