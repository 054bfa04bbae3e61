#pragma once

#include <QtGlobal>

// While the window talks to the box it must not enter one of Windows' modal loops: a press on the title
// bar (moving), on a border (sizing), or the window menu (Alt+Space, Alt, a click on the icon or a right
// click on the title bar) runs the system's own message loop until the mouse is released or the menu
// closes, and none of the window's code runs meanwhile, the exchange with the box included. A frame cut in
// two by such a pause is lost to the box. While a job runs the window declines what would start one; the
// rest of the window (its buttons, minimizing, painting) is as ever.
//
// The window stays single-threaded: every handler, the exchange included, runs on its one thread and pumps
// its events, and Stop, the grid and the dialogs rely on that. Moving the exchange into a thread of its own
// would change who owns the channel, the image stream and the grid at every step; declining the few
// messages that start a modal loop changes nothing else.
namespace modal_loops {

// The Win32 numbers, so that the rule reads (and is tested) the same on every platform.
namespace win32 {
constexpr unsigned syscommand = 0x0112;     // WM_SYSCOMMAND
constexpr unsigned nc_left_down = 0x00A1;   // WM_NCLBUTTONDOWN
constexpr unsigned nc_left_double = 0x00A3; // WM_NCLBUTTONDBLCLK
constexpr unsigned nc_right_down = 0x00A4;  // WM_NCRBUTTONDOWN
constexpr unsigned nc_right_up = 0x00A5;    // WM_NCRBUTTONUP
constexpr quintptr sc_size = 0xF000;
constexpr quintptr sc_move = 0xF010;
constexpr quintptr sc_mouse_menu = 0xF090;
constexpr quintptr sc_key_menu = 0xF100;
constexpr quintptr ht_caption = 2;
constexpr quintptr ht_system_menu = 3;
constexpr quintptr ht_grow_box = 4;
constexpr quintptr ht_left = 10; // HTLEFT .. HTBOTTOMRIGHT: the borders and corners
constexpr quintptr ht_bottom_right = 17;
} // namespace win32

// Whether a message to the window, with its wParam (the command, or the part of the frame hit), would
// start a modal loop, and is declined while a job runs.
bool starts_modal_loop(unsigned message, quintptr wparam);

} // namespace modal_loops
