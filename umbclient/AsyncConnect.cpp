#include "umbclient/AsyncConnect.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "kiv/Udp.h"
#include "umbclient/Internal.h"

namespace {

struct Request {
  std::string host;
  uint16_t port;
  const void* out;
  uint64_t generation;
  AsyncResolveDone done;  // set: called instead of writing `out`
};

class Connector {
public:
  ~Connector() { Stop(); }

  // Drops every pending request, refuses new ones and waits for the connector thread
  // (which finishes the resolution it is in, without writing its answer).
  void Stop() {
    {
      std::lock_guard<std::mutex> g(m_lock);
      m_stop = true;
      m_queue.clear();
      m_latest.clear();
    }
    m_wake.notify_all();
    m_idle.notify_all();
    std::lock_guard<std::mutex> join(m_joinLock);
    if (m_thread.joinable()) m_thread.join();
  }

  bool Queue(const std::string& host, uint16_t port, const void* out, AsyncResolveDone done = {}) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_stop) return false;
    uint64_t gen = ++m_generation;
    m_latest[out] = gen;
    m_queue.push_back(Request{host, port, out, gen, std::move(done)});
    if (!m_thread.joinable()) m_thread = std::thread([this] { Run(); });
    m_wake.notify_all();
    return true;
  }

  void Cancel(const void* out) {
    std::lock_guard<std::mutex> g(m_lock);
    m_latest.erase(out);  // writes are checked against this under the lock
    for (auto it = m_queue.begin(); it != m_queue.end();) it = it->out == out ? m_queue.erase(it) : it + 1;
    m_idle.notify_all();
  }

  void Flush() {
    std::unique_lock<std::mutex> g(m_lock);
    m_idle.wait(g, [this] { return m_stop || (m_queue.empty() && !m_busy); });
  }

private:
  void Run() {
    std::unique_lock<std::mutex> g(m_lock);
    while (true) {
      m_wake.wait(g, [this] { return m_stop || !m_queue.empty(); });
      if (m_stop) {
        m_busy = false;
        m_idle.notify_all();
        return;
      }
      Request r = m_queue.front();
      m_queue.pop_front();
      if (m_latest.count(r.out) == 0 || m_latest[r.out] != r.generation) continue;  // superseded
      m_busy = true;
      g.unlock();
      Kiv::SocketAddress address;
      bool ok = Kiv::ResolveIPv4(r.host, r.port, address);
      if (!ok) UmbLog("QueueAsyncConnect> unable to resolve '" + r.host + "'");
      g.lock();
      auto it = m_latest.find(r.out);
      if (it != m_latest.end() && it->second == r.generation) {
        // Under the lock, so a cancel that has returned is never followed by a write or call.
        if (r.done)
          r.done(ok, address);
        else if (ok)
          address.ToRaw16(const_cast<void*>(r.out));
        m_latest.erase(it);
      }
      m_busy = false;
      if (m_queue.empty()) m_idle.notify_all();
    }
  }

  std::mutex m_lock;
  std::condition_variable m_wake, m_idle;
  std::deque<Request> m_queue;
  std::map<const void*, uint64_t> m_latest;  // the request whose answer `out` may still take
  uint64_t m_generation = 0;
  bool m_busy = false;
  bool m_stop = false;
  std::thread m_thread;
  std::mutex m_joinLock;  // one joiner at a time
};

Connector& TheConnector() {
  static Connector c;
  return c;
}

}  // namespace

bool QueueAsyncConnect(const std::string& host, int port, void* out) {
  if (host.empty() || port < 1 || port > 65535 || !out) return false;
  return TheConnector().Queue(host, static_cast<uint16_t>(port), out);
}

bool QueueAsyncResolve(const std::string& host, int port, const void* owner, AsyncResolveDone done) {
  if (host.empty() || port < 1 || port > 65535 || !owner || !done) return false;
  return TheConnector().Queue(host, static_cast<uint16_t>(port), owner, std::move(done));
}

void CancelAsyncConnect(const void* out) { TheConnector().Cancel(out); }

void FlushAsyncConnects() { TheConnector().Flush(); }

void StopAsyncConnects() { TheConnector().Stop(); }
