#pragma once

// What the host drives a component through. The host calls initialize, start,
// (messages), stop, uninitialize, then destroys the object.
class IComponent {
public:
    virtual ~IComponent() {}
    virtual void initialize() = 0;
    virtual void uninitialize() = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
};
