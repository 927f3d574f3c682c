#pragma once

namespace model {

// The blocking pause of the thread that runs a user action; tests use one that does not wait.
class Pause {
public:
    virtual ~Pause() = default;
    virtual void pause(int milliseconds) = 0;
};

} // namespace model
