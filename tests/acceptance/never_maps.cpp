// A window manager that is broken in the worst quiet way: it takes the screen, so every client's map
// request comes to it, and it never maps anything. A client that waits for its window to appear would
// wait for ever.
#include "acceptance/desktop.h"

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace rv::acceptance {

int RunWindowManagerThatNeverMaps() {
    int screenNo = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNo);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "never-maps: cannot connect to the display\n");
        return 1;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNo; ++i) {
        xcb_screen_next(&it);
    }
    const xcb_window_t root = it.data->root;
    // Only one client may redirect the root's children: that makes it the window manager.
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    if (xcb_generic_error_t* e =
            xcb_request_check(c, xcb_change_window_attributes_checked(c, root, XCB_CW_EVENT_MASK, &mask))) {
        std::fprintf(stderr, "never-maps: another window manager has the screen\n");
        std::free(e);
        return 1;
    }
    // Announced as window managers announce themselves, so that the test knows it is there.
    const xcb_window_t check = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, check, root, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    const char kName[] = "_NET_SUPPORTING_WM_CHECK";
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof kName - 1, kName), nullptr);
    if (atom == nullptr) {
        return 1;
    }
    for (xcb_window_t w : {check, root}) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom->atom, XCB_ATOM_WINDOW, 32, 1, &check);
    }
    std::free(atom);
    xcb_flush(c);
    // Map and configure requests are taken and dropped; the loop ends with the display.
    while (xcb_generic_event_t* ev = xcb_wait_for_event(c)) {
        std::free(ev);
    }
    xcb_disconnect(c);
    return 0;
}

} // namespace rv::acceptance
