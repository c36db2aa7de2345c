// CXArray is a template defined entirely in its header; this unit only checks that the header
// stands on its own.
#include "kestovar/core/array.h"
