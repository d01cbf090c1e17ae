// Placeholder until the certificate library lands.
#include "decodecert.h"
extern "C" {
__attribute__((visibility("default"))) int PemToDer(const char*, int, unsigned char*, int*) {
    return 1;
}
__attribute__((visibility("default"))) int GetCertInfo(int, const unsigned char*, int, int*, int*,
                                                       unsigned char*) {
    return 1;
}
__attribute__((visibility("default"))) int DerToPem(const unsigned char*, int, char*, int*) {
    return 1;
}
}
