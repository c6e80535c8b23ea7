#include "codec/kanji.h"

// Not yet built.
