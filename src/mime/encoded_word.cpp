#include "mime/encoded_word.h"

// Not yet built.
