#pragma once

// The umockdev testbed a USB rig puts its devices on, with the ioctl handlers attached to it,
// detached again when it goes. Only one testbed of a process counts (the one made last is the one
// umockdev-wrapper's preload serves), so a second rig shares the first's.

#include <umockdev.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

class Testbed {
public:
    Testbed()
        : testbed_(umockdev_testbed_new()) {}
    explicit Testbed(UMockdevTestbed* shared)
        : testbed_(static_cast<UMockdevTestbed*>(g_object_ref(shared))) {}
    ~Testbed() {
        for (const std::string& node : attached_)
            umockdev_testbed_detach_ioctl(testbed_, node.c_str(), nullptr);
        g_object_unref(testbed_);
    }
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // Whether the process runs under umockdev-wrapper, asked through a testbed of its own. Ask
    // before making a rig's: the probe takes its place for the rest of the process.
    static bool available() {
        UMockdevTestbed* probe = umockdev_testbed_new();
        const bool mocked = umockdev_in_mock_environment();
        g_object_unref(probe);
        return mocked;
    }

    UMockdevTestbed* get() const { return testbed_; }
    // Before the device is added, so that its node answers from the moment it appears.
    void attach(const std::string& devnode, UMockdevIoctlBase* handler) {
        GError* error = nullptr;
        umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), handler, &error);
        report("attach_ioctl", error);
        attached_.push_back(devnode);
    }
    void add(const std::string& description) {
        GError* error = nullptr;
        umockdev_testbed_add_from_string(testbed_, description.c_str(), &error);
        report("add_from_string", error);
    }

private:
    static void report(const char* call, GError*& error) {
        if (!error)
            return;
        std::fprintf(stderr, "%s: %s\n", call, error->message);
        g_clear_error(&error);
    }

    UMockdevTestbed* const testbed_;
    std::vector<std::string> attached_;
};

// Bytes as a umockdev record's "H:" lines give them.
inline std::string hexOf(std::span<const std::uint8_t> bytes) {
    std::string hex;
    for (const std::uint8_t byte : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}

// An ioctl request, as the rigs name those they do not know.
inline std::string requestName(unsigned long request) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", request);
    return text;
}
