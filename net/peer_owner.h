// SPDX-License-Identifier: MIT
// Which user owns the other end of a TCP connection on this machine.
#ifndef SCANBRIDGE_NET_PEER_OWNER_H_
#define SCANBRIDGE_NET_PEER_OWNER_H_

#include <sys/types.h>

#include <optional>

namespace scanbridge {

// The user that owns the socket at the other end of the connected TCP
// socket fd, asked of the kernel (NETLINK_SOCK_DIAG) by the connection's
// four addresses: that socket's own address and port are fd's peer's, and it
// is connected to fd's. nullopt when the kernel cannot say: no sock_diag, the
// other end is not on this machine or is already gone, or fd is no TCP socket.
std::optional<uid_t> peer_owner(int fd);

// True when the peer of fd belongs to neither this process's effective user
// nor root, as far as the kernel can tell; a peer of unknown owner is no
// stranger.
bool peer_is_stranger(int fd, uid_t* owner);

}  // namespace scanbridge

#endif  // SCANBRIDGE_NET_PEER_OWNER_H_
