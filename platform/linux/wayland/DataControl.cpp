#include "platform/linux/wayland/DataControl.h"

#include "platform/linux/FileDescriptor.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <glib-unix.h>
#include <glib.h>
#include <wayland-client.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace ulvo::wayland {

namespace {

// The text types, best first; a source offers at least one of them when it holds text.
constexpr std::array<std::string_view, 5> textTypes = {"text/plain;charset=utf-8", "UTF8_STRING",
                                                       "text/plain", "TEXT", "STRING"};

// One read of an offer through a pipe: done at the end of the data, or empty-handed at the limit.
// Its two sources each hold it; the one that ends it forgets itself first, then removes the other.
struct PipeRead {
    FileDescriptor fd;
    std::string text;
    std::function<void(std::optional<std::string>)> completion;
    glib::SourceId watch;
    glib::SourceId limit;

    void finish(std::optional<std::string> result) {
        auto completionNow = std::move(completion);
        watch.reset();
        limit.reset();
        completionNow(std::move(result));
    }
};
using PipeReadRef = std::shared_ptr<PipeRead>;

} // namespace

void DataControlPrimarySelection::Release::operator()(wl_display* display) const {
    wl_display_disconnect(display);
}
void DataControlPrimarySelection::Release::operator()(wl_registry* registry) const {
    wl_registry_destroy(registry);
}
void DataControlPrimarySelection::Release::operator()(wl_seat* seat) const {
    wl_seat_destroy(seat);
}
void DataControlPrimarySelection::Release::operator()(zwlr_data_control_manager_v1* manager) const {
    zwlr_data_control_manager_v1_destroy(manager);
}
void DataControlPrimarySelection::Release::operator()(zwlr_data_control_device_v1* device) const {
    zwlr_data_control_device_v1_destroy(device);
}
void DataControlPrimarySelection::Release::operator()(zwlr_data_control_offer_v1* offer) const {
    zwlr_data_control_offer_v1_destroy(offer);
}

struct DataControlPrimarySelection::Listeners {
    static void global(void* data, wl_registry* registry, uint32_t name, const char* interface,
                       uint32_t version) {
        auto* self = static_cast<DataControlPrimarySelection*>(data);
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && self->seat_ == nullptr) {
            self->seat_.reset(static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1)));
        } else if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0 && version >= 2) {
            self->manager_.reset(static_cast<zwlr_data_control_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 2)));
        }
    }
    static void globalRemove(void*, wl_registry*, uint32_t) {}

    static void offerType(void* data, zwlr_data_control_offer_v1* proxy, const char* type) {
        if (Offer* offer = static_cast<DataControlPrimarySelection*>(data)->findOffer(proxy)) {
            offer->types.emplace_back(type);
        }
    }

    static void dataOffer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* proxy) {
        auto* self = static_cast<DataControlPrimarySelection*>(data);
        self->offers_.push_back({OfferPtr(proxy), {}});
        static const zwlr_data_control_offer_v1_listener listener = {&Listeners::offerType};
        zwlr_data_control_offer_v1_add_listener(proxy, &listener, self);
    }
    // The clipboard's offers are not wanted here.
    static void selection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* proxy) {
        if (proxy != nullptr) {
            static_cast<DataControlPrimarySelection*>(data)->forget(proxy);
        }
    }
    static void primarySelection(void* data, zwlr_data_control_device_v1*,
                                 zwlr_data_control_offer_v1* proxy) {
        auto* self = static_cast<DataControlPrimarySelection*>(data);
        if (self->primary_ != nullptr && self->primary_ != proxy) {
            self->forget(self->primary_);
        }
        self->primary_ = proxy;
        if (self->changed_) {
            self->changed_();
        }
    }
    static void finished(void* data, zwlr_data_control_device_v1*) {
        static_cast<DataControlPrimarySelection*>(data)->device_.reset();
    }
};

DataControlPrimarySelection::DataControlPrimarySelection(std::function<void()> changed,
                                                         std::function<bool()> ownedBySelf)
    : changed_(std::move(changed))
    , ownedBySelf_(std::move(ownedBySelf)) {}

std::unique_ptr<DataControlPrimarySelection>
DataControlPrimarySelection::connect(std::function<void()> changed, std::function<bool()> ownedBySelf) {
    std::unique_ptr<DataControlPrimarySelection> selection(
        new DataControlPrimarySelection(std::move(changed), std::move(ownedBySelf)));
    if (!selection->start()) {
        return nullptr;
    }
    return selection;
}

bool DataControlPrimarySelection::start() {
    display_.reset(wl_display_connect(nullptr));
    if (!display_) {
        return false;
    }
    registry_.reset(wl_display_get_registry(display_.get()));
    static const wl_registry_listener registryListener = {&Listeners::global, &Listeners::globalRemove};
    wl_registry_add_listener(registry_.get(), &registryListener, this);
    if (wl_display_roundtrip(display_.get()) < 0 || !seat_ || !manager_) {
        return false;
    }
    device_.reset(zwlr_data_control_manager_v1_get_data_device(manager_.get(), seat_.get()));
    static const zwlr_data_control_device_v1_listener deviceListener = {
        &Listeners::dataOffer, &Listeners::selection, &Listeners::finished, &Listeners::primarySelection};
    zwlr_data_control_device_v1_add_listener(device_.get(), &deviceListener, this);
    // The current selections arrive at once.
    if (wl_display_roundtrip(display_.get()) < 0) {
        return false;
    }
    watch_.reset(g_unix_fd_add(
        wl_display_get_fd(display_.get()), static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
        [](int, GIOCondition condition, gpointer data) -> gboolean {
            auto* self = static_cast<DataControlPrimarySelection*>(data);
            if ((condition & G_IO_IN) == 0 || wl_display_dispatch(self->display_.get()) < 0) {
                self->watch_.forget(); // the compositor is gone; what was read stays
                self->primary_ = nullptr;
                return G_SOURCE_REMOVE;
            }
            return G_SOURCE_CONTINUE;
        },
        this));
    return true;
}

DataControlPrimarySelection::~DataControlPrimarySelection() = default;

std::vector<DataControlPrimarySelection::Offer>::iterator
DataControlPrimarySelection::offerPosition(zwlr_data_control_offer_v1* proxy) {
    return std::find_if(offers_.begin(), offers_.end(),
                        [&](const Offer& offer) { return offer.proxy.get() == proxy; });
}

DataControlPrimarySelection::Offer*
DataControlPrimarySelection::findOffer(zwlr_data_control_offer_v1* proxy) {
    const auto found = offerPosition(proxy);
    return found != offers_.end() ? &*found : nullptr;
}

void DataControlPrimarySelection::forget(zwlr_data_control_offer_v1* proxy) {
    const auto found = offerPosition(proxy);
    if (found != offers_.end()) {
        offers_.erase(found); // destroys the offer
    }
}

void DataControlPrimarySelection::readText(std::function<void(std::optional<std::string>)> completion) {
    const Offer* offer = primary_ != nullptr ? findOffer(primary_) : nullptr;
    const auto type =
        offer == nullptr
            ? textTypes.end()
            : std::find_if(textTypes.begin(), textTypes.end(), [&](std::string_view t) {
                  return std::find(offer->types.begin(), offer->types.end(), t) != offer->types.end();
              });
    int fds[2] = {-1, -1};
    if (type == textTypes.end() || pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        completion(std::nullopt);
        return;
    }
    zwlr_data_control_offer_v1_receive(offer->proxy.get(), std::string(*type).c_str(), fds[1]);
    wl_display_flush(display_.get());
    close(fds[1]); // the owner holds its own copy; the end of the data is its close
    const auto read = std::make_shared<PipeRead>();
    read->fd.adopt(fds[0]);
    read->completion = std::move(completion);
    read->watch.reset(g_unix_fd_add_full(
        G_PRIORITY_DEFAULT, read->fd.get(), static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
        [](int fd, GIOCondition, gpointer data) -> gboolean {
            PipeRead& job = **static_cast<PipeReadRef*>(data);
            std::array<char, 65536> buffer{};
            const ssize_t count = ::read(fd, buffer.data(), buffer.size());
            if (count > 0) {
                job.text.append(buffer.data(), static_cast<std::size_t>(count));
                return G_SOURCE_CONTINUE;
            }
            job.watch.forget();
            if (count == 0) {
                job.finish(std::move(job.text));
            } else {
                job.finish(std::nullopt);
            }
            return G_SOURCE_REMOVE;
        },
        glib::box(read), glib::deleteBoxed<PipeReadRef>));
    read->limit.reset(g_timeout_add_full(
        G_PRIORITY_DEFAULT, readLimitMilliseconds,
        [](gpointer data) -> gboolean {
            PipeRead& job = **static_cast<PipeReadRef*>(data);
            job.limit.forget();
            job.finish(std::nullopt);
            return G_SOURCE_REMOVE;
        },
        glib::box(read), glib::deleteBoxed<PipeReadRef>));
}

} // namespace ulvo::wayland
