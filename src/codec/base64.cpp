#include "codec/base64.h"

// Not yet built.
