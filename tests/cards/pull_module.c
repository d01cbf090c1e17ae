/* A PKCS#11 module for the token card's fault tests: SoftHSM2 (RENVORA_PULL_TARGET) underneath, whose
 * token is pulled out in the middle of a write, or whose user is killed at a chosen call of a write.
 *
 * Killed: while RENVORA_CUT_ARMED is set, every call that changes the token (create, copy, destroy,
 * generate, set attribute) is counted; the count goes to the file RENVORA_CUT_COUNT after each, and the
 * call numbered RENVORA_CUT_AT kills the process with SIGKILL, before it reaches SoftHSM2 or, with
 * RENVORA_CUT_AFTER=1, right after. The cut points follow the write's own progress, not the clock.
 * With RENVORA_CUT_FREEZE set the process is not killed there: it makes that file and waits (at most two
 * minutes) for the file RENVORA_CUT_RELEASE, so that a test can pull the card or its reader at that point;
 * then the call goes on (and fails, as on a card pulled out).
 *
 * Pulled: While the file RENVORA_PULL_COUNTER holds a number N, the
 * object writes (C_CreateObject, C_CopyObject) count it down; the write that finds it at 0 first moves
 * every token folder of RENVORA_PULL_TOKENS into RENVORA_PULL_EJECTED, SoftHSM2's way of losing a token,
 * and then goes ahead (and fails, as on a token pulled out). The test puts the folders back.
 *
 * Full: RENVORA_PULL_FREE_MEMORY, a number of bytes, is what the token reports as its free public and
 * private memory (SoftHSM2 reports none), as a nearly full card does. */
#include <p11-kit/pkcs11.h>

#include <dirent.h>
#include <dlfcn.h>
#include <signal.h>
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

static long cutCalls;

/* Counts a call that changes the token; kills the process at the chosen one (before or after it). */
static int CountCut(int after) {
    const char* at = getenv("RENVORA_CUT_AT");
    const char* count = getenv("RENVORA_CUT_COUNT");
    if (!getenv("RENVORA_CUT_ARMED")) {
        return 0;
    }
    if (!after) {
        ++cutCalls;
        if (count) {
            FILE* f = fopen(count, "w");
            if (f) {
                fprintf(f, "%ld\n", cutCalls);
                fclose(f);
            }
        }
    }
    const char* when = getenv("RENVORA_CUT_AFTER");
    int cutAfter = when && when[0] == '1';
    if (at && atol(at) == cutCalls && cutAfter == after) {
        const char* freeze = getenv("RENVORA_CUT_FREEZE");
        const char* release = getenv("RENVORA_CUT_RELEASE");
        if (!freeze || !release) {
            kill(getpid(), SIGKILL);
        }
        FILE* f = fopen(freeze, "w");
        if (f) {
            fclose(f);
        }
        for (int i = 0; i < 12000 && access(release, F_OK) != 0; ++i) {
            usleep(10000);
        }
    }
    return 0;
}

static CK_RV Cut(CK_RV rv) {
    CountCut(1);
    return rv;
}

static CK_RV DestroyObject(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o) {
    CountCut(0);
    return Cut(real->C_DestroyObject(s, o));
}

static CK_RV GenerateKeyPair(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR pub, CK_ULONG npub,
                             CK_ATTRIBUTE_PTR priv, CK_ULONG npriv, CK_OBJECT_HANDLE_PTR hpub,
                             CK_OBJECT_HANDLE_PTR hpriv) {
    CountCut(0);
    return Cut(real->C_GenerateKeyPair(s, m, pub, npub, priv, npriv, hpub, hpriv));
}

static CK_RV SetAttributeValue(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR t, CK_ULONG n) {
    CountCut(0);
    return Cut(real->C_SetAttributeValue(s, o, t, n));
}

static CK_RV CreateObject(CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_OBJECT_HANDLE_PTR out) {
    CountWrite();
    CountCut(0);
    return Cut(real->C_CreateObject(s, t, n, out));
}

static CK_RV CopyObject(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR t, CK_ULONG n,
                        CK_OBJECT_HANDLE_PTR out) {
    CountWrite();
    CountCut(0);
    return Cut(real->C_CopyObject(s, o, t, n, out));
}

static CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    CK_RV rv = real->C_GetTokenInfo(slot, info);
    const char* room = getenv("RENVORA_PULL_FREE_MEMORY");
    if (rv == CKR_OK && room) {
        info->ulFreePublicMemory = info->ulFreePrivateMemory = strtoul(room, NULL, 10);
    }
    return rv;
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
        functions.C_DestroyObject = DestroyObject;
        functions.C_GenerateKeyPair = GenerateKeyPair;
        functions.C_SetAttributeValue = SetAttributeValue;
        functions.C_GetTokenInfo = GetTokenInfo;
    }
    *list = &functions;
    return CKR_OK;
}
