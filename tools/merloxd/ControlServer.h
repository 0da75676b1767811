// Serves the control channel beside the engine: a thread takes the clients, and
// each client has a thread of its own that reads its lines and writes the answers,
// so that a client that sends nothing holds up only itself. The number of clients
// at once is bounded; one more is told so and closed.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "ControlProtocol.h"
#include "Threads.h"
#include "platform/ControlChannel.h"

namespace merloxd {

class ControlServer {
 public:
  static constexpr size_t kMaximumClients = 32;

  ControlServer(std::unique_ptr<ControlListener> listener, Engine& engine);
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;
  ~ControlServer();

  void Start();
  // Closes the channel and every client, and waits for their threads.
  void Stop();

 private:
  struct Client {
    std::unique_ptr<ControlConnection> connection;
    merlox::tools::Thread thread;
    bool done = false;  // under mutex_
  };
  void AcceptLoop();
  void Serve(Client& client);
  void ReapFinished();

  std::unique_ptr<ControlListener> listener_;
  ControlProtocol protocol_;
  merlox::tools::Thread acceptor_;
  merlox::tools::Mutex mutex_;
  std::list<Client> clients_;  // under mutex_
  bool stopping_ = false;      // under mutex_
};

}  // namespace merloxd
