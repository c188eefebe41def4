// Several threads at once, each in its own single-threaded apartment, as IIS
// runs ASP pages: a start gate lets them all go at the same moment, so that
// first uses race, and what goes wrong on a thread is collected as text and
// reported on the calling thread (gtest's assertions stay on one thread).
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <functional>
#include <string>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kvtest {

// What went wrong on one thread, in order (the first few only).
class Faults {
 public:
  // Records what when ok is false; returns ok.
  bool Check(bool ok, const std::string& what) {
    if (!ok) Add(what);
    return ok;
  }
  void Add(const std::string& what) {
    if (lines_.size() < kKept) lines_.push_back(what);
    ++count_;
  }
  size_t Count() const noexcept { return count_; }
  const std::vector<std::string>& Lines() const noexcept { return lines_; }

 private:
  static constexpr size_t kKept = 12;
  std::vector<std::string> lines_;
  size_t count_ = 0;
};

// Opens when every thread has arrived.
class StartGate {
 public:
  explicit StartGate(int threads)
      : waiting_(threads), open_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~StartGate() { CloseHandle(open_); }
  StartGate(const StartGate&) = delete;
  StartGate& operator=(const StartGate&) = delete;

  void Arrive() {
    if (waiting_.fetch_sub(1) == 1) SetEvent(open_);
    WaitForSingleObject(open_, INFINITE);
  }

 private:
  std::atomic<int> waiting_;
  HANDLE open_;
};

// One thread's way through the gate. A thread that ends without waiting is
// counted as arrived, so that the others never wait for it in vain.
class Gate {
 public:
  explicit Gate(StartGate& gate) : gate_(gate) {}
  ~Gate() { Wait(); }
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;
  void Wait() {
    if (passed_) return;
    passed_ = true;
    gate_.Arrive();
  }

 private:
  StartGate& gate_;
  bool passed_ = false;
};

// The body of one thread: its index, the gate to wait at, and where its
// faults go.
using ThreadBody = std::function<void(int thread, Gate& gate, Faults& faults)>;

// Runs body on `threads` new threads, each in a single-threaded apartment
// for the whole body, and returns every thread's faults as one text (empty
// when there were none).
inline std::string RunOnStaThreads(int threads, const ThreadBody& body) {
  StartGate start(threads);
  std::vector<Faults> faults(static_cast<size_t>(threads));
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) {
    running.emplace_back([&, t] {
      Faults& mine = faults[static_cast<size_t>(t)];
      Gate gate(start);
      const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      if (!mine.Check(SUCCEEDED(com), "CoInitializeEx failed")) return;
      try {
        body(t, gate, mine);
      } catch (const std::exception& e) {
        mine.Add(std::string("exception: ") + e.what());
      }
      gate.Wait();
      CoUninitialize();
    });
  }
  for (std::thread& t : running) t.join();
  std::string report;
  for (int t = 0; t < threads; ++t) {
    const Faults& f = faults[static_cast<size_t>(t)];
    for (const std::string& line : f.Lines())
      report += "thread " + std::to_string(t) + ": " + line + "\n";
    if (f.Count() > f.Lines().size())
      report += "thread " + std::to_string(t) + ": ... and " +
                std::to_string(f.Count() - f.Lines().size()) + " more\n";
  }
  return report;
}

}  // namespace kvtest
