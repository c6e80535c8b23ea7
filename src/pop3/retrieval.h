// Message retrieval: decoded (GETMAIL) and raw (GETRAWMAIL).
#pragma once

#include <string>

#include "api/session.h"

namespace brevorin {

int GETMAIL(int message, const char* directory, int max_size, std::string& header_out,
            std::string& body_out, std::string& files_out, MailSession* session);
int GETRAWMAIL(int message, int max_size, std::string& text_out, MailSession* session);

}  // namespace brevorin
