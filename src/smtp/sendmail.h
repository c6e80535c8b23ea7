// The sending worker and the SMTP dialogue.
#pragma once

#include "core/context.h"

namespace brevorin {

int send_mail(const char* server, const char* header_list, const char* text,
              const char* attachment_list, int max_size, const Context& ctx);

}  // namespace brevorin
