#include "ControlServer.h"

#include <mutex>

namespace merloxd {
namespace {

// Reads the lines of one client. A line longer than the protocol allows is answered
// with an error, and the client is closed: what follows could not be trusted to
// start a message.
class LineReader {
 public:
  explicit LineReader(ControlConnection& connection) : connection_(connection) {}

  // The next line, without its newline; false when the client has gone.
  bool Next(std::string& line) {
    for (;;) {
      const size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
      if (pending_.size() > kMaximumControlLine) {
        line = std::move(pending_);  // the protocol refuses it for its length
        pending_.clear();
        tooLong_ = true;
        return true;
      }
      char buffer[1024];
      const size_t got = connection_.Read(buffer, sizeof(buffer));
      if (got == 0) return false;
      pending_.append(buffer, got);
    }
  }
  bool tooLong() const { return tooLong_; }

 private:
  ControlConnection& connection_;
  std::string pending_;
  bool tooLong_ = false;
};

}  // namespace

ControlServer::ControlServer(std::unique_ptr<ControlListener> listener, Engine& engine)
    : listener_(std::move(listener)), protocol_(engine) {}

ControlServer::~ControlServer() { Stop(); }

void ControlServer::Start() {
  acceptor_.Start([this] { AcceptLoop(); });
}

void ControlServer::Stop() {
  {
    std::lock_guard<merlox::tools::Mutex> lock(mutex_);
    stopping_ = true;
    for (Client& client : clients_) client.connection->Shut();
  }
  listener_->Stop();
  acceptor_.Join();
  // No client is added after the acceptor has ended.
  for (Client& client : clients_) client.thread.Join();
  clients_.clear();
}

void ControlServer::ReapFinished() {
  std::list<Client> finished;
  {
    std::lock_guard<merlox::tools::Mutex> lock(mutex_);
    for (auto it = clients_.begin(); it != clients_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), clients_, it);
      it = next;
    }
  }
  for (Client& client : finished) client.thread.Join();
}

void ControlServer::AcceptLoop() {
  while (std::unique_ptr<ControlConnection> connection = listener_->Accept()) {
    ReapFinished();
    {
      std::lock_guard<merlox::tools::Mutex> lock(mutex_);
      if (stopping_) return;
      if (clients_.size() < kMaximumClients) {
        clients_.emplace_back();
        Client& client = clients_.back();
        client.connection = std::move(connection);
        if (!client.thread.Start([this, &client] { Serve(client); })) clients_.pop_back();
        continue;
      }
    }
    connection->Write("{\"ok\":false,\"error\":\"too many clients at once; try again later\"}\n");
  }
}

void ControlServer::Serve(Client& client) {
  ControlConnection& connection = *client.connection;
  LineReader reader(connection);
  std::string line;
  while (reader.Next(line)) {
    if (line.empty()) continue;
    if (!connection.Write(protocol_.Answer(line, connection.access()) + "\n")) break;
    if (reader.tooLong()) break;
  }
  // The client sees the end now, not when its thread is reaped.
  connection.Shut();
  std::lock_guard<merlox::tools::Mutex> lock(mutex_);
  client.done = true;
}

}  // namespace merloxd
