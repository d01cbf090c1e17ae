/* A PKCS#11 module whose C_Initialize fails: the token card must say so and stay usable. It fails with
 * CKR_DEVICE_ERROR only when it is asked to use the operating system's locking, as the token card asks
 * (through p11-kit); otherwise with CKR_ARGUMENTS_BAD, which the test would see. */
#include <p11-kit/pkcs11.h>

#include <string.h>

static CK_RV Initialize(void* args) {
    const CK_C_INITIALIZE_ARGS* a = (const CK_C_INITIALIZE_ARGS*)args;
    if (a == NULL || !(a->flags & CKF_OS_LOCKING_OK)) {
        return CKR_ARGUMENTS_BAD;
    }
    return CKR_DEVICE_ERROR;
}

static CK_RV Finalize(void* reserved) {
    (void)reserved;
    return CKR_CRYPTOKI_NOT_INITIALIZED;
}

static CK_RV GetInfo(CK_INFO_PTR info) {
    memset(info, 0, sizeof *info);
    info->cryptokiVersion.major = 2;
    info->cryptokiVersion.minor = 40;
    memset(info->manufacturerID, ' ', sizeof info->manufacturerID);
    memset(info->libraryDescription, ' ', sizeof info->libraryDescription);
    return CKR_OK;
}

static CK_FUNCTION_LIST functions;

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    functions.version.major = 2;
    functions.version.minor = 40;
    functions.C_Initialize = Initialize;
    functions.C_Finalize = Finalize;
    functions.C_GetInfo = GetInfo;
    *list = &functions;
    return CKR_OK;
}
