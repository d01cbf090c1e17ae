/* decodecert: the certificate library the client calls through three functions.
 * Every function returns 0 on success and non-zero on failure; every in/out length comes in as the
 * capacity of the buffer it goes with and comes back as the number of bytes written. A function never
 * writes past the capacity it is given: it fails instead. */
#ifndef RENVORA_DECODECERT_H
#define RENVORA_DECODECERT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Item numbers of GetCertInfo. 22 and 39 are the ones the client relies on. */
#define DECODECERT_ITEM_NOT_AFTER 22  /* end of validity as text "YYYYMMDDhhmmss", zero-terminated */
#define DECODECERT_ITEM_PUBLIC_KEY 39 /* SubjectPublicKeyInfo, DER */

int PemToDer(const char* pem, int pemLength, unsigned char* der, int* derLength);
int GetCertInfo(int derLength, const unsigned char* der, int item, int* reserved, int* itemLength,
                unsigned char* itemBuffer);
int DerToPem(const unsigned char* item, int itemLength, char* pem, int* pemLength);

#ifdef __cplusplus
}
#endif

#endif
