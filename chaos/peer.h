// SPDX-License-Identifier: MIT
// A scanner on the loopback interface that answers the bridge correctly most
// of the time and otherwise misbehaves in every way a network scanner can:
// it greets late, badly or never; stalls at a random byte of a packet;
// trickles its answer a byte at a time; floods notices; sends packets of
// unexpected types; resets; stops reading; half-closes.
//
// Each connection is served by a thread of its own, with a random source
// derived from the peer's seed and the connection's number, so that a
// scenario replays the same choices.
#ifndef SCANBRIDGE_CHAOS_PEER_H_
#define SCANBRIDGE_CHAOS_PEER_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chaos/support.h"

namespace scanbridge::chaos {

class scanner_peer {
 public:
  // is: the IS variant, else NT. Starts listening at once.
  scanner_peer(bool is, std::uint64_t seed, const limits& lim);
  // Resets every connection and joins every thread.
  ~scanner_peer();
  scanner_peer(const scanner_peer&) = delete;
  scanner_peer& operator=(const scanner_peer&) = delete;

  int port() const { return port_; }
  bool is() const { return is_; }
  // When this peer last did anything on the wire: accepted or closed a
  // connection, sent or received a byte. The bridge's waits are bounded from
  // there.
  std::int64_t last_activity() const { return last_activity_; }
  // Starts watching for the longest stretch without activity from now on.
  void watch_gaps();
  // The longest such stretch since watch_gaps(), the one still open
  // included. While the bridge owes this scanner something, nothing but its
  // own time-outs may make a stretch long.
  std::int64_t longest_gap() const;
  int connections() const { return connections_; }
  // How many times it did anything but answer correctly.
  long misbehaviours() const { return misbehaviours_; }
  // The acts it chose, one line each, for the scenario's record.
  std::vector<std::string> take_log();

 private:
  friend class connection;
  void accept_loop_();
  void touch_();
  void note_(const std::string& line);

  const bool is_;
  const std::uint64_t seed_;
  const limits lim_;
  harness_socket listener_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::int64_t> last_activity_;
  std::atomic<std::int64_t> watched_from_{0};
  std::atomic<std::int64_t> longest_gap_{0};
  std::atomic<int> connections_{0};
  std::atomic<long> misbehaviours_{0};
  std::mutex lock_;
  std::vector<std::string> log_;
  std::vector<std::thread> served_;
  std::thread acceptor_;
};

}  // namespace scanbridge::chaos

#endif  // SCANBRIDGE_CHAOS_PEER_H_
