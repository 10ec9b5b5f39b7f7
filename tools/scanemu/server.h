// SPDX-License-Identifier: MIT
// The listening side of the emulator: accepts connections on its address and
// serves each on its own thread until told to stop.
#ifndef SCANBRIDGE_TOOLS_SCANEMU_SERVER_H_
#define SCANBRIDGE_TOOLS_SCANEMU_SERVER_H_

#include <atomic>
#include <list>
#include <memory>
#include <thread>

#include "tools/scanemu/connection.h"
#include "tools/scanemu/options.h"

namespace scanbridge::tools::scanemu {

// Commands for post(), one byte each.
inline constexpr char COMMAND_STOP = 's';
inline constexpr char COMMAND_NOTICE = 'n';
inline constexpr char COMMAND_DISCONNECT = 'd';

class server {
 public:
  explicit server(const emulator_options& options);
  // Stops every connection and waits for its thread.
  ~server();

  server(const server&) = delete;
  server& operator=(const server&) = delete;

  // Binds the listening socket; logs the reason and returns false on failure.
  bool listen();
  // The bound port, once listen() has succeeded.
  int port() const { return port_; }
  // Serves connections until COMMAND_STOP arrives.
  void run();
  // Queues a command for run(). Async-signal-safe, so signal handlers use it.
  void post(char command) const;
  void stop() const { post(COMMAND_STOP); }

 private:
  struct slot {
    std::unique_ptr<connection_control> control;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void accept_();
  void reap_();
  void broadcast_(unsigned requests);
  void stop_all_();

  const emulator_options options_;
  int listen_fd_ = -1;
  int port_ = -1;
  int command_read_ = -1;
  int command_write_ = -1;
  int next_id_ = 1;
  std::list<std::unique_ptr<slot>> slots_;
};

}  // namespace scanbridge::tools::scanemu

#endif  // SCANBRIDGE_TOOLS_SCANEMU_SERVER_H_
