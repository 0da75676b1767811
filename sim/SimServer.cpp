#include "SimServer.h"

#include <cstdio>
#include <stdexcept>

#include "SimDriver.h"

namespace merlox::sim {
namespace {

// How often the clock thread moves the cards' time on.
constexpr unsigned kClockTickMilliseconds = 10;

}  // namespace

Server::~Server() {
  Stop();
  clock_.Join();
}

bool Server::Start(const std::string& name, int cards, std::string* problem) {
  listener_ = ListenAsSimulator(name, problem);
  if (!listener_) return false;
  for (int i = 0; i < cards; ++i) PlugCard(0x8080);
  if (!clock_.Start([this] { ClockLoop(); })) {
    *problem = "cannot start the clock's thread";
    listener_.reset();
    return false;
  }
  return true;
}

int Server::PlugCard(uint16_t productId) {
  CardConfig config;
  config.productId = productId;
  Driver& driver = Driver::Instance();
  const int card = driver.Plug(config);
  // A room's readings (22.5 C, 45 %) and 250 mV steps on the analog inputs, so that
  // a fresh card reads like one on a desk rather than at the scales' ends.
  constexpr uint16_t kCounts[] = {25865, 26739, 6553, 13107, 19660, 26214};
  driver.WithCard(card, [&](Card& firmware) {
    for (int i = 0; i < 6; ++i) firmware.SetSensorCount(static_cast<SensorCount>(i), kCounts[i]);
    return 0;
  });
  Adopt(card);
  return card;
}

void Server::Adopt(int card) {
  SimLock lock(mutex_);
  hostResets_.emplace(card, 0);
}

bool Server::KnowsCard(int card) {
  {
    SimLock lock(mutex_);
    if (hostResets_.count(card) == 0) return false;
  }
  try {
    Driver::Instance().IsPlugged(card);
    return true;
  } catch (const std::out_of_range&) {
    return false;
  }
}

std::vector<int> Server::KnownCards() {
  std::vector<int> cards;
  {
    SimLock lock(mutex_);
    for (const auto& [card, resets] : hostResets_) cards.push_back(card);
  }
  std::vector<int> known;
  for (const int card : cards) {
    if (KnowsCard(card)) known.push_back(card);
  }
  return known;
}

void Server::Run() {
  while (auto channel = listener_->Accept()) {
    ReapFinished();
    auto connection = std::make_unique<Connection>();
    connection->channel = std::move(channel);
    Connection* raw = connection.get();
    {
      SimLock lock(mutex_);
      connections_.push_back(std::move(connection));
    }
    // Without a thread of its own the connection is dropped: its client sees the
    // stream end.
    if (!raw->thread.Start([this, raw] { Serve(*raw); })) raw->finished.store(true);
  }
  // Stopping: every connection ends, and with it every session, whose handles
  // close and whose pending reads end, so that every thread comes back.
  std::vector<uint64_t> sessions;
  {
    SimLock lock(mutex_);
    for (auto& connection : connections_) connection->channel->Shut();
    for (const auto& [id, session] : sessions_) sessions.push_back(id);
  }
  for (const uint64_t session : sessions) EndSession(session);
  std::vector<std::unique_ptr<Connection>> connections;
  {
    SimLock lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& connection : connections) connection->thread.Join();
  clock_.Join();
}

void Server::Stop() {
  stopping_.store(true);
  if (listener_) listener_->Stop();
}

void Server::ReapFinished() {
  std::vector<std::unique_ptr<Connection>> finished;
  {
    SimLock lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if ((*it)->finished.load()) {
        finished.push_back(std::move(*it));
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& connection : finished) connection->thread.Join();
}

void Server::Refuse(const std::string& why) {
  std::fprintf(stderr, "merloxsim: refused a connection: %s\n", why.c_str());
  SimEvent event;
  event.kind = SimEvent::Kind::kRefused;
  event.text = why;
  events_.Record(std::move(event));
}

void Server::Serve(Connection& connection) {
  Channel& channel = *connection.channel;
  std::string problem;
  const auto hello = ReadMessage(channel, &problem);
  wire::Message empty;
  wire::Reader reader(hello ? hello->payload : empty.payload);
  const uint64_t session = reader.U64();
  const bool lifeline = reader.U8() != 0;
  if (!hello || hello->kind != static_cast<uint16_t>(wire::Kind::kHello) || !reader.ok()) {
    if (hello || !problem.empty()) Refuse(problem.empty() ? "no hello first" : problem);
    channel.Shut();
    connection.finished.store(true);
    return;
  }
  {
    SimLock lock(mutex_);
    Session& entry = sessions_[session];
    ++entry.connections;
    if (lifeline) ++entry.lifelines;
  }
  bool ok = WriteMessage(channel, hello->kind | wire::kReplyBit, {});
  while (ok && !stopping_.load()) {
    const auto message = ReadMessage(channel, &problem);
    if (!message) {
      if (!problem.empty()) Refuse(problem);
      break;
    }
    // The lifeline carries nothing: it only tells when the process is gone.
    const auto reply = lifeline ? std::nullopt : Answer(session, *message);
    if (!reply) {
      Refuse("malformed request of kind " + std::to_string(message->kind));
      break;
    }
    ok = WriteMessage(channel, message->kind | wire::kReplyBit, *reply);
  }
  channel.Shut();
  bool end = false;
  {
    SimLock lock(mutex_);
    Session& entry = sessions_[session];
    --entry.connections;
    if (lifeline) --entry.lifelines;
    // A process's lifeline closing means it is gone, even while other connections
    // of it are still blocked in the driver; without a lifeline, its last
    // connection closing does.
    end = lifeline ? entry.lifelines == 0 : entry.connections == 0 && entry.lifelines == 0;
  }
  if (end) EndSession(session);
  connection.finished.store(true);
}

void Server::EndSession(uint64_t session) {
  std::set<uintptr_t> handles;
  std::set<uintptr_t> infoSets;
  {
    SimLock lock(mutex_);
    auto it = sessions_.find(session);
    if (it == sessions_.end()) return;
    handles.swap(it->second.handles);
    infoSets.swap(it->second.infoSets);
    if (it->second.connections == 0) sessions_.erase(it);
  }
  Driver& driver = Driver::Instance();
  for (const uintptr_t handle : handles) driver.CloseAbandoned(reinterpret_cast<HANDLE>(handle));
  for (const uintptr_t set : infoSets)
    driver.DestroyDeviceInfoList(reinterpret_cast<HDEVINFO>(set));
}

void Server::ClockLoop() {
  uint64_t last = SimMilliseconds();
  while (!stopping_.load()) {
    SleepMicroseconds(kClockTickMilliseconds * 1000);
    const uint64_t now = SimMilliseconds();
    if (now > last) Driver::Instance().AdvanceClock(now - last);
    last = now;
    NoteHostResets();
  }
}

void Server::NoteHostResets() {
  SimLock notes(notesMutex_);
  std::map<int, unsigned> seen;
  {
    SimLock lock(mutex_);
    seen = hostResets_;
  }
  for (auto& [card, count] : seen) {
    unsigned now = count;
    try {
      now = Driver::Instance().WithCard(
          card, [](Card& firmware) { return firmware.watchdog().hostResets; });
    } catch (const std::out_of_range&) {
      continue;  // forgotten after many replugs
    }
    // A replug starts the counter again from 0.
    const unsigned base = now < count ? 0 : count;
    for (unsigned i = base; i < now; ++i) {
      SimEvent event;
      event.kind = SimEvent::Kind::kHostReset;
      event.card = card;
      events_.Record(std::move(event));
    }
    count = now;
  }
  SimLock lock(mutex_);
  for (const auto& [card, count] : seen) hostResets_[card] = count;
}

bool Server::OwnsHandle(uint64_t session, uint64_t handle) {
  SimLock lock(mutex_);
  auto it = sessions_.find(session);
  return it != sessions_.end() && it->second.handles.count(static_cast<uintptr_t>(handle)) != 0;
}

bool Server::OwnsInfoSet(uint64_t session, uint64_t set) {
  SimLock lock(mutex_);
  auto it = sessions_.find(session);
  return it != sessions_.end() && it->second.infoSets.count(static_cast<uintptr_t>(set)) != 0;
}

void Server::Track(uint64_t session, std::set<uintptr_t> Session::*what, uintptr_t value,
                   bool add) {
  SimLock lock(mutex_);
  std::set<uintptr_t>& values = sessions_[session].*what;
  if (add) {
    values.insert(value);
  } else {
    values.erase(value);
  }
}

std::optional<std::vector<uint8_t>> Server::Answer(uint64_t session, const wire::Message& message) {
  const auto kind = static_cast<wire::Kind>(message.kind);
  wire::Reader in(message.payload);
  std::optional<std::vector<uint8_t>> reply;
  // A card forgotten between the check and the call (after many replugs).
  try {
    if (message.kind >= static_cast<uint16_t>(wire::Kind::kPlug) &&
        message.kind <= static_cast<uint16_t>(wire::Kind::kLast)) {
      reply = AnswerControlCall(kind, in);
    } else if (message.kind > static_cast<uint16_t>(wire::Kind::kHello) &&
               message.kind < static_cast<uint16_t>(wire::Kind::kPlug)) {
      reply = AnswerDriverCall(session, kind, in);
    }
  } catch (const std::out_of_range&) {
    wire::Writer unknown;
    unknown.U32(87);
    reply = unknown.payload();
  }
  return reply;
}

}  // namespace merlox::sim
