#include "app/ModalLoops.h"

namespace modal_loops {

namespace {

// The parts of the frame where a press moves or sizes the window, or opens its menu.
bool moves_sizes_or_opens_menu(quintptr hit)
{
    return hit == win32::ht_caption || hit == win32::ht_system_menu || hit == win32::ht_grow_box ||
           (hit >= win32::ht_left && hit <= win32::ht_bottom_right);
}

} // namespace

bool starts_modal_loop(unsigned message, quintptr wparam)
{
    switch (message) {
    case win32::syscommand: {
        // The low four bits are the system's own.
        const quintptr command = wparam & 0xFFF0;
        return command == win32::sc_move || command == win32::sc_size || command == win32::sc_key_menu ||
               command == win32::sc_mouse_menu;
    }
    case win32::nc_left_down:
    case win32::nc_left_double:
    case win32::nc_right_down:
    case win32::nc_right_up:
        return moves_sizes_or_opens_menu(wparam);
    default:
        return false;
    }
}

} // namespace modal_loops
