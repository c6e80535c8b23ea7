#include "pop3/session.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "api/text.h"
#include "net/transport.h"
#include "platform/sleep.h"

namespace brevorin {

namespace {

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool holds_line_break(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }

int send_command(int sock, const char* command) {
    int length = static_cast<int>(std::strlen(command));
    return sock_write(sock, command, length) == length ? 0 : -1;
}

// Checks the caller's logon texts before anything is sent: they must be
// given, fit the command buffers, and hold no line break that would let them
// inject further POP3 commands. The password is never shown.
bool logon_input_acceptable(const char* server, const char* user, const char* password,
                            const MailSession* session) {
    if (server == nullptr || user == nullptr || password == nullptr) {
        diag_print(session, 'E', 1, "LOGONMAIL: Refused: server, user or password missing");
        return false;
    }
    if (std::strlen(user) > kMaxUserLength) {
        diag_print(session, 'E', 1, "LOGONMAIL: Refused: user name longer than %d characters",
                   kMaxUserLength);
        return false;
    }
    if (std::strlen(password) > kMaxPasswordLength) {
        diag_print(session, 'E', 1, "LOGONMAIL: Refused: password longer than %d characters",
                   kMaxPasswordLength);
        return false;
    }
    if (holds_line_break(user)) {
        diag_print(session, 'E', 1, "LOGONMAIL: Refused: user name holds a line break");
        return false;
    }
    if (holds_line_break(password)) {
        diag_print(session, 'E', 1, "LOGONMAIL: Refused: password holds a line break");
        return false;
    }
    return true;
}

}  // namespace

bool split_server(const char* server, int default_port, std::string& host, int& port,
                  bool& port_given) {
    const char* plus = std::strchr(server, '+');
    size_t host_length = plus != nullptr ? static_cast<size_t>(plus - server) : std::strlen(server);
    if (host_length > kMaxHostLength) return false;
    host.assign(server, host_length);
    port_given = plus != nullptr;
    port = port_given ? parse_int_like_atoi(plus + 1) : default_port;
    return true;
}

namespace {

// Reads and drops the rest of a status line longer than the reply buffer, so
// that the next command reads its own reply. 0, or -1 when the read fails.
int drop_rest_of_line(int sock, const MailSession* session) {
    char rest[kCommandBuffer];
    int n;
    do {
        n = sock_read_line(sock, rest, kReplyCapacity, session);
        if (n == -1) return -1;
    } while (n > 0 && rest[n - 1] != '\n');
    return 0;
}

}  // namespace

int read_status(int sock, char* text, int size, const MailSession* session) {
    char line[kCommandBuffer];
    int length = sock_read_line(sock, line, kReplyCapacity, session);
    if (length > 0 && line[length - 1] != '\n' && drop_rest_of_line(sock, session) == -1)
        length = -1;
    if (length == -1) {
        if (text != nullptr) text[0] = '\0';
        diag_print(session, 'D', 0, "POP3_OK: Error, = %d", -1);
        diag_print(session, 'D', 0, "POP3OK: Received buffer: %s", text != nullptr ? text : "");
        return -1;
    }
    if (line[0] != '+' && line[0] != '-') {
        if (text != nullptr) text[0] = '\0';
        return -1;
    }
    // The status word is the sign and the letters after it; the one
    // character behind it is a separator unless the line ends there.
    size_t word_end = 1;
    while (is_letter(line[word_end])) ++word_end;
    const char* status_text = line + word_end;
    if (*status_text != '\0') ++status_text;
    int result = (word_end == 3 && std::strncmp(line, "+OK", 3) == 0) ? 0 : -1;
    if (text != nullptr) {
        if (std::strlen(status_text) > static_cast<size_t>(size)) {
            text[0] = '\0';
            diag_print(session, 'E', 1, "POP3_OK: Buffer too small");
            return -1;
        }
        std::strcpy(text, status_text);
    }
    diag_print(session, 'D', 0, "POP3OK: Received buffer: %s", text != nullptr ? text : "");
    return result;
}

int authenticate_user(int sock, const char* user, const char* password, char* text, int size,
                 const MailSession* session) {
    char command[kCommandBuffer];
    std::snprintf(command, sizeof command, "USER %s\r\n", user);
    if (send_command(sock, command) != 0) return -1;
    char reply[kCommandBuffer];
    if (read_status(sock, reply, kReplyCapacity, session) == -1) return -1;
    if (reply[0] != '\0')
        diag_print(session, 'D', 0, "POP3_GETAUTH: Message from server after USER command: %s",
                   reply);
    std::snprintf(command, sizeof command, "PASS %s\r\n", password);
    int sent = send_command(sock, command);
    std::memset(command, 0, sizeof command);  // do not leave the password on the stack
    if (sent != 0) return -1;
    if (read_status(sock, text, size, session) == -1) return -1;
    if (text != nullptr && text[0] != '\0')
        diag_print(session, 'D', 0, "POP3_GETAUTH: Message from server after PASS: %s", text);
    platform::sleep_ms(kAuthPauseMs);
    return 0;
}

int read_stat(int sock, int* count, int* octets, const MailSession* session) {
    if (sock_write(sock, "STAT\r\n", 6) != 6) return -1;
    diag_print(session, 'F', 2, "POP3_GETRANGE; Going to send STAT command");
    char reply[kCommandBuffer];
    if (read_status(sock, reply, kReplyCapacity, session) != 0) return -1;
    if (reply[0] != '\0') diag_print(session, 'D', 0, "POP3_GETRANGE: Response from server: %s", reply);
    if (std::sscanf(reply, "%d %d", count, octets) != 2) {
        diag_print(session, 'E', 1, "POP3_GETRANGE: Response from server not parsable");
        return -1;
    }
    diag_print(session, 'D', 0, "POP3_GETRANGE: Received countp=%d, bytes=%d", *count, *octets);
    return 0;
}

int logon(const char* server, const char* user, const char* password, MailSession* session) {
    if (session->logged_on == 1) return kLoggedOn;
    if (!logon_input_acceptable(server, user, password, session)) return kInvalid;
    std::string host;
    int port = 110;
    bool port_given = false;
    if (!split_server(server, 110, host, port, port_given)) {
        diag_print(session, 'E', 1, "LOGONMAIL: Refused: host name longer than %d characters",
                   kMaxHostLength);
        return kInvalid;
    }
    if (port_given) diag_print(session, 'F', 0, "LOGONMAIL: Using port: %d in stead of default port", port);
    diag_print(session, 'F', 1, "LOGONMAIL: Opening connection with server: %s and port: %d",
               host.c_str(), port);
    session->socket = sock_open(host.c_str(), port);
    if (session->socket == -1) {
        diag_print(session, 'F', 1, "LOGONMAIL: Exit because of socket error");
        return kNetwork;
    }
    diag_print(session, 'F', 1, "LOGONMAIL: Opened socket, nr: %d\n", session->socket);

    char reply[kCommandBuffer];
    if (read_status(session->socket, reply, kReplyCapacity, session) == -1) {
        diag_print(session, 'E', 1, "LOGONMAIL: Exit because of erronous server response");
        if (reply[0] != '\0') diag_print(session, 'D', 0, "LOGONMAIL: Server response: %s", reply);
        sock_close(session->socket);
        session->socket = -1;
        return kNetwork;
    }
    diag_print(session, 'D', 0, "LOGONMAIL: Got reply from server: %s", reply);

    reply[0] = '\0';
    if (authenticate_user(session->socket, user, password, reply, kReplyCapacity, session) == -1) {
        diag_print(session, 'E', 1, "LOGONMAIL: Exit because of authorization fault");
        if (reply[0] != '\0') diag_print(session, 'D', 0, "LOGONMAIL: Server response: %s", reply);
        sock_close(session->socket);
        session->socket = -1;
        return kRefused;
    }
    diag_print(session, 'D', 0, "LOGONMAIL: Got authorization reply from server: %s", reply);

    int count = 0;
    int octets = 0;
    if (read_stat(session->socket, &count, &octets, session) == -1) {
        sock_close(session->socket);
        session->socket = -1;
        return kNetwork;
    }
    session->message_count = count;
    session->mailbox_octets = octets;
    try {
        // A negative count from the server is taken as an empty mailbox.
        session->messages.assign(static_cast<size_t>(count > 0 ? count : 0) + 1, MessageEntry{});
    } catch (const std::exception&) {  // bad_alloc, or length_error for a huge count
        session->messages.clear();
        session->message_count = -1;
        session->mailbox_octets = -1;
        sock_close(session->socket);
        session->socket = -1;
        return kNoTable;
    }
    for (size_t n = 1; n < session->messages.size(); ++n) session->messages[n].present = 1;
    if (count < 0) session->message_count = 0;
    session->logged_on = 1;
    session->top_support = -1;
    return kOk;
}

int logoff(MailSession* session) {
    if (session->logged_on != 1) return kNotLoggedOn;
    if (sock_write(session->socket, "QUIT\r\n", 6) != 6) {
        tear_down(session);
        return kNetwork;
    }
    diag_print(session, 'D', 1, "LOGOFFMAIL: Sent QUIT to server");
    char reply[kCommandBuffer];
    int ok = read_status(session->socket, reply, kReplyCapacity, session);
    if (reply[0] != '\0') diag_print(session, 'D', 0, "LOGOFFMAIL: Reply from server: %s", reply);
    if (ok == -1) {
        tear_down(session);
        return kNetwork;
    }
    return tear_down(session) == 0 ? kOk : kNetwork;
}

int delete_message(int message, MailSession* session) {
    if (session->logged_on == 0) return kNotLoggedOn;
    if (message < 1 || message > session->message_count || session->messages[message].present == 0)
        return kNoMessage;
    char command[kCommandBuffer];
    std::snprintf(command, sizeof command, "DELE %d\r\n", message);
    if (send_command(session->socket, command) != 0) {
        tear_down(session);
        return kNetwork;
    }
    diag_print(session, 'F', 2, "DELETEMAIL: Sent DELETE command to server for message: %d", message);
    char reply[kCommandBuffer];
    if (read_status(session->socket, reply, kReplyCapacity, session) == 0) {
        if (reply[0] != '\0')
            diag_print(session, 'D', 0, "DELETEMAIL: Received response from server: %s", reply);
        forget_message(message, session);
        return kOk;
    }
    if (is_network_error(session) == 1) {
        tear_down(session);
        return kNetwork;
    }
    return kNoMessage;
}

void forget_message(int number, MailSession* session) {
    diag_print(session, 'F', 0, "FREE_MESSAGE: freeing message number: %d", number);
    if (number < 0 || static_cast<size_t>(number) >= session->messages.size()) return;
    session->messages[number] = MessageEntry{};  // present 0, size -1, priority -1, texts null
}

int tear_down(MailSession* session) {
    diag_print(session, 'F', 0, "FREE_CONTEXT: Cleaning context");
    for (int n = 1; n <= session->message_count; ++n) forget_message(n, session);
    session->messages.clear();
    session->messages.shrink_to_fit();
    int result = sock_close(session->socket);
    session->socket = -1;
    session->logged_on = 0;
    session->top_support = -1;
    session->mailbox_octets = -1;
    session->message_count = -1;
    return result;
}

int is_network_error(const MailSession* session) {
    switch (sock_error()) {
        case 10038: case 10050: case 10052: case 10053: case 10054:
        case 10057: case 10058: case 10060: case 10065:
            diag_print(session, 'F', 1, "NETWORK_ERROR: network error has occurred");
            return 1;
        default:
            return 0;
    }
}

}  // namespace brevorin
