#include "kestovar/core/exception.h"
