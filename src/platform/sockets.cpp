#include "platform/sockets.h"

#include <csignal>

namespace brevorin::platform {

namespace {
SocketApi* g_api = nullptr;
volatile std::sig_atomic_t g_interrupt = 0;
}  // namespace

void request_interrupt() { g_interrupt = 1; }

bool interrupt_requested() { return g_interrupt != 0; }

SocketApi& socket_api() { return g_api != nullptr ? *g_api : os_socket_api(); }

void set_socket_api(SocketApi* api) { g_api = api; }

}  // namespace brevorin::platform
