#pragma once

#include "devices/Registry.h"
#include "service/BoardHost.h"
#include "service/PlugMonitor.h"

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace service {

// Keeps held boards through unplugs: it looks at the bus once a second, and at once when udev
// says a device of the families came or went; a held board that left the bus or stopped
// answering is served as not present, and opened again by its id when it is back. It may also
// take boards that appear (serve --all). Shared by serve and play.
class Supervisor {
public:
    struct Events {
        // A held board was found gone (not on the bus any more, or not answering while on it).
        std::function<void(BoardHost&, bool stillOnBus)> lost;
        // A held board is back and has the pattern last commanded.
        std::function<void(BoardHost&)> back;
        // A board nobody here holds is there (number from 1, as the window numbers them).
        std::function<void(const devices::BoardId&, int number)> found;
    };

    Supervisor(devices::Registry& boards, Events events);
    ~Supervisor();
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    void add(std::unique_ptr<BoardHost> host);
    std::vector<std::unique_ptr<BoardHost>>& hosts() { return hosts_; }
    bool watchingUdev() const { return plugs_.watching(); }

    // Looks at the bus if udev told of a change or a second has passed since the last look;
    // never waits.
    void lookWhenDue();
    void look();
    // Lets every board go, their front ends told first, all together.
    void stopAll(const std::function<void(const std::string& id)>& closed = {});

private:
    devices::Registry& boards_;
    Events events_;
    PlugMonitor plugs_;
    std::chrono::steady_clock::time_point lastLook_{};
    std::vector<std::unique_ptr<BoardHost>> hosts_;
};

} // namespace service
