// SPDX-License-Identifier: MIT
#include "net/peer_owner.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace scanbridge {

namespace {

// One sock_diag request: a netlink header and an inet_diag_req_v2.
struct diag_request {
  nlmsghdr header;
  inet_diag_req_v2 body;
};

// Copies the address and port of a socket address into a diag socket id's
// address field and port. False for a family other than IPv4 and IPv6.
bool copy_address(const sockaddr_storage& from, __be32* address, __be16* port) {
  if (from.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(from);
    std::memcpy(address, &in.sin_addr, sizeof in.sin_addr);
    *port = in.sin_port;
    return true;
  }
  if (from.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(from);
    std::memcpy(address, &in6.sin6_addr, sizeof in6.sin6_addr);
    *port = in6.sin6_port;
    return true;
  }
  return false;
}

// The request for the socket whose own end is fd's peer and whose other end
// is fd: an exact look-up (no NLM_F_DUMP) in any TCP state.
bool make_request(int fd, diag_request* request) {
  sockaddr_storage ours{};
  sockaddr_storage theirs{};
  socklen_t length = sizeof ours;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &length) != 0) return false;
  length = sizeof theirs;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &length) != 0) return false;
  if (ours.ss_family != theirs.ss_family) return false;
  *request = {};
  request->header.nlmsg_len = sizeof *request;
  request->header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request->header.nlmsg_flags = NLM_F_REQUEST;
  request->body.sdiag_family = static_cast<__u8>(ours.ss_family);
  request->body.sdiag_protocol = IPPROTO_TCP;
  request->body.idiag_states = ~0U;
  inet_diag_sockid& id = request->body.id;
  id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  return copy_address(theirs, id.idiag_src, &id.idiag_sport) &&
         copy_address(ours, id.idiag_dst, &id.idiag_dport);
}

}  // namespace

std::optional<uid_t> peer_owner(int fd) {
  diag_request request;
  if (!make_request(fd, &request)) return std::nullopt;
  const int diag = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (diag < 0) return std::nullopt;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  std::optional<uid_t> owner;
  // The kernel answers while it takes the request, so the answer is waiting
  // when sendto() returns: the receive need not wait.
  if (::sendto(diag, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) == static_cast<ssize_t>(sizeof request)) {
    alignas(nlmsghdr) unsigned char answer[512];
    const ssize_t n = ::recv(diag, answer, sizeof answer, MSG_DONTWAIT);
    const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
    if (n > 0 && NLMSG_OK(header, static_cast<unsigned>(n)) &&
        header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
        header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      owner = static_cast<const inet_diag_msg*>(NLMSG_DATA(header))->idiag_uid;
    }
  }
  ::close(diag);
  return owner;
}

bool peer_is_stranger(int fd, uid_t* owner) {
  const std::optional<uid_t> found = peer_owner(fd);
  if (!found || *found == 0 || *found == ::geteuid()) return false;
  *owner = *found;
  return true;
}

}  // namespace scanbridge
