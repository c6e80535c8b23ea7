#include "mime/qp_decode.h"

// Not yet built.
