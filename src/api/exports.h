// Process-wide sockets user count, visible to tests.
#pragma once

#include <cstdint>

namespace brevorin {

int32_t sockets_user_count();
void set_sockets_user_count_for_tests(int32_t count);

}  // namespace brevorin
