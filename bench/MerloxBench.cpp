// The library's performance figures against the simulated driver, each printed
// beside its goal: per-operation overhead over the same raw DeviceIoControl, heap
// allocations and driver requests per operation, scaling over threads and cards,
// the latency of an abort, and the cost of a discovery that finds nothing new.
//
//   merlox_bench [Google Benchmark flags]   timings, then the summary table
//   merlox_bench --instructions             the measured loops only, marked for
//                                           valgrind's callgrind (see scripts/bench.sh)
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "MedianCallTime.h"
#include "merlox.h"
#include "platform/HostConfig.h"
#include "registry/CoreExports.h"
#include "SimDriver.h"
#include "SimHostSeam.h"
#include "SimServer.h"
#include "SimSystem.h"

// ---- Heap allocations --------------------------------------------------------
// Every operator new in the process is counted; the figures take the difference
// across a measured loop.
namespace {
std::atomic<uint64_t> g_allocations{0};

void* CountedAllocate(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* CountedAllocate(size_t size, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* CountedAlignedAllocate(size_t size, std::align_val_t align) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  const size_t alignment = static_cast<size_t>(align);
  const size_t rounded = (std::max<size_t>(size, 1) + alignment - 1) / alignment * alignment;
  if (void* p = std::aligned_alloc(alignment, rounded)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t size) { return CountedAllocate(size); }
void* operator new[](size_t size) { return CountedAllocate(size); }
void* operator new(size_t size, const std::nothrow_t& tag) noexcept {
  return CountedAllocate(size, tag);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return CountedAllocate(size, tag);
}
void* operator new(size_t size, std::align_val_t align) {
  return CountedAlignedAllocate(size, align);
}
void* operator new[](size_t size, std::align_val_t align) {
  return CountedAlignedAllocate(size, align);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }

namespace merlox::bench {
namespace {

using Clock = std::chrono::steady_clock;

sim::Driver& driver() { return sim::Driver::Instance(); }

constexpr uint8_t kBulkPipe = 0x81;  // the card's data IN pipe, which nothing else reads
constexpr uint32_t kBulkSize = 64;
constexpr uint32_t kVendorReadSize = 64;
// The card's input-status record, read without handing over the latched changes.
constexpr uint8_t kVendorReadRequest = 0x10;
constexpr uint32_t kVendorReadValue = 0;
constexpr uint32_t kVendorReadIndex = 0;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "merlox_bench: %s\n", what.c_str());
  std::exit(2);
}

void Check(uint32_t status, const char* what) {
  if (status != 0) Fail(std::string(what) + " failed with status " + std::to_string(status));
}

// The simulator's instance numbers of the cards in slots 0, 1, ...
std::vector<int> g_cards;

// A fresh library over `cards` simulated cards, all open.
void StartCards(int cards) {
  MERLOX_CloseAll();
  host::WaitForThreadsToEnd(10000);
  LeaveLibrary();
  driver().Reset();
  sim::System::Instance().Reset();
  host::ResetHost();
  g_cards.clear();
  for (int i = 0; i < cards; ++i) g_cards.push_back(driver().Plug({0x8080, 0x0001, ""}));
  if (GetNumCards() != static_cast<uint32_t>(cards)) Fail("the simulated cards did not open");
}

// ---- The measured operations -------------------------------------------------

struct Operation {
  const char* name;
  // Sends the operation to card 0; the status must be 0.
  std::function<uint32_t()> call;
  // Run before every call (and before every raw request): the bulk read needs a
  // packet waiting so that the driver answers at once.
  std::function<void()> prepare;
};

uint8_t g_inputs = 0;
TSensorRecord g_sensors;
uint8_t g_vendorData[kVendorReadSize];
uint8_t g_bulkData[kBulkSize];

void QueueBulkPacket() {
  driver().SendPacket(g_cards[0], kBulkPipe, std::vector<uint8_t>(kBulkSize, 0x5A));
}

std::vector<Operation> Operations() {
  return {
      {"WDG_Pet", [] { return WDG_Pet(0); }, nullptr},
      {"DI_ReadAll", [] { return DI_ReadAll(0, &g_inputs); }, nullptr},
      {"AI_ReadAll", [] { return AI_ReadAll(0, &g_sensors); }, nullptr},
      {"GenericVendorRead64",
       [] {
         uint32_t length = kVendorReadSize;
         return MERLOX_GenericVendorRead(0, kVendorReadRequest, kVendorReadValue, kVendorReadIndex,
                                         &length, g_vendorData);
       },
       nullptr},
      {"GenericBulkIn64",
       [] {
         uint32_t received = 0;
         return MERLOX_GenericBulkIn(0, kBulkPipe, g_bulkData, kBulkSize, &received);
       },
       QueueBulkPacket},
  };
}

// The driver request an operation on card 0 sends, captured from the driver's log,
// and replayed as a raw DeviceIoControl on a handle of our own to the card in `slot`
// (the operations measured here send the same bytes to every card).
class RawRequest {
 public:
  explicit RawRequest(const Operation& op, int slot = 0) {
    driver().SetRequestLog(true);
    driver().ClearRequests();
    if (op.prepare) op.prepare();
    Check(op.call(), op.name);
    const std::vector<sim::RequestRecord> requests = driver().Requests();
    driver().SetRequestLog(false);
    if (requests.size() != 1) Fail(std::string(op.name) + " did not send exactly one request");
    const sim::RequestRecord& r = requests.front();
    code_ = r.ioControlCode;
    sameBuffer_ = r.sameBuffer;
    in_ = r.input;
    in_.resize(std::max<size_t>(r.inputSize, r.outputSize));
    out_.resize(r.outputSize);
    inSize_ = r.inputSize;
    outSize_ = r.outputSize;
    handle_ = CreateFileA(driver().InterfacePath(g_cards[static_cast<size_t>(slot)]).c_str(),
                          GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) Fail("could not open the card's path");
  }
  ~RawRequest() { CloseHandle(handle_); }
  RawRequest(const RawRequest&) = delete;
  RawRequest& operator=(const RawRequest&) = delete;

  bool Send() {
    DWORD returned = 0;
    void* out = sameBuffer_ ? in_.data() : out_.data();
    return DeviceIoControl(handle_, code_, in_.data(), inSize_, out, outSize_, &returned,
                           nullptr) != FALSE;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DWORD code_ = 0;
  bool sameBuffer_ = false;
  std::vector<uint8_t> in_, out_;
  DWORD inSize_ = 0, outSize_ = 0;
};

// One card, its thread handle made, the analog inputs enabled, the log off.
void StartOneCard(const Operation& op) {
  StartCards(1);
  driver().SetRequestLog(false);
  if (op.prepare) op.prepare();
  Check(op.call(), op.name);
}

void BM_Library(benchmark::State& state, const Operation& op) {
  StartOneCard(op);
  for (auto _ : state) {
    if (op.prepare) op.prepare();
    if (op.call() != 0) state.SkipWithError("the operation failed");
  }
}

void BM_Raw(benchmark::State& state, const Operation& op) {
  StartOneCard(op);
  RawRequest raw(op);
  for (auto _ : state) {
    if (op.prepare) op.prepare();
    if (!raw.Send()) state.SkipWithError("the raw request failed");
  }
}

void BM_Discovery(benchmark::State& state) {
  StartCards(kMaxCards);
  driver().SetRequestLog(false);
  for (auto _ : state) {
    if (GetNumCards() != kMaxCards) state.SkipWithError("a card went missing");
  }
}

// Keeps the median of the repetitions of each benchmark for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // A single repetition has no aggregates: its one run stands for the median.
      if (run.aggregate_name == "median" ||
          (run.run_type == Run::RT_Iteration && run.repetitions <= 1)) {
        medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Median(const std::string& name) const {
    auto it = medians_.find(name);
    return it == medians_.end() ? -1.0 : it->second;
  }

 private:
  std::map<std::string, double> medians_;
};

// ---- Counted figures ---------------------------------------------------------

struct Counts {
  double allocations = 0;
  double requests = 0;
};

template <class F>
Counts CountPerCall(int calls, const std::function<void()>& prepare, F call) {
  uint64_t prepareAllocations = 0;
  const uint64_t requests0 = driver().RequestCount();
  const uint64_t allocations0 = g_allocations.load();
  for (int i = 0; i < calls; ++i) {
    if (prepare) {
      // The packet the simulated card sends is the card's allocation, not the call's.
      const uint64_t before = g_allocations.load();
      prepare();
      prepareAllocations += g_allocations.load() - before;
    }
    call();
  }
  Counts counts;
  counts.allocations =
      static_cast<double>(g_allocations.load() - allocations0 - prepareAllocations) / calls;
  counts.requests = static_cast<double>(driver().RequestCount() - requests0) / calls;
  return counts;
}

struct OperationFigures {
  std::string name;
  double libraryNs = 0, rawNs = 0;
  Counts library, raw;
};

OperationFigures CountOperation(const Operation& op) {
  constexpr int kCalls = 10000;
  StartOneCard(op);
  OperationFigures figures;
  figures.name = op.name;
  figures.library = CountPerCall(kCalls, op.prepare, [&] { Check(op.call(), op.name); });
  RawRequest raw(op);
  figures.raw = CountPerCall(kCalls, op.prepare, [&] {
    if (!raw.Send()) Fail("raw request failed");
  });
  return figures;
}

// ---- Scaling -----------------------------------------------------------------

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Operations per second of `threads` threads calling DI_ReadAll for `seconds`,
// each on its own card or all on card 0. *coresBusy receives the processor time
// the process used per second: near the machine's core count, the threads' own
// sleeping and waking is what limits the rate.
enum class Load {
  kOwnCards,     // DI_ReadAll, each thread on its own card
  kOneCard,      // DI_ReadAll, every thread on card 0
  kRawOwnCards,  // the same request as a raw DeviceIoControl, each on its own card
};

double Throughput(int threads, Load load, double seconds, double* coresBusy = nullptr) {
  const bool ownCards = load != Load::kOneCard;
  std::vector<std::unique_ptr<RawRequest>> raws;
  if (load == Load::kRawOwnCards) {
    const Operation readAll{"DI_ReadAll", [] { return DI_ReadAll(0, &g_inputs); }, nullptr};
    for (int t = 0; t < threads; ++t) raws.push_back(std::make_unique<RawRequest>(readAll, t));
  }
  std::atomic<int> ready{0};
  std::atomic<bool> go{false}, stop{false};
  std::vector<uint64_t> done(static_cast<size_t>(threads) * 8, 0);
  std::atomic<bool> failed{false};
  std::vector<std::thread> workers;
  workers.reserve(static_cast<size_t>(threads));
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      const int card = ownCards ? t : 0;
      RawRequest* raw = raws.empty() ? nullptr : raws[static_cast<size_t>(t)].get();
      uint8_t inputs = 0;
      auto once = [&] { return raw ? raw->Send() : DI_ReadAll(card, &inputs) == 0; };
      if (!once()) failed = true;  // makes the thread's handle
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      uint64_t n = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        if (!once()) failed = true;
        ++n;
      }
      done[static_cast<size_t>(t) * 8] = n;
    });
  }
  while (ready.load() < threads) std::this_thread::yield();
  const double cpu0 = ProcessCpuSeconds();
  const auto start = Clock::now();
  go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& w : workers) w.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (coresBusy != nullptr) *coresBusy = (ProcessCpuSeconds() - cpu0) / elapsed;
  if (failed) Fail("a read failed during the scaling run");
  uint64_t total = 0;
  for (int t = 0; t < threads; ++t) total += done[static_cast<size_t>(t) * 8];
  return static_cast<double>(total) / elapsed;
}

struct ScalingRow {
  int threads;
  double ownCards, oneCard, rawOwnCards, coresBusy;
};

// The median of three runs: a run that another process on the machine slowed
// down does not decide a figure alone.
double MedianThroughput(int threads, Load load, double seconds, double* coresBusy = nullptr) {
  std::pair<double, double> runs[3];
  for (auto& run : runs) run.first = Throughput(threads, load, seconds, &run.second);
  std::sort(std::begin(runs), std::end(runs));
  if (coresBusy != nullptr) *coresBusy = runs[1].second;
  return runs[1].first;
}

std::vector<ScalingRow> MeasureScaling(double seconds) {
  StartCards(kMaxCards);
  driver().SetRequestLog(false);
  driver().SetRequestDelay(100);
  const double single = MedianThroughput(1, Load::kOwnCards, seconds);
  const double rawSingle = MedianThroughput(1, Load::kRawOwnCards, seconds);
  std::vector<ScalingRow> rows;
  for (int n : {1, 2, 4, 8, 16, 32}) {
    ScalingRow row{n, 0, 0, 0, 0};
    row.ownCards = MedianThroughput(n, Load::kOwnCards, seconds, &row.coresBusy) / (n * single);
    row.oneCard = MedianThroughput(n, Load::kOneCard, seconds) / (n * single);
    row.rawOwnCards = MedianThroughput(n, Load::kRawOwnCards, seconds) / (n * rawSingle);
    rows.push_back(row);
  }
  driver().SetRequestDelay(0);
  std::printf(
      "(single-thread rate with a 100 us driver: %.0f operations/s through the library, "
      "%.0f raw)\n",
      single, rawSingle);
  return rows;
}

// ---- Abort latency -----------------------------------------------------------

struct Latency {
  double medianUs = 0, worstUs = 0;
};

Latency MeasureAbortLatency(int tries) {
  StartCards(1);
  driver().SetRequestLog(false);
  std::atomic<int> returned{0};
  std::atomic<int64_t> returnedAt{0};
  std::atomic<bool> wrongStatus{false};
  std::thread waiter([&] {
    for (int i = 0; i < tries; ++i) {
      uint8_t inputs = 0;
      const uint32_t status = DI_WaitForCOS(0, &inputs);
      returnedAt.store(Clock::now().time_since_epoch().count());
      if (status != MERLOX_STATUS_OPERATION_ABORTED) wrongStatus = true;
      returned.fetch_add(1);
    }
  });
  std::vector<double> latencies;
  latencies.reserve(static_cast<size_t>(tries));
  for (int i = 0; i < tries; ++i) {
    while (driver().PendingReads(g_cards[0]) < 1) std::this_thread::yield();
    const int64_t start = Clock::now().time_since_epoch().count();
    Check(DI_AbortCOSRequest(0), "DI_AbortCOSRequest");
    while (returned.load() <= i) std::this_thread::yield();
    latencies.push_back(
        std::chrono::duration<double, std::micro>(Clock::duration(returnedAt.load() - start))
            .count());
  }
  waiter.join();
  if (wrongStatus) Fail("an aborted wait did not return 995");
  std::sort(latencies.begin(), latencies.end());
  return {latencies[latencies.size() / 2], latencies.back()};
}

// ---- Discovery ---------------------------------------------------------------

struct DiscoveryFigures {
  double requests = 0, allocations = 0, medianUs = 0;
};

DiscoveryFigures MeasureDiscovery(int calls) {
  StartCards(kMaxCards);
  driver().SetRequestLog(false);
  DiscoveryFigures figures;
  const Counts counts = CountPerCall(calls, nullptr, [] {
    if (GetNumCards() != kMaxCards) Fail("a card went missing");
  });
  figures.requests = counts.requests;
  figures.allocations = counts.allocations;
  std::vector<double> times;
  for (int i = 0; i < calls; ++i) {
    const auto start = Clock::now();
    GetNumCards();
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  figures.medianUs = times[times.size() / 2];
  return figures;
}

// ---- Instruction counts ------------------------------------------------------

// Each measured loop is collected on its own and dumped as "name/calls"; the
// script divides the dump's instruction total by the calls.
void CollectInstructions(const std::string& name, int calls, const std::function<void()>& prepare,
                         const std::function<void()>& call) {
  for (int i = 0; i < calls; ++i) {
    if (prepare) prepare();
    CALLGRIND_TOGGLE_COLLECT;
    call();
    CALLGRIND_TOGGLE_COLLECT;
  }
  // The macro keeps only the pointer past the statement that takes it: the name
  // must outlive the request.
  const std::string dumpName = name + "/" + std::to_string(calls);
  CALLGRIND_DUMP_STATS_AT(dumpName.c_str());
}

int RunInstructionCounts() {
  constexpr int kCalls = 2000;
  for (const Operation& op : Operations()) {
    StartOneCard(op);
    CollectInstructions(std::string(op.name) + "/library", kCalls, op.prepare,
                        [&] { Check(op.call(), op.name); });
    RawRequest raw(op);
    CollectInstructions(std::string(op.name) + "/raw", kCalls, op.prepare, [&] {
      if (!raw.Send()) Fail("raw request failed");
    });
  }
  StartCards(kMaxCards);
  driver().SetRequestLog(false);
  constexpr int kDiscoveries = 200;
  CollectInstructions("GetNumCards/32cards", kDiscoveries, nullptr, [] { GetNumCards(); });
  const int operations = static_cast<int>(Operations().size()) * kCalls;
  std::printf("%d operation calls, %d raw requests, %d discoveries\n", operations, operations,
              kDiscoveries);
  return 0;
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

// ---- Round trip through a shared simulator ---------------------------------------
// WDG_Pet, one control transfer, timed call by call against the simulator in the
// process and then against a shared one (merloxsim's server, on a thread of this
// process: the same socket, hand-over and server thread a second process would use).
struct RoundTrip {
  double inProcessUs = 0;
  double sharedUs = 0;
};

double MedianPetUs(int calls) {
  return merlox::bench::MedianMicroseconds(calls, [] { Check(WDG_Pet(0), "WDG_Pet"); });
}

RoundTrip MeasureRoundTrip(int calls) {
  RoundTrip figures;
  StartCards(1);
  driver().SetRequestLog(false);
  figures.inProcessUs = MedianPetUs(calls);
  MERLOX_CloseAll();
  host::WaitForThreadsToEnd(10000);
  LeaveLibrary();
  sim::Server server;
  std::string problem;
  const std::string name = "bench-" + std::to_string(getpid());
  if (!server.Start(name, 0, &problem)) Fail(problem.c_str());
  std::thread serving([&server] { server.Run(); });
  if (sim::UseSharedSimulator(name) != 0) Fail("the shared simulator did not answer");
  if (GetNumCards() != 1) Fail("the shared simulator's card did not open");
  figures.sharedUs = MedianPetUs(calls);
  MERLOX_CloseAll();
  host::WaitForThreadsToEnd(10000);
  sim::UseInProcessSimulator();
  server.Stop();
  serving.join();
  return figures;
}

int Run(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--instructions") == 0) return RunInstructionCounts();
  }
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) quick = true;
  }

  const std::vector<Operation> operations = Operations();
  for (const Operation& op : operations) {
    benchmark::RegisterBenchmark((std::string(op.name) + "/library").c_str(), BM_Library, op);
    benchmark::RegisterBenchmark((std::string(op.name) + "/raw").c_str(), BM_Raw, op);
  }
  benchmark::RegisterBenchmark("GetNumCards/32cards", BM_Discovery);
  std::vector<char*> args(argv, argv + argc);
  args.erase(std::remove_if(args.begin() + 1, args.end(),
                            [](char* a) { return std::strcmp(a, "--quick") == 0; }),
             args.end());
  std::string repetitions = quick ? "--benchmark_repetitions=1" : "--benchmark_repetitions=5";
  std::string minTime = quick ? "--benchmark_min_time=0.01" : "--benchmark_min_time=0.2";
  args.insert(args.begin() + 1, minTime.data());
  args.insert(args.begin() + 1, repetitions.data());
  std::string aggregates = "--benchmark_display_aggregates_only=true";
  args.insert(args.begin() + 1, aggregates.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\n== Summary (2 shared cores: times are medians of the repetitions and noisy)\n");
  std::printf("\n1. Overhead per operation over the same raw DeviceIoControl (goal < 100 ns)\n");
  std::printf("%-22s %12s %12s %12s  %s\n", "operation", "call ns", "raw ns", "overhead", "");
  bool allMet = true;
  for (const Operation& op : operations) {
    const double lib = reporter.Median(std::string(op.name) + "/library");
    const double raw = reporter.Median(std::string(op.name) + "/raw");
    const bool met = lib - raw < 100.0;
    allMet &= met;
    std::printf("%-22s %12.1f %12.1f %12.1f  %s\n", op.name, lib, raw, lib - raw, Verdict(met));
  }

  std::printf(
      "\n2. Per steady-state operation, counted over 10000 calls (goal: 0 allocations "
      "by the library, exactly 1 driver request)\n");
  std::printf("%-22s %14s %14s %14s %12s  %s\n", "operation", "allocs (call)", "allocs (raw)",
              "allocs (lib)", "requests", "");
  for (const Operation& op : operations) {
    const OperationFigures f = CountOperation(op);
    const double libraryAllocations = f.library.allocations - f.raw.allocations;
    const bool met = libraryAllocations == 0.0 && f.library.requests == 1.0;
    allMet &= met;
    std::printf("%-22s %14.2f %14.2f %14.2f %12.2f  %s\n", op.name, f.library.allocations,
                f.raw.allocations, libraryAllocations, f.library.requests, Verdict(met));
  }

  std::printf(
      "\n3. Scaling with a 100 us driver: aggregate rate / (N x single-thread rate), "
      "DI_ReadAll, medians of 3 runs (goal >= 0.95)\n");
  const std::vector<ScalingRow> rows = MeasureScaling(quick ? 0.05 : 0.4);
  // The raw column is the yardstick: the same requests without the library, so a
  // shortfall there is the machine's (threads sleeping and waking on shared cores).
  std::printf("%-8s %15s %17s %19s %12s\n", "threads", "own card each", "all on one card",
              "raw, own card each", "cores busy");
  for (const ScalingRow& row : rows) {
    const bool met = row.ownCards >= 0.95 && row.oneCard >= 0.95;
    allMet &= met;
    std::printf("%-8d %15.3f %17.3f %19.3f %12.2f  %s\n", row.threads, row.ownCards, row.oneCard,
                row.rawOwnCards, row.coresBusy, Verdict(met));
  }

  const int tries = quick ? 200 : 10000;
  const Latency latency = MeasureAbortLatency(tries);
  const bool abortMet = latency.worstUs < 1000.0;
  allMet &= abortMet;
  std::printf(
      "\n4. Abort latency, DI_AbortCOSRequest to the waiter's return, %d tries "
      "(goal: worst < 1000 us)\n   median %.1f us, worst %.1f us  %s\n",
      tries, latency.medianUs, latency.worstUs, Verdict(abortMet));

  const DiscoveryFigures discovery = MeasureDiscovery(quick ? 50 : 2000);
  const bool discoveryMet = discovery.requests == 0.0 && discovery.medianUs < 10.0;
  allMet &= discoveryMet;
  std::printf(
      "\n5. GetNumCards with 32 cards open and 32 interface paths (goal: 0 driver "
      "requests, < 10 us)\n   %.2f driver requests, %.2f allocations, median %.2f us"
      "  %s\n",
      discovery.requests, discovery.allocations, discovery.medianUs, Verdict(discoveryMet));

  const RoundTrip roundTrip = MeasureRoundTrip(quick ? 200 : 20000);
  const bool roundTripMet = roundTrip.sharedUs < 100.0;
  allMet &= roundTripMet;
  std::printf(
      "\n6. WDG_Pet through a shared simulator (merloxsim serve), median of %d calls "
      "(goal < 100 us)\n   shared %.1f us, in-process %.2f us  %s\n",
      quick ? 200 : 20000, roundTrip.sharedUs, roundTrip.inProcessUs, Verdict(roundTripMet));

  std::printf("\n%s\n", allMet ? "every goal met" : "some goals MISSED (see above)");
  StartCards(0);
  LeaveLibrary();
  return 0;
}

}  // namespace
}  // namespace merlox::bench

int main(int argc, char** argv) { return merlox::bench::Run(argc, argv); }
