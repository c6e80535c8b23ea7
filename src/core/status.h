// The public status codes (include/brevorin.h), for the places that map a
// layer's own outcome to what the caller sees.
#pragma once

namespace brevorin {

enum Status : int {
    kOk = 0,
    kRefused = -2,
    kLoggedOn = -3,
    kTimedOut = -4,
    kNoTable = -5,
    kOverSizeLimit = -6,
    kNoMessage = -7,
    kNotLoggedOn = -8,
    kNetwork = -9,
    kInvalid = -10,
    kCommandFailed = -11,
    kNoRecipient = -12,
    kAttachOpen = -13,
    kAttachEncode = -14,
    kStorage = -15,
    kHostLimit = -16,
};

}  // namespace brevorin
