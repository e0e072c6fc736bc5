// The stream ring against a peer measured in the same run: one mutex and
// condition with a std::deque of entries per consumer, the producer pushing
// every entry to each consumer's deque (dropping the oldest when full).
// Reported: cost per published entry with no consumer, and wall time per
// published and per dequeued entry with 1, 4 and 16 consumer threads. The
// ring copies no frame data, so neither side writes any here.
#include <benchmark/benchmark.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "media/stream_queue.h"
#include "media/stream_state.h"

namespace {

constexpr uint32_t kRingBytes = 4 << 20;
constexpr uint32_t kRingEntries = 1024;
constexpr uint32_t kEntryBytes = 2048;
constexpr int kBatch = 20000;

struct Ring {
  ProducerState state{};
  StreamQueue queue{};
  Buffer_Handle buf;
  Ring() {
    stream_register_clear();
    stream_register(&state, &queue, CAPTURE_STREAM1);
    Buffer_Attrs a = Buffer_Attrs_DEFAULT;
    a.memAlign = STREAM_RING_ALIGN;
    buf = Buffer_create(kRingBytes, &a);
    ringbuffer_init(&queue, buf, kRingEntries, STREAM_RING_ALIGN);
  }
  ~Ring() {
    ringbuffer_free(&queue);
    Buffer_delete(buf);
    stream_register_clear();
  }
};

// The peer: a bounded queue of entries under one mutex and condition.
struct DequeQueue {
  std::mutex m;
  std::condition_variable cv;
  std::deque<StreamEntry> q;
  bool closed = false;
  void put(const StreamEntry &e) {
    {
      std::lock_guard<std::mutex> g(m);
      if (q.size() >= kRingEntries - 1) q.pop_front();
      q.push_back(e);
    }
    cv.notify_all();
  }
  bool get(StreamEntry *e) {
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [&] { return !q.empty() || closed; });
    if (q.empty()) return false;
    *e = q.front();
    q.pop_front();
    return true;
  }
  void close() {
    {
      std::lock_guard<std::mutex> g(m);
      closed = true;
    }
    cv.notify_all();
  }
};

void BM_RingPublish(benchmark::State &state) {
  Ring r;
  uint32_t ts = 0;
  for (auto _ : state) {
    ringbuffer_preallocate(&r.queue, kEntryBytes);
    ringbuffer_put(&r.queue, kEntryBytes, ts += 3000, 1);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DequePublish(benchmark::State &state) {
  DequeQueue d;
  uint32_t ts = 0, off = 0;
  for (auto _ : state) {
    d.put(StreamEntry{off, kEntryBytes, ts += 3000, 1});
    off = (off + kEntryBytes) % kRingBytes;
  }
  state.SetItemsProcessed(state.iterations());
}

void report(benchmark::State &state, double seconds, uint64_t published, uint64_t dequeued) {
  state.SetIterationTime(seconds);
  state.counters["ns_per_put"] = benchmark::Counter(seconds * 1e9 / (double)published);
  state.counters["ns_per_get"] =
      benchmark::Counter(dequeued ? seconds * 1e9 / (double)dequeued : 0.0);
  state.counters["got_pct"] =
      benchmark::Counter(100.0 * (double)dequeued / ((double)published * (double)state.range(0)));
}

void BM_RingFanOut(benchmark::State &state) {
  const int consumers = (int)state.range(0);
  Ring r;
  for (auto _ : state) {
    std::atomic<int> ready{0};
    std::atomic<uint64_t> got{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    std::vector<std::unique_ptr<StreamState>> states;
    uint32_t last = 0;
    for (int c = 0; c < consumers; c++) {
      states.emplace_back(new StreamState{});
      stream_state_attach(CAPTURE_STREAM1, StreamMode_UYVY, states.back().get());
    }
    pthread_mutex_lock(&r.queue.mutex);
    last = r.queue.next_seq + kBatch - 1;
    pthread_mutex_unlock(&r.queue.mutex);
    for (int c = 0; c < consumers; c++)
      threads.emplace_back([&, c] {
        StreamState *st = states[c].get();
        uint64_t n = 0;
        ready++;
        while (!done || (int32_t)(last - st->seq) >= 0) {
          FrameDesc *f = stream_state_dequeue_timeout(st, 20);
          if (!f) {
            if (done) break;
            continue;
          }
          n++;
          if (f->seq == last) break;
        }
        got += n;
      });
    while (ready < consumers) std::this_thread::yield();
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; i++) {
      ringbuffer_preallocate(&r.queue, kEntryBytes);
      ringbuffer_put(&r.queue, kEntryBytes, (uint32_t)i * 3000, 1);
    }
    done = true;
    for (auto &t : threads) t.join();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (auto &st : states) stream_state_detach(st.get());
    report(state, s, kBatch, got);
  }
}

void BM_DequeFanOut(benchmark::State &state) {
  const int consumers = (int)state.range(0);
  for (auto _ : state) {
    std::vector<std::unique_ptr<DequeQueue>> qs;
    for (int c = 0; c < consumers; c++) qs.emplace_back(new DequeQueue);
    std::atomic<int> ready{0};
    std::atomic<uint64_t> got{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < consumers; c++)
      threads.emplace_back([&, c] {
        uint64_t n = 0;
        StreamEntry e;
        ready++;
        while (qs[c]->get(&e)) n++;
        got += n;
      });
    while (ready < consumers) std::this_thread::yield();
    auto t0 = std::chrono::steady_clock::now();
    uint32_t off = 0;
    for (int i = 0; i < kBatch; i++) {
      StreamEntry e{off, kEntryBytes, (uint32_t)i * 3000, 1};
      for (auto &q : qs) q->put(e);
      off = (off + kEntryBytes) % kRingBytes;
    }
    for (auto &q : qs) q->close();
    for (auto &t : threads) t.join();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    report(state, s, kBatch, got);
  }
}

BENCHMARK(BM_RingPublish);
BENCHMARK(BM_DequePublish);
BENCHMARK(BM_RingFanOut)->Arg(1)->Arg(4)->Arg(16)->UseManualTime()->Iterations(5);
BENCHMARK(BM_DequeFanOut)->Arg(1)->Arg(4)->Arg(16)->UseManualTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
