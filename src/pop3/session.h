// POP3 dialogue around a mailbox visit: greeting, USER/PASS, STAT, DELE, QUIT,
// and the teardown used after failures.
#pragma once

#include "api/session.h"

namespace brevorin {

// Longest texts that fit the 516-byte command buffers with their command
// words and line end.
constexpr int kMaxHostLength = 515;
constexpr int kMaxUserLength = 508;
constexpr int kMaxPasswordLength = 508;

// The pause after a successful PASS.
constexpr unsigned kAuthPauseMs = 3000;

// Reads one status line: 0 for "+OK", -1 otherwise. text (may be null, room
// for size + 1 bytes) receives the status text.
int read_status(int sock, char* text, int size, const MailSession* session);
int authenticate_user(int sock, const char* user, const char* password, char* text, int size,
                 const MailSession* session);
int read_stat(int sock, int* count, int* octets, const MailSession* session);

int logon(const char* server, const char* user, const char* password, MailSession* session);
int logoff(MailSession* session);
int delete_message(int message, MailSession* session);

int tear_down(MailSession* session);
void forget_message(int number, MailSession* session);
int is_network_error(const MailSession* session);

// Splits "host[+port]": false when the host part does not fit its buffer.
// Port is read the way atoi reads it; default_port without '+'.
bool split_server(const char* server, int default_port, std::string& host, int& port,
                  bool& port_given);

}  // namespace brevorin
