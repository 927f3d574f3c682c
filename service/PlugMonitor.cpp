#include "service/PlugMonitor.h"

#include <libudev.h>
#include <poll.h>

namespace service {

struct PlugMonitor::Udev {
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    ~Udev() {
        if (monitor)
            udev_monitor_unref(monitor);
        if (context)
            udev_unref(context);
    }
};

PlugMonitor::PlugMonitor(const std::vector<std::string>& subsystems)
    : udev_(std::make_unique<Udev>()) {
    if (subsystems.empty())
        return;
    udev_->context = udev_new();
    if (!udev_->context)
        return;
    // Events after udev has handled them, so that a board reported here can be opened.
    udev_->monitor = udev_monitor_new_from_netlink(udev_->context, "udev");
    bool filtered = udev_->monitor != nullptr;
    for (const std::string& subsystem : subsystems)
        filtered = filtered && udev_monitor_filter_add_match_subsystem_devtype(
                                   udev_->monitor, subsystem.c_str(),
                                   subsystem == "usb" ? "usb_device" : nullptr) >= 0;
    if (udev_->monitor && (!filtered || udev_monitor_enable_receiving(udev_->monitor) < 0)) {
        udev_monitor_unref(udev_->monitor);
        udev_->monitor = nullptr;
    }
}

PlugMonitor::~PlugMonitor() = default;

bool PlugMonitor::watching() const {
    return udev_->monitor != nullptr;
}

bool PlugMonitor::changed() {
    if (!udev_->monitor)
        return false;
    bool any = false;
    pollfd ready{udev_monitor_get_fd(udev_->monitor), POLLIN, 0};
    while (::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN)) {
        udev_device* device = udev_monitor_receive_device(udev_->monitor);
        if (!device)
            break;
        udev_device_unref(device);
        any = true;
    }
    return any;
}

} // namespace service
