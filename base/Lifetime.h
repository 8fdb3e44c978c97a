#pragma once

#include <memory>
#include <utility>

namespace ulvo {

// For callbacks that may run after their owner has gone (a timer, a reply, a hop back to the main
// thread): the owner keeps a Lifetime as a member, each callback keeps a Watch and asks it for the
// owner when it runs. The owner and the callbacks meet on one thread.
template <class Owner> class Lifetime {
public:
    class Watch {
    public:
        Watch() = default;
        // The owner, or null once it has gone or ended its lifetime early.
        Owner* get() const {
            const std::shared_ptr<Owner*> owner = owner_.lock();
            return owner ? *owner : nullptr;
        }

    private:
        friend class Lifetime;
        explicit Watch(std::weak_ptr<Owner*> owner)
            : owner_(std::move(owner)) {}
        std::weak_ptr<Owner*> owner_;
    };

    explicit Lifetime(Owner* owner)
        : owner_(std::make_shared<Owner*>(owner)) {}
    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;
    ~Lifetime() = default;

    Watch watch() const { return Watch(owner_); }
    // Callbacks from now on find nobody, as if the owner had gone.
    void end() { owner_.reset(); }

private:
    std::shared_ptr<Owner*> owner_;
};

} // namespace ulvo
