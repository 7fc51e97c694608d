#include "viewer/viewer_state.h"

HWND host_rectangle;
container_size_t container_size;
HWND container_handle;
HWND atl_host_window;
IDispatch* control_object;

// Zero bytes are VT_EMPTY, so no code has to run at load.
VARIANT first_argument;
VARIANT second_argument;
