#pragma once

#include "capture/PrimarySelection.h"
#include "platform/linux/glib/GObjectPtr.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_seat;
struct zwlr_data_control_manager_v1;
struct zwlr_data_control_device_v1;
struct zwlr_data_control_offer_v1;

namespace ulvo::wayland {

// The primary selection through the data-control protocol (wlroots compositors, KDE Plasma): read
// without the keyboard focus and without touching the focused program, on a connection of its own to
// the compositor, read from the main loop.
class DataControlPrimarySelection final : public PrimarySelection {
public:
    // An owner that answers no request within this time counts as holding no text.
    static constexpr unsigned readLimitMilliseconds = 1000;

    // Absent when no compositor answers or it offers no data-control of version 2 (GNOME).
    // changed: called on the main thread for every new primary selection. ownedBySelf: whether one of
    // this program's windows holds it.
    static std::unique_ptr<DataControlPrimarySelection> connect(std::function<void()> changed,
                                                                std::function<bool()> ownedBySelf);
    ~DataControlPrimarySelection() override;
    DataControlPrimarySelection(const DataControlPrimarySelection&) = delete;
    DataControlPrimarySelection& operator=(const DataControlPrimarySelection&) = delete;

    // The protocol carries no times: a Wayland session has no mouse road that would need them.
    std::optional<std::uint32_t> ownerTime() override { return std::nullopt; }
    bool ownedBySelf() override { return ownedBySelf_ && ownedBySelf_(); }
    void readText(std::function<void(std::optional<std::string>)> completion) override;

private:
    // Releases the connection and each kind of proxy this class holds.
    struct Release {
        void operator()(wl_display* display) const;
        void operator()(wl_registry* registry) const;
        void operator()(wl_seat* seat) const;
        void operator()(zwlr_data_control_manager_v1* manager) const;
        void operator()(zwlr_data_control_device_v1* device) const;
        void operator()(zwlr_data_control_offer_v1* offer) const;
    };
    template <typename T> using Owned = std::unique_ptr<T, Release>;
    using OfferPtr = Owned<zwlr_data_control_offer_v1>;
    struct Offer {
        OfferPtr proxy;
        std::vector<std::string> types;
    };
    struct Listeners;

    DataControlPrimarySelection(std::function<void()> changed, std::function<bool()> ownedBySelf);
    bool start();
    std::vector<Offer>::iterator offerPosition(zwlr_data_control_offer_v1* proxy);
    Offer* findOffer(zwlr_data_control_offer_v1* proxy);
    void forget(zwlr_data_control_offer_v1* proxy);

    std::function<void()> changed_;
    std::function<bool()> ownedBySelf_;
    // Released in the reverse order: offers, device, manager, seat, registry, then the connection.
    Owned<wl_display> display_;
    Owned<wl_registry> registry_;
    Owned<wl_seat> seat_;
    Owned<zwlr_data_control_manager_v1> manager_;
    Owned<zwlr_data_control_device_v1> device_;
    std::vector<Offer> offers_; // announced and not yet destroyed
    zwlr_data_control_offer_v1* primary_ = nullptr;
    glib::SourceId watch_;
};

} // namespace ulvo::wayland
