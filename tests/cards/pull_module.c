/* A PKCS#11 module for the token card's fault tests: SoftHSM2 (RENVORA_PULL_TARGET) underneath, whose
 * token is pulled out in the middle of a write. While the file RENVORA_PULL_COUNTER holds a number N, the
 * object writes (C_CreateObject, C_CopyObject) count it down; the write that finds it at 0 first moves
 * every token folder of RENVORA_PULL_TOKENS into RENVORA_PULL_EJECTED, SoftHSM2's way of losing a token,
 * and then goes ahead (and fails, as on a token pulled out). The test puts the folders back. */
#include <p11-kit/pkcs11.h>

#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static CK_FUNCTION_LIST_PTR real;
static CK_FUNCTION_LIST functions;

static void Pull(void) {
    const char* from = getenv("RENVORA_PULL_TOKENS");
    const char* to = getenv("RENVORA_PULL_EJECTED");
    DIR* dir = from && to ? opendir(from) : NULL;
    struct dirent* e;
    char a[4096], b[4096];
    while (dir && (e = readdir(dir)) != NULL) {
        if (e->d_name[0] != '.') {
            snprintf(a, sizeof a, "%s/%s", from, e->d_name);
            snprintf(b, sizeof b, "%s/%s", to, e->d_name);
            rename(a, b);
        }
    }
    if (dir) {
        closedir(dir);
    }
}

static void CountWrite(void) {
    const char* counter = getenv("RENVORA_PULL_COUNTER");
    FILE* f = counter ? fopen(counter, "r") : NULL;
    long n = 0;
    if (!f) {
        return;
    }
    if (fscanf(f, "%ld", &n) != 1) {
        n = 0;
    }
    fclose(f);
    if (n > 0) {
        f = fopen(counter, "w");
        if (f) {
            fprintf(f, "%ld\n", n - 1);
            fclose(f);
        }
        return;
    }
    unlink(counter);
    Pull();
}

static CK_RV CreateObject(CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_OBJECT_HANDLE_PTR out) {
    CountWrite();
    return real->C_CreateObject(s, t, n, out);
}

static CK_RV CopyObject(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR t, CK_ULONG n,
                        CK_OBJECT_HANDLE_PTR out) {
    CountWrite();
    return real->C_CopyObject(s, o, t, n, out);
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (!real) {
        /* Kept loaded: SoftHSM2 is finalised through the list whenever this module is, and initialised
         * afresh (reading its token folders again) at the next loading. */
        const char* path = getenv("RENVORA_PULL_TARGET");
        void* lib = path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : NULL;
        CK_C_GetFunctionList get = lib ? (CK_C_GetFunctionList)dlsym(lib, "C_GetFunctionList") : NULL;
        if (!get || get(&real) != CKR_OK) {
            real = NULL;
            return CKR_GENERAL_ERROR;
        }
        functions = *real;
        functions.C_CreateObject = CreateObject;
        functions.C_CopyObject = CopyObject;
    }
    *list = &functions;
    return CKR_OK;
}
