#include "kestovar/core/resource_strings.h"

#include <algorithm>
#include <iterator>

namespace kestovar {

namespace {

struct ResourceEntry {
    unsigned int id;
    const wchar_t* text;
};

// The English texts, sorted by identifier so that a look-up is one binary search.
constexpr ResourceEntry kResourceTable[] = {
    {IDS_OBJECT_CAMERA, L"Camera"},
    {IDS_CHANNEL_FACE_NORMALS, L"Faces"},
    {IDS_CHANNEL_POINT_NORMALS, L"Points"},
    {IDS_CHANNEL_SPEC_NORMALS, L"Normals"},
    {IDS_CHANNEL_UV, L"UV"},
    {IDS_CHANNEL_VC, L"VC"},
    {IDS_CHANNEL_WEIGHT, L"Weight"},
    {IDS_OBJECT_CURVE, L"Curve"},
    {IDS_OBJECT_DUMMY, L"Dummy"},
    {IDS_OBJECT_GROUP, L"Group"},
    {IDS_OBJECT_LIGHT, L"Light"},
    {IDS_OBJECT_PATCH, L"Patch"},
    {IDS_OBJECT_POLYMESH, L"Polymesh"},
};

static_assert(std::is_sorted(std::begin(kResourceTable), std::end(kResourceTable),
                             [](const ResourceEntry& a, const ResourceEntry& b) { return a.id < b.id; }),
              "the string table must stay sorted by identifier");

}  // namespace

const wchar_t* FindResourceString(unsigned int identifier) {
    const ResourceEntry* end = std::end(kResourceTable);
    const ResourceEntry* it = std::lower_bound(std::begin(kResourceTable), end, identifier,
                                               [](const ResourceEntry& e, unsigned int id) { return e.id < id; });
    return (it != end && it->id == identifier) ? it->text : nullptr;
}

CXTString<wchar_t> LoadResourceString(unsigned int identifier, const wchar_t* fallback) {
    const wchar_t* text = FindResourceString(identifier);
    if (!text) text = fallback;
    return text ? CXTString<wchar_t>(text) : CXTString<wchar_t>();
}

}  // namespace kestovar
