#include "nsdal/dal_stream_bus.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "nsdal/dal_log.h"
#include "nsdal/dal_runner.h"
#include "tavlib/tav_clock.h"

namespace ns_dal {
namespace {

constexpr std::size_t kMaxConnections = 256;

}  // namespace

bool IsPeerNameOfForm(const std::string& name, std::string_view suffix) {
  if (name.size() <= suffix.size() || name.size() > 64 || !name.ends_with(suffix)) return false;
  bool dot = false;
  for (std::size_t i = 0; i < name.size() - suffix.size(); ++i) {
    const char c = name[i];
    if (c == '.' && !dot && i > 0) {
      dot = true;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  return dot;
}

struct StreamDalBus::Core : std::enable_shared_from_this<StreamDalBus::Core>, IDalReceiveHandler {
  // What the sender keeps of one peer. Runner thread only.
  struct PeerLink {
    std::unique_ptr<DalLink> connection;
    std::deque<std::shared_ptr<const std::string>> queue;
    std::size_t offset = 0;  // bytes of queue.front() already written
    std::size_t queued_bytes = 0;
    int64_t last_progress_us = 0;
    int64_t last_used_us = 0;  // last frame queued
    bool after_drop = false;   // a dropped peer tried again
  };

  // A dropped peer and when it may be written to again.
  struct Dropped {
    int64_t retry_at_us = 0;
    std::chrono::milliseconds backoff{0};
  };

  // Someone waiting in Drain().
  struct DrainWaiter {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
  };

  // A snapshot request on its way: one peer is asked at a time.
  struct SnapshotAsk {
    std::vector<std::string> candidates;
    std::size_t next = 0;
    std::string asked;
    uint64_t generation = 0;
  };

  // An accepted connection. Receive thread only.
  struct Connection {
    FrameReader reader;
    uint32_t pid = 0;
    int64_t last_read_us = 0;
  };

  DalBusOptions options;
  std::unique_ptr<IDalStreamTransport> transport;
  std::string log_prefix;

  std::atomic<bool> stopping{false};
  std::thread receiver;

  std::mutex delegate_mutex;
  IDALBusDelegate* delegate = nullptr;

  mutable std::mutex stats_mutex;
  mutable std::condition_variable stats_changed;
  Stats counters;

  // Send side: runner thread only.
  std::map<std::string, PeerLink> links;
  std::map<std::string, Dropped> dropped;
  std::map<std::string, SnapshotAsk> asks;
  uint64_t ask_generation = 0;
  bool retry_scheduled = false;
  bool sweep_scheduled = false;
  std::vector<std::shared_ptr<DrainWaiter>> drain_waiters;

  // Receive side (receive thread only): connections, what they hold unread,
  // and the snapshot answer budget.
  std::map<ConnectionId, Connection> connections;
  std::size_t buffered = 0;
  double answer_tokens = 0;
  int64_t answer_tokens_at_us = 0;

  void Log(klb::LogLevel level, const char (&label)[12], const std::string& message) {
    DalLog(level, label, log_prefix + message);
  }

  template <class F>
  void Count(F change) {
    {
      std::lock_guard lock(stats_mutex);
      change(counters);
    }
    stats_changed.notify_all();
  }

  template <class F>
  void WithDelegate(F call) {
    std::lock_guard lock(delegate_mutex);
    if (delegate != nullptr) call(*delegate);
  }

  // Posts `work` to the sending runner with a weak hold on the core.
  bool Post(const char* name, std::function<void(Core&)> work,
            std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    std::weak_ptr<Core> weak = weak_from_this();
    return PostToDalRunner(
        name,
        [weak, work = std::move(work)] {
          if (auto core = weak.lock()) work(*core);
        },
        delay);
  }

  // ---- send side (runner thread) ----

  std::vector<std::string> ListPeers(int32_t target) {
    std::vector<std::string> peers;
    const std::string prefix = target == kAllPeers ? std::string() : std::to_string(target) + ".";
    const int64_t now = Tav::TimeTicks::Now();
    std::set<std::string> present;
    for (const std::string& name : transport->ListNames()) {
      if (name == transport->own_name() || !transport->IsPeerName(name)) continue;
      present.insert(name);
      auto drop = dropped.find(name);
      if (drop != dropped.end() && now < drop->second.retry_at_us) continue;
      if (!prefix.empty() && name.compare(0, prefix.size(), prefix) != 0) continue;
      peers.push_back(name);
    }
    // A name that left belongs to a process that ended.
    std::vector<std::string> gone;
    for (const auto& entry : links) {
      if (present.count(entry.first) == 0) gone.push_back(entry.first);
    }
    for (const std::string& name : gone) CloseLink(name, "peer gone");
    std::erase_if(dropped, [&](const auto& entry) { return present.count(entry.first) == 0; });
    return peers;
  }

  void RemoveDeadName(const std::string& name) {
    dropped.erase(name);
    if (transport->RemoveDeadName(name)) {
      Count([](Stats& s) { ++s.stale_sockets_removed; });
      Log(klb::LogLevel::kInfo, "NSDAL_STALE", "removed name of a dead process - name=" + name);
    }
  }

  void DropPeer(const std::string& name, const char* why) {
    links.erase(name);
    // A peer that keeps stalling is tried less and less often.
    Dropped& drop = dropped[name];
    drop.backoff = drop.backoff.count() == 0 ? options.drop_backoff
                                             : std::min(drop.backoff * 2, options.max_drop_backoff);
    drop.retry_at_us = Tav::TimeTicks::Now() + drop.backoff.count() * 1000;
    Log(klb::LogLevel::kWarning, "NSDAL_DROPP",
        std::string("peer dropped - name=") + name + ", reason=" + why +
            ", retry_ms=" + std::to_string(drop.backoff.count()));
    Count([](Stats& s) { ++s.peers_dropped; });
  }

  void CloseLink(const std::string& name, const char* why) {
    if (links.erase(name) == 0) return;
    Log(klb::LogLevel::kInfo, "NSDAL_CLOSE",
        std::string("connection closed - name=") + name + ", reason=" + why);
    Count([](Stats& s) { ++s.links_closed; });
  }

  // The open link to a peer, connecting first; null when it cannot be
  // reached (gone, dead or not accepting).
  PeerLink* Link(const std::string& name) {
    auto found = links.find(name);
    if (found != links.end()) return &found->second;
    std::unique_ptr<DalLink> connection;
    std::string detail;
    switch (transport->ConnectTo(name, &connection, &detail)) {
      case IDalStreamTransport::Connect::kConnected:
        break;
      case IDalStreamTransport::Connect::kDead:
        RemoveDeadName(name);
        return nullptr;
      case IDalStreamTransport::Connect::kNotAccepting:
        DropPeer(name, "not accepting connections");
        return nullptr;
      case IDalStreamTransport::Connect::kForeign:
        Log(klb::LogLevel::kWarning, "NSDAL_NOTUS",
            "endpoint of another user not written to - name=" + name + ", " + detail);
        Count([](Stats& s) { ++s.listeners_refused; });
        DropPeer(name, "another user's endpoint");
        return nullptr;
      case IDalStreamTransport::Connect::kFailed:
        return nullptr;
    }
    PeerLink& link = links[name];
    link.connection = std::move(connection);
    link.last_progress_us = link.last_used_us = Tav::TimeTicks::Now();
    link.after_drop = dropped.count(name) != 0;
    ScheduleSweep();
    return &link;
  }

  // Writes what the connection takes. False when the connection broke and
  // could not be opened again (the link is gone then).
  bool Flush(const std::string& name, PeerLink& link, bool may_reconnect = true) {
    while (!link.queue.empty()) {
      const std::string& bytes = *link.queue.front();
      std::size_t written = 0;
      std::string error;
      const DalLink::Write result = link.connection->Send(
          bytes.data() + link.offset, bytes.size() - link.offset, &written, &error);
      if (result == DalLink::Write::kWouldBlock) return true;
      if (result == DalLink::Write::kBroken) {
        Log(klb::LogLevel::kInfo, "NSDAL_BROKE",
            "connection closed - name=" + name + ", error=" + error);
        // The receiver may have closed an idle connection: open a new one
        // and send the unfinished frame again from its start (the receiver
        // threw its part away with the old connection).
        auto queue = std::move(link.queue);
        links.erase(name);
        if (!may_reconnect) return false;
        PeerLink* fresh = Link(name);
        if (fresh == nullptr) return false;
        for (const auto& frame : queue) fresh->queued_bytes += frame->size();
        fresh->queue = std::move(queue);
        return Flush(name, *fresh, false);
      }
      link.offset += written;
      link.queued_bytes -= written;
      link.last_progress_us = Tav::TimeTicks::Now();
      if (link.offset == bytes.size()) {
        link.queue.pop_front();
        link.offset = 0;
        Count([](Stats& s) { ++s.frames_sent; });
        if (link.after_drop) {
          // It reads again: back to the normal footing.
          link.after_drop = false;
          dropped.erase(name);
          Log(klb::LogLevel::kInfo, "NSDAL_BACKP", "peer back - name=" + name);
          Count([](Stats& s) { ++s.peers_retried; });
        }
      }
    }
    return true;
  }

  // Queues one frame for a peer; false when the peer cannot take it.
  bool Enqueue(const std::string& name, const std::shared_ptr<const std::string>& bytes) {
    PeerLink* link = Link(name);
    if (link == nullptr) return false;
    if (link->queued_bytes + bytes->size() > options.max_queued_bytes_per_peer) {
      DropPeer(name, "queue full");
      return false;
    }
    link->queue.push_back(bytes);
    link->queued_bytes += bytes->size();
    link->last_used_us = Tav::TimeTicks::Now();
    if (!Flush(name, *link)) return false;
    ScheduleRetryIfPending();
    return true;
  }

  void ScheduleRetryIfPending() {
    if (retry_scheduled) return;
    for (const auto& entry : links) {
      if (entry.second.queue.empty()) continue;
      retry_scheduled = true;
      Post(
          "DalSendRetry", [](Core& core) { core.Retry(); }, options.retry_interval);
      return;
    }
  }

  void Retry() {
    retry_scheduled = false;
    const int64_t now = Tav::TimeTicks::Now();
    std::vector<std::string> names;
    for (const auto& entry : links) names.push_back(entry.first);
    for (const std::string& name : names) {
      auto found = links.find(name);
      if (found == links.end() || found->second.queue.empty()) continue;
      if (!Flush(name, found->second)) continue;
      found = links.find(name);
      if (found != links.end() && !found->second.queue.empty() &&
          now - found->second.last_progress_us > options.stall_limit.count() * 1000) {
        DropPeer(name, "stopped reading");
      }
    }
    ScheduleRetryIfPending();
    NotifyDrainedIfEmpty();
  }

  void SendToAll(const std::shared_ptr<const std::string>& bytes, int32_t target) {
    for (const std::string& name : ListPeers(target)) Enqueue(name, bytes);
    NotifyDrainedIfEmpty();
  }

  void NotifyDrainedIfEmpty() {
    if (drain_waiters.empty()) return;
    for (const auto& entry : links) {
      if (!entry.second.queue.empty()) return;
    }
    for (const auto& waiter : drain_waiters) {
      {
        std::lock_guard lock(waiter->mutex);
        waiter->done = true;
      }
      waiter->done_changed.notify_all();
    }
    drain_waiters.clear();
  }

  void ScheduleSweep() {
    if (sweep_scheduled || links.empty()) return;
    sweep_scheduled = true;
    Post(
        "DalLinkSweep", [](Core& core) { core.Sweep(); }, options.sweep_interval);
  }

  // Closes connections whose peer closed its end (it ended: nothing else
  // would tell, as a sender never reads) or that were idle too long.
  void Sweep() {
    sweep_scheduled = false;
    const int64_t now = Tav::TimeTicks::Now();
    std::vector<std::pair<std::string, const char*>> closing;
    for (const auto& [name, link] : links) {
      if (link.connection->PeerClosed()) {
        closing.emplace_back(name, "peer closed");
      } else if (link.queue.empty() &&
                 now - link.last_used_us > options.send_idle_limit.count() * 1000) {
        closing.emplace_back(name, "idle");
      }
    }
    for (const auto& [name, why] : closing) CloseLink(name, why);
    ScheduleSweep();
  }

  // ---- snapshot requests (runner thread) ----

  void StartAsk(const std::string& mode_id) {
    SnapshotAsk& ask = asks[mode_id];
    ask = SnapshotAsk{};
    ask.candidates = ListPeers(kAllPeers);
    ask.generation = ++ask_generation;
    AskNext(mode_id);
  }

  void AskNext(const std::string& mode_id) {
    auto found = asks.find(mode_id);
    if (found == asks.end()) return;
    SnapshotAsk& ask = found->second;
    while (ask.next < ask.candidates.size()) {
      const std::string name = ask.candidates[ask.next++];
      auto request = EncodeFrame(
          Frame{FrameKind::kSnapshotRequest, mode_id, std::string(), transport->own_name()},
          options.max_frame_bytes);
      if (!request || !Enqueue(name, std::make_shared<const std::string>(std::move(*request)))) {
        continue;
      }
      ask.asked = name;
      ask.generation = ++ask_generation;
      const uint64_t generation = ask.generation;
      Post(
          "DalSnapshotTimeout",
          [mode_id, generation](Core& core) { core.AnswerTimedOut(mode_id, generation); },
          options.answer_limit);
      return;
    }
    asks.erase(found);
    WithDelegate([&](IDALBusDelegate& d) { d.OnBusSnapshot(mode_id, std::nullopt); });
  }

  void OnAnswer(const std::string& mode_id, const std::string& from, std::string text) {
    auto found = asks.find(mode_id);
    if (found == asks.end() || found->second.asked != from) return;  // late or unasked
    if (text.empty()) {
      AskNext(mode_id);
      return;
    }
    asks.erase(found);
    WithDelegate([&](IDALBusDelegate& d) { d.OnBusSnapshot(mode_id, std::move(text)); });
  }

  void AnswerTimedOut(const std::string& mode_id, uint64_t generation) {
    auto found = asks.find(mode_id);
    if (found == asks.end() || found->second.generation != generation) return;
    Log(klb::LogLevel::kWarning, "NSDAL_NOANS", "no snapshot answer - name=" + found->second.asked);
    AskNext(mode_id);
  }

  // ---- receive side (receive thread) ----

  // When `c` is due to be closed: silent too long, or a partial frame that
  // stopped coming.
  int64_t DeadlineOf(const Connection& c) const {
    const auto limit = c.reader.buffered() > 0 ? options.stall_limit : options.receive_idle_limit;
    return c.last_read_us + static_cast<int64_t>(limit.count()) * 1000;
  }

  int Expire(std::vector<ConnectionId>* expired) override {
    const int64_t now = Tav::TimeTicks::Now();
    int64_t next = -1;
    for (auto it = connections.begin(); it != connections.end();) {
      const Connection& c = it->second;
      const int64_t deadline = DeadlineOf(c);
      if (deadline > now) {
        if (next < 0 || deadline < next) next = deadline;
        ++it;
        continue;
      }
      Log(klb::LogLevel::kInfo, "NSDAL_RCLOS",
          std::string("incoming connection closed - pid=") + std::to_string(c.pid) +
              ", reason=" + (c.reader.buffered() > 0 ? "partial frame stalled" : "idle"));
      Count([](Stats& s) { ++s.connections_closed; });
      expired->push_back(it->first);
      buffered -= c.reader.buffered();
      it = connections.erase(it);
    }
    if (next < 0) return -1;
    return static_cast<int>(std::min<int64_t>((next - now) / 1000 + 1, 60 * 60 * 1000));
  }

  void OnRefused(const std::string& who) override {
    Log(klb::LogLevel::kWarning, "NSDAL_REFUS", "connection of another user refused - " + who);
    Count([](Stats& s) { ++s.connections_refused; });
  }

  bool OnAccepted(ConnectionId id, uint32_t pid) override {
    const auto of_process =
        std::ranges::count_if(connections, [&](const auto& c) { return c.second.pid == pid; });
    if (connections.size() >= kMaxConnections ||
        static_cast<std::size_t>(of_process) >= kMaxConnectionsPerProcess) {
      Log(klb::LogLevel::kWarning, "NSDAL_TOOMN",
          "too many connections - pid=" + std::to_string(pid));
      return false;
    }
    connections.emplace(
        id, Connection{FrameReader(options.max_frame_bytes), pid, Tav::TimeTicks::Now()});
    return true;
  }

  void OnEnded(ConnectionId id) override {
    auto found = connections.find(id);
    if (found == connections.end()) return;
    buffered -= found->second.reader.buffered();
    connections.erase(found);
  }

  bool OnBytes(ConnectionId id, const char* data, std::size_t size) override {
    auto found = connections.find(id);
    if (found == connections.end()) return false;
    Connection& connection = found->second;
    connection.last_read_us = Tav::TimeTicks::Now();
    const std::size_t before = connection.reader.buffered();
    if (buffered + size > options.max_buffered_bytes) {
      Log(klb::LogLevel::kWarning, "NSDAL_BUDGT",
          "partial frames over the budget, connection closed - pid=" +
              std::to_string(connection.pid) + ", bytes=" + std::to_string(before));
      Count([](Stats& s) { ++s.connections_closed; });
      OnEnded(id);
      return false;
    }
    connection.reader.Feed(data, size);
    Frame frame;
    std::string error;
    for (;;) {
      const FrameReader::Result result = connection.reader.Next(&frame, &error);
      if (result == FrameReader::Result::kNeedMore) break;
      if (result == FrameReader::Result::kError) {
        Log(klb::LogLevel::kWarning, "NSDAL_BADFR",
            "malformed frame dropped, connection closed - error=" + error);
        Count([](Stats& s) { ++s.frames_malformed; });
        buffered -= before;
        connections.erase(found);
        return false;
      }
      Count([](Stats& s) { ++s.frames_received; });
      Handle(std::move(frame));
    }
    buffered = buffered - before + connection.reader.buffered();
    return true;
  }

  // Whether one more snapshot may be answered now (a bucket of a second's
  // answers, refilled as time passes).
  bool TakeAnswerToken() {
    const double rate = std::max<uint32_t>(options.snapshot_answers_per_second, 1);
    const int64_t now = Tav::TimeTicks::Now();
    answer_tokens = std::min(rate, answer_tokens + (now - answer_tokens_at_us) * rate / 1e6);
    answer_tokens_at_us = now;
    if (answer_tokens < 1) return false;
    answer_tokens -= 1;
    return true;
  }

  void Handle(Frame frame) {
    switch (frame.kind) {
      case FrameKind::kMessage:
        WithDelegate(
            [&](IDALBusDelegate& d) { d.OnBusMessage(frame.mode_id, frame.field_id, frame.text); });
        return;
      case FrameKind::kSnapshotRequest: {
        const std::string requester = frame.text;
        if (!transport->IsPeerName(requester)) return;
        std::string snapshot;
        if (TakeAnswerToken()) {
          WithDelegate(
              [&](IDALBusDelegate& d) { snapshot = d.OnBusSnapshotRequest(frame.mode_id); });
        } else {
          // "None" is cheap and sends the requester to another peer.
          Count([](Stats& s) { ++s.snapshots_refused; });
        }
        const std::string& own = transport->own_name();
        auto answer =
            EncodeFrame(Frame{FrameKind::kSnapshotAnswer, frame.mode_id, own, std::move(snapshot)},
                        options.max_frame_bytes);
        if (!answer) {
          // Too large to send: answer "none" so the requester asks elsewhere.
          answer = EncodeFrame(Frame{FrameKind::kSnapshotAnswer, frame.mode_id, own, ""});
        }
        auto bytes = std::make_shared<const std::string>(std::move(*answer));
        Post("DalSnapshotAnswer",
             [requester, bytes](Core& core) { core.Enqueue(requester, bytes); });
        return;
      }
      case FrameKind::kSnapshotAnswer: {
        auto shared = std::make_shared<Frame>(std::move(frame));
        Post("DalSnapshotReceived", [shared](Core& core) {
          core.OnAnswer(shared->mode_id, shared->field_id, std::move(shared->text));
        });
        return;
      }
    }
  }
};

StreamDalBus::StreamDalBus(const DalBusOptions& options,
                           std::unique_ptr<IDalStreamTransport> transport)
    : core_(std::make_shared<Core>()) {
  core_->options = options;
  core_->transport = std::move(transport);
  core_->log_prefix = std::string(core_->transport->log_name()) + ": ";
  core_->answer_tokens = std::max<uint32_t>(options.snapshot_answers_per_second, 1);
  core_->answer_tokens_at_us = Tav::TimeTicks::Now();
  Core* raw = core_.get();
  core_->receiver = std::thread([raw] { raw->transport->Receive(*raw, raw->stopping); });
  core_->Log(klb::LogLevel::kInfo, "NSDAL_JOINS",
             "joined - name=" + options.directory + "/" + core_->transport->own_name());
}

StreamDalBus::~StreamDalBus() {
  // A short-lived process's last messages still leave, within a bound.
  Drain(core_->options.shutdown_drain_limit);
  SetDelegate(nullptr);
  // The name goes first: a peer that connects now is refused by no one.
  core_->transport->Withdraw();
  core_->stopping.store(true, std::memory_order_release);
  core_->transport->Wake();
  if (core_->receiver.joinable()) core_->receiver.join();
}

bool StreamDalBus::Drain(std::chrono::milliseconds timeout) {
  auto waiter = std::make_shared<Core::DrainWaiter>();
  // Two hops: a send that a task running now posts (a coalesced flush) is
  // queued before the second.
  const bool posted = core_->Post("DalDrain", [waiter](Core& core) {
    core.Post("DalDrain", [waiter](Core& inner) {
      inner.drain_waiters.push_back(waiter);
      inner.NotifyDrainedIfEmpty();
    });
  });
  if (!posted) return false;  // no runner any more: nothing can be sent
  std::unique_lock lock(waiter->mutex);
  return waiter->done_changed.wait_for(lock, timeout, [&] { return waiter->done; });
}

void StreamDalBus::SetDelegate(IDALBusDelegate* delegate) {
  std::lock_guard lock(core_->delegate_mutex);
  core_->delegate = delegate;
}

void StreamDalBus::Publish(const std::string& mode_id, const std::string& field_id,
                           const std::string& text, int32_t target) {
  auto encoded = EncodeFrame(Frame{FrameKind::kMessage, mode_id, field_id, text},
                             core_->options.max_frame_bytes);
  if (!encoded) {
    core_->Log(klb::LogLevel::kWarning, "NSDAL_TOOBG",
               "message over the size limit not sent - field=" + field_id +
                   ", bytes=" + std::to_string(text.size()));
    return;
  }
  auto bytes = std::make_shared<const std::string>(std::move(*encoded));
  core_->Post("DalPublish", [bytes, target](Core& core) { core.SendToAll(bytes, target); });
}

void StreamDalBus::RequestSnapshot(const std::string& mode_id) {
  core_->Post("DalSnapshotRequest", [mode_id](Core& core) { core.StartAsk(mode_id); });
}

const std::string& StreamDalBus::socket_name() const {
  return core_->transport->own_name();
}
const std::string& StreamDalBus::directory() const {
  return core_->options.directory;
}

StreamDalBus::Stats StreamDalBus::stats() const {
  std::lock_guard lock(core_->stats_mutex);
  return core_->counters;
}

bool StreamDalBus::WaitForStats(const std::function<bool(const Stats&)>& done,
                                std::chrono::milliseconds timeout) const {
  std::unique_lock lock(core_->stats_mutex);
  return core_->stats_changed.wait_for(lock, timeout, [&] { return done(core_->counters); });
}

}  // namespace ns_dal
