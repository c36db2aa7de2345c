// The library's built-in string table: English texts keyed by numeric identifiers, the texts a
// host sees in type names, progress messages and error messages.
//
// Identifiers are stable across releases: callers name a text by its identifier and pass the
// English text as a fallback, so that a table without the entry still yields something readable.
#pragma once

#include "kestovar/core/export.h"
#include "kestovar/core/xstring.h"

namespace kestovar {

// Identifiers of the texts in the table, grouped by the code that uses them.
enum _RESOURCE_STRING_ID : unsigned int {
    // Object type names (C3DBaseObject::GetTypeString).
    IDS_OBJECT_CAMERA = 343,
    IDS_OBJECT_CURVE = 353,
    IDS_OBJECT_DUMMY = 356,
    IDS_OBJECT_GROUP = 364,
    IDS_OBJECT_LIGHT = 368,
    IDS_OBJECT_PATCH = 377,
    IDS_OBJECT_POLYMESH = 378,
    // Channel type names (CChannel::GetTypeString).
    IDS_CHANNEL_FACE_NORMALS = 346,
    IDS_CHANNEL_POINT_NORMALS = 347,
    IDS_CHANNEL_SPEC_NORMALS = 348,
    IDS_CHANNEL_UV = 349,
    IDS_CHANNEL_VC = 350,
    IDS_CHANNEL_WEIGHT = 351,
};

// The text of `identifier`, or null when the table has no such entry. The pointer is to static
// storage and stays valid for the life of the process.
KESTOVAR_API const wchar_t* FindResourceString(unsigned int identifier);

// The text of `identifier` as a string: the table's text, else `fallback` (null: empty).
KESTOVAR_API CXTString<wchar_t> LoadResourceString(unsigned int identifier, const wchar_t* fallback = nullptr);

}  // namespace kestovar
