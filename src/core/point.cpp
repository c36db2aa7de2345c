#include "kestovar/core/point.h"

#include "kestovar/core/archive.h"

namespace kestovar {
namespace detail {

namespace {
template <class T>
void SerializeRecord(CXArchive& ar, unsigned int& flags, T* values, int count) {
    if (ar.IsStoring()) {
        ar << flags;
        for (int i = 0; i < count; ++i) ar << values[i];
    } else {
        ar >> flags;
        for (int i = 0; i < count; ++i) ar >> values[i];
    }
}
}  // namespace

void SerializePointRecord(CXArchive& ar, unsigned int& flags, float* values, int count) {
    SerializeRecord(ar, flags, values, count);
}

void SerializePointRecord(CXArchive& ar, unsigned int& flags, double* values, int count) {
    SerializeRecord(ar, flags, values, count);
}

void SerializePointRecord(CXArchive& ar, unsigned int& flags, int* values, int count) {
    SerializeRecord(ar, flags, values, count);
}

}  // namespace detail
}  // namespace kestovar
