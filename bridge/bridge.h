// SPDX-License-Identifier: MIT
// The bridge process object: the client endpoint, the announced port and the
// table of open devices.
#ifndef SCANBRIDGE_BRIDGE_BRIDGE_H_
#define SCANBRIDGE_BRIDGE_BRIDGE_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>

#include "bridge/link.h"
#include "net/endpoint.h"
#include "session/scanner.h"

namespace scanbridge {

// The scanner port used when an OPEN address names none.
inline constexpr int DEFAULT_SCANNER_PORT = 1865;

// While the listening socket cannot be set up (another process holds the
// port, say), the pause before the next attempt instead of spinning.
inline constexpr std::chrono::milliseconds RELISTEN_PAUSE{100};

// The waits of the bridge. The process runs with these defaults; a harness
// that drives the bridge against hostile peers shortens them.
struct bridge_timing {
  std::chrono::milliseconds client = CLIENT_TIMEOUT;
  std::chrono::milliseconds relisten_pause = RELISTEN_PAUSE;
  // The timing of every device's session.
  session_timing session;
};

// Open devices by id, in ascending order. Ids start at 1; 0 stands for no
// device in replies. Each entry owns its session.
using device_table = std::map<std::uint32_t, std::unique_ptr<scanner>>;

// Message kinds of the client link.
inline constexpr std::uint32_t KIND_DATA = 0;
inline constexpr std::uint32_t KIND_OPEN = 4;
inline constexpr std::uint32_t KIND_CLOSE = 5;

class bridge {
 public:
  // Binds the loopback listening socket on a port the system chooses and
  // learns that port. A socket that cannot be set up leaves the port at 0;
  // the main loop keeps trying to set one up.
  explicit bridge(const bridge_timing& timing = {});
  // Closes every device in order, then the client endpoint.
  ~bridge();
  bridge(const bridge&) = delete;
  bridge& operator=(const bridge&) = delete;

  int port() const { return port_; }

  // Serves one client after another until a stop is requested.
  void run();

  // Handles one client message completely, replies included. The payload
  // stays the caller's.
  void dispatch(std::uint32_t id, std::uint32_t kind, const std::uint8_t* payload,
                std::uint32_t length);

  // Opens a device by the address in an OPEN payload and answers with its
  // new id, or with id 0 and status -1.
  void open_device(const std::uint8_t* payload, std::uint32_t length);

  // The smallest id of 1 or more that is not in use, or 0 when none is free.
  std::uint32_t next_id() const;

  // Closes and destroys every open device, in ascending id order; IS
  // scanners receive their close request, and each gets the session
  // timing's closing time to answer it, even after a stop that cut a wait
  // short before.
  void close_all();

  const device_table& devices() const { return devices_; }

 private:
  // Writes one reply; a failed write ends the link.
  void reply(std::uint32_t id, std::int32_t status, std::uint32_t length,
             const std::uint8_t* payload);
  // Closes every device and listens again on the same port for a client.
  void drop_client_();

  bridge_timing timing_;
  std::unique_ptr<endpoint> client_;
  // Reads the connected client's messages; made once the client is
  // accepted, dropped with the client endpoint.
  std::unique_ptr<link_reader> reader_;
  // A reply could not be written whole: the link is over.
  bool client_lost_ = false;
  int port_;
  device_table devices_;
};

}  // namespace scanbridge

#endif  // SCANBRIDGE_BRIDGE_BRIDGE_H_
