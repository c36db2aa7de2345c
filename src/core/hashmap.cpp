#include "kestovar/core/hashmap.h"

#include "kestovar/core/archive.h"

namespace kestovar {

unsigned int NextPrime(unsigned int n) {
    if (n < 3) return n + 1;
    // No 32-bit prime lies above 4294967291; the slot counts never get near it.
    constexpr unsigned int kLargestPrime = 4294967291u;
    if (n > kLargestPrime) return kLargestPrime;
    for (unsigned int c = (n % 2 == 0) ? n + 1 : n;; c += 2) {
        if (c < 9) return c;
        bool prime = true;
        for (unsigned int d = 3; uint64_t(d) * d <= c; d += 2) {
            if (c % d == 0) {
                prime = false;
                break;
            }
        }
        if (prime) return c;
    }
}

unsigned int GrownSlotCount(unsigned int count, unsigned int fill, unsigned int slots) {
    // Mostly deleted slots: a clean table sized for the live entries.
    if (double(count) / double(fill) <= 0.65) {
        double want = (2.0 * double(count) + 2.0) / 0.65;
        if (want < 21.0) want = 21.0;
        return NextPrime(unsigned(want));
    }
    return NextPrime(slots >= 251 ? 2 * slots : 4 * slots);
}

CIntMap::CIntMap(unsigned size) : CHashMap<int, int, int>(size) {}

void CIntMap::Serialize(CXArchive& ar) { CHashMap<int, int, int>::Serialize(ar); }

}  // namespace kestovar
