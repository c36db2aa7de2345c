// Version of the library. The build reads it from here, so this is the one place to change it.
#pragma once

#define KESTOVAR_VERSION_MAJOR 0
#define KESTOVAR_VERSION_MINOR 1
#define KESTOVAR_VERSION_PATCH 0
#define KESTOVAR_VERSION_STRING "0.1.0"
