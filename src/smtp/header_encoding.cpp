#include "smtp/header_encoding.h"

// Not yet built.
