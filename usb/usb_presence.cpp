#include "usb_presence.h"

#include "usb.h"

bool usb_single_device_present(const usb_vidpid_t* ids)
{
    usb_device_list list = nullptr;
    if (!usb_get_devices(&list))
        return false;
    usb_device_list_guard release(list);
    return usb_filter_vidpid(&list, ids) && list[0] != nullptr && list[1] == nullptr;
}
