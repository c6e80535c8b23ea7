// Blocking TCP transport: open, read one line, write, close.
//
// Each connection owns a read-ahead buffer, so a line costs one system call
// per block rather than a peek and a receive per line. The readers still hand
// out exactly one line per call (or a piece of a longer one) and never a byte
// of the next line; what is buffered counts as waiting to be read.
#pragma once

#include "api/session.h"

namespace brevorin {

// Connects to host (dotted IPv4 or a name) and port; a socket or -1.
int sock_open(const char* host, int port);

// One line into buffer, at most size - 1 bytes, terminated; the byte count
// (terminator not counted) or -1.
int sock_read_line(int sock, char* buffer, int size, const MailSession* session);

// One line into buffer, at most size bytes, not terminated; the count or -1.
int sock_read_raw(int sock, char* buffer, int size, const MailSession* session);

// Writes all of data; length, 0 for an empty write, or -1.
int sock_write(int sock, const char* data, int length);

// Shuts down and closes; the close's result (0 on success).
int sock_close(int sock);

// Bytes waiting to be read: the read-ahead buffer plus the socket's. 0 or -1.
int sock_pending(int sock, unsigned long* count);

// The last socket error (a Windows Sockets error number) and its setter.
int sock_error();
void sock_set_error(int code);

// Gathering of writes: while corked, sock_write collects data and sends it in
// large blocks; a failed send shows as -1 from the sock_write or sock_uncork
// that triggered it. sock_uncork sends what is left: 0 or -1.
void sock_cork(int sock);
int sock_uncork(int sock);

// Sockets layer start and release (WSAStartup 1.1 / WSACleanup).
int sockets_startup(uint16_t* version);
int sockets_cleanup();

}  // namespace brevorin
