#include "platform/sockets.h"

namespace brevorin::platform {

namespace {
SocketApi* g_api = nullptr;
}

SocketApi& socket_api() { return g_api != nullptr ? *g_api : os_socket_api(); }

void set_socket_api(SocketApi* api) { g_api = api; }

}  // namespace brevorin::platform
