// IPM ports: named message ports between the RTS and its clients, one
// Unix-domain SOCK_SEQPACKET socket per port name, so that every write is
// one whole message and every read one whole message.
//
// A port name such as "rtp/TmsFore01" lives at the socket path
// RuntimePath("ipm/" + name) of the current runtime folder; each '/' of the
// name is a folder. Names are 1 to 63 characters of letters, digits, '_',
// '-', '.' and '/', without empty, "." or ".." parts.
//
// Access: the folders are made mode 0700 and the socket 0600; both ends
// check the peer's credentials (SO_PEERCRED) and refuse a peer of another
// user. Writes use MSG_NOSIGNAL: a vanished peer is an error, never SIGPIPE.
#pragma once

#include <string>
#include <string_view>

// The socket path of a port name; "" (with errno EINVAL) for a bad name and
// (ENAMETOOLONG) for a path that does not fit a socket address.
std::string IpmPortPath(std::string_view portName);

// 0 when the socket's peer runs as this process's user; an errno otherwise.
int IpmCheckPeer(int socketFd);
