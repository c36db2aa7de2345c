// String utilities over wide text: comparison modes, natural order, search, field extraction and
// string arrays.
#include "kestovar/core/xstring.h"

namespace kestovar {}  // namespace kestovar
