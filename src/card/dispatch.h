/* The dispatch interface of a card control, as a plain C ABI so a plugin built on its own can offer it.
 * The client reaches the control only by DISPID: call a method, get an integer or string property,
 * set a string property. Strings are 8-bit GBK bytes.
 *
 * Threads: the client calls a control -- its factory, every member below, Release -- from one thread,
 * the same for the control's whole life, and never makes two calls at once. A control may keep state
 * bound to that thread and needs no locks for the client's sake. A call may take as long as the card
 * needs (a key pair on a card takes seconds); the client's window stays alive meanwhile. */
#ifndef RENVORA_CARD_DISPATCH_H
#define RENVORA_CARD_DISPATCH_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the calls below (like DISP_E_MEMBERNOTFOUND). The control's own success or failure of a
 * card operation is never reported here but in its Status property. */
#define RV_DISP_OK 0
#define RV_DISP_UNKNOWN_MEMBER (-1)
#define RV_DISP_WRONG_TYPE (-2)

typedef struct RvDispatch RvDispatch;

typedef struct RvDispatchVtbl {
    int (*Invoke)(RvDispatch* self, int dispid);
    int (*GetInt)(RvDispatch* self, int dispid, int32_t* value);
    /* The text stays valid until the next call on the same object. */
    int (*GetString)(RvDispatch* self, int dispid, const char** data, size_t* length);
    int (*SetString)(RvDispatch* self, int dispid, const char* data, size_t length);
    void (*Release)(RvDispatch* self);
} RvDispatchVtbl;

struct RvDispatch {
    const RvDispatchVtbl* vtbl;
};

/* The one exported factory of a control library. Returns NULL when the library does not offer `clsid`. */
#define RV_CONTROL_FACTORY_SYMBOL "RenvoraCreateControl"
typedef RvDispatch* (*RvCreateControlFn)(const char* clsid);

#ifdef __cplusplus
}
#endif

#endif
