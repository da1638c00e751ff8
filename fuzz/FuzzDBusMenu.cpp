// The tray menu's request handling, as a host (or anyone on the session bus) can drive it: each
// input is a sequence of dbusmenu calls with arguments of the fuzzer's choosing, sent over a real
// sd-bus peer connection to a menu served over a coordinator made of fakes. Every call must be
// answered, with the declared reply signature or an error, and every answer must stay within the
// menu's size; clicks run as posted tasks in between. Between calls, what the rows show may change
// (the daemon's registration state, whether Sollun runs, the login item), as it does under a host
// at any moment; the menu's rows keep their ids unique and in range whatever happens.

#include "SollunHelper/SollunHelperApp.h"
#include "SollunHelper/tray/DBusMenu.h"
#include "platform/linux/SdEventLoop.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/FakeWorkspace.h"

#include <systemd/sd-bus.h>

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace sollun;
using namespace sollun::helper;

void require(bool condition) {
    if (!condition)
        std::abort();
}

// One end of a socket pair as a direct (bus-less) connection, dispatched by `loop`.
sd_bus* peer(int fd, bool server, platform::SdEventLoop& loop) {
    sd_bus* bus = nullptr;
    require(sd_bus_new(&bus) >= 0);
    require(sd_bus_set_fd(bus, fd, fd) >= 0);
    if (server) {
        sd_id128_t id;
        require(sd_id128_randomize(&id) >= 0);
        require(sd_bus_set_server(bus, 1, id) >= 0);
    }
    require(sd_bus_start(bus) >= 0);
    require(sd_bus_attach_event(bus, loop.native(), SD_EVENT_PRIORITY_NORMAL) >= 0);
    return bus;
}

// Everything that lives across inputs: the loop, the two ends, the coordinator of fakes and the
// delegate the menu asks for its rows.
struct World {
    World() {
        int fds[2];
        require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) == 0);
        server = peer(fds[0], true, loop);
        client = peer(fds[1], false, loop);
        coordinator = std::make_unique<HelperCoordinator>(
            loop,
            std::make_unique<WakeDaemonController>(
                loop, std::make_unique<test::FakeDaemonService>(service),
                std::make_shared<test::FakeConnector>()),
            std::unique_ptr<helper::Workspace>(workspace), std::make_unique<test::FakeSystemWake>(),
            std::make_unique<test::FakeSleepInhibitor>(),
            std::unique_ptr<helper::LoginItem>(loginItem));
        delegate = std::make_unique<HelperAppDelegate>(*coordinator, [] {});
    }

    platform::SdEventLoop loop;
    sd_bus* server = nullptr;
    sd_bus* client = nullptr;
    test::ServiceScript service;
    test::FakeWorkspace* workspace = new test::FakeWorkspace;
    test::FakeLoginItem* loginItem = new test::FakeLoginItem;
    std::unique_ptr<HelperCoordinator> coordinator;
    std::unique_ptr<HelperAppDelegate> delegate;
};

constexpr const char* knownProperties[] = {
    "type",      "label", "enabled", "toggle-type", "toggle-state", "shortcut", "children-display",
    "icon-name", ""};

std::int32_t anId(FuzzedDataProvider& in) {
    return in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int32_t>(-1, 10)
                            : in.ConsumeIntegral<std::int32_t>();
}

std::string aName(FuzzedDataProvider& in) {
    return in.ConsumeBool() ? in.PickValueInArray(knownProperties)
                            : in.ConsumeRandomLengthString(32);
}

int appendIds(sd_bus_message* m, FuzzedDataProvider& in) {
    std::vector<std::int32_t> ids(in.ConsumeIntegralInRange<std::size_t>(0, 24));
    for (auto& id : ids)
        id = anId(in);
    return sd_bus_message_append_array(m, 'i', ids.data(), ids.size() * sizeof(std::int32_t));
}

int appendNames(sd_bus_message* m, FuzzedDataProvider& in) {
    int r = sd_bus_message_open_container(m, 'a', "s");
    for (auto n = in.ConsumeIntegralInRange<int>(0, 8); r >= 0 && n > 0; --n)
        r = sd_bus_message_append_basic(m, 's', aName(in).c_str());
    return r < 0 ? r : sd_bus_message_close_container(m);
}

// An event: (id, event id, data of some type, timestamp).
int appendEvent(sd_bus_message* m, FuzzedDataProvider& in) {
    const std::string event = in.ConsumeBool() ? "clicked" : in.ConsumeRandomLengthString(16);
    int r = sd_bus_message_append(m, "is", anId(in), event.c_str());
    if (r < 0)
        return r;
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        r = sd_bus_message_append(m, "v", "s", in.ConsumeRandomLengthString(16).c_str());
        break;
    case 1:
        r = sd_bus_message_append(m, "v", "i", in.ConsumeIntegral<std::int32_t>());
        break;
    case 2:
        r = sd_bus_message_append(m, "v", "as", 2, "a", "b");
        break;
    default:
        r = sd_bus_message_append(m, "v", "(ib)", 7, 1);
    }
    return r < 0 ? r : sd_bus_message_append(m, "u", in.ConsumeIntegral<std::uint32_t>());
}

struct Call {
    const char* member;
    const char* interface;
    const char* replySignature;
};

constexpr Call calls[] = {
    {"GetLayout", dbusMenuInterface, "u(ia{sv}av)"},
    {"GetGroupProperties", dbusMenuInterface, "a(ia{sv})"},
    {"GetProperty", dbusMenuInterface, "v"},
    {"Event", dbusMenuInterface, ""},
    {"EventGroup", dbusMenuInterface, "ai"},
    {"AboutToShow", dbusMenuInterface, "b"},
    {"AboutToShowGroup", dbusMenuInterface, "aiai"},
    {"Get", "org.freedesktop.DBus.Properties", "v"},
    {"GetAll", "org.freedesktop.DBus.Properties", "a{sv}"},
    // Wrong arguments for a real method: refused before the menu sees them.
    {"GetLayout", dbusMenuInterface, nullptr},
};
constexpr Call ping{"Ping", "org.freedesktop.DBus.Peer", ""};

// The arguments of `call`; a negative result leaves the call unsent (a string that is not valid
// UTF-8, say).
int appendArguments(sd_bus_message* m, const Call& call, FuzzedDataProvider& in) {
    const std::string member = call.member;
    if (call.replySignature == nullptr)
        return sd_bus_message_append(m, "s", in.ConsumeRandomLengthString(16).c_str());
    if (member == "GetLayout") {
        const int r = sd_bus_message_append(m, "ii", anId(in), anId(in));
        return r < 0 ? r : appendNames(m, in);
    }
    if (member == "GetGroupProperties") {
        const int r = appendIds(m, in);
        return r < 0 ? r : appendNames(m, in);
    }
    if (member == "GetProperty")
        return sd_bus_message_append(m, "is", anId(in), aName(in).c_str());
    if (member == "Event")
        return appendEvent(m, in);
    if (member == "EventGroup") {
        int r = sd_bus_message_open_container(m, 'a', "(isvu)");
        for (auto n = in.ConsumeIntegralInRange<int>(0, 6); r >= 0 && n > 0; --n) {
            r = sd_bus_message_open_container(m, 'r', "isvu");
            if (r >= 0)
                r = appendEvent(m, in);
            if (r >= 0)
                r = sd_bus_message_close_container(m);
        }
        return r < 0 ? r : sd_bus_message_close_container(m);
    }
    if (member == "AboutToShow")
        return sd_bus_message_append(m, "i", anId(in));
    if (member == "AboutToShowGroup")
        return appendIds(m, in);
    const std::string property =
        in.PickValueInArray({"Version", "TextDirection", "Status", "IconThemePath", "Nope", ""});
    if (member == "Get")
        return sd_bus_message_append(m, "ss", dbusMenuInterface, property.c_str());
    return sd_bus_message_append(m, "s", in.ConsumeBool() ? dbusMenuInterface : "x.y");
}

// Something the rows show changes; the menu hears of it and refreshes in a posted task.
void changeState(World& world, FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
        world.service.status = in.ConsumeIntegralInRange<std::int64_t>(-1, 4);
        world.coordinator->daemon().refreshRegistrationState();
        break;
    case 1:
        world.workspace->setRunning(in.ConsumeBool());
        break;
    default:
        world.loginItem->setStatus(in.ConsumeBool() ? LoginItem::enabled : 0);
    }
}

struct Pending {
    const Call* call;
    platform::SdEventLoop* loop;
    int* outstanding;
};

// An answer must be an error or carry the declared signature; a layout or property list never
// holds more items than the menu has (eight rows at most, and the root).
int onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    std::unique_ptr<Pending> pending(static_cast<Pending*>(userdata));
    if (!sd_bus_message_is_method_error(reply, nullptr)) {
        require(pending->call->replySignature != nullptr);
        require(std::strcmp(sd_bus_message_get_signature(reply, true),
                            pending->call->replySignature) == 0);
        if (std::strcmp(pending->call->member, "GetGroupProperties") == 0) {
            int items = 0;
            require(sd_bus_message_enter_container(reply, 'a', "(ia{sv})") >= 0);
            while (sd_bus_message_skip(reply, "(ia{sv})") > 0)
                ++items;
            require(items <= 9);
        }
    }
    // The round ends after the clicks posted so far have run: tasks run in the order posted.
    if (--*pending->outstanding == 0)
        pending->loop->post([loop = pending->loop] { loop->exit(0); });
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World world;
    FuzzedDataProvider in(data, size);

    // A fresh menu over the same state for every input, so that an input means the same on every
    // run.
    world.service.status = serviceEnabled;
    world.coordinator->daemon().refreshRegistrationState();
    world.workspace->setRunning(false);
    world.loginItem->setStatus(0);
    auto started = DBusMenu::start(world.server, world.loop, *world.delegate);
    require(std::holds_alternative<std::unique_ptr<DBusMenu>>(started));
    const auto menu = std::move(std::get<0>(started));

    int outstanding = 1; // the closing ping below
    for (int n = 0; n < 32 && in.remaining_bytes() > 0; ++n) {
        const auto choice = in.ConsumeIntegralInRange<std::size_t>(0, std::size(calls));
        if (choice == std::size(calls)) {
            changeState(world, in);
            continue;
        }
        const Call& call = calls[choice];
        sd_bus_message* m = nullptr;
        require(sd_bus_message_new_method_call(world.client, &m, nullptr, dbusMenuPath,
                                               call.interface, call.member) >= 0);
        if (appendArguments(m, call, in) >= 0) {
            auto* pending = new Pending{&call, &world.loop, &outstanding};
            require(sd_bus_call_async(world.client, nullptr, m, onReply, pending, 0) >= 0);
            ++outstanding;
        }
        sd_bus_message_unref(m);
    }
    // Ends the round once every call before it has been answered and the clicks have run.
    require(sd_bus_call_method_async(world.client, nullptr, nullptr, dbusMenuPath,
                                     "org.freedesktop.DBus.Peer", "Ping", onReply,
                                     new Pending{&ping, &world.loop, &outstanding}, "") >= 0);
    require(world.loop.run() == 0);
    std::set<std::int32_t> ids;
    for (const MenuRow& row : menu->rows())
        require(row.id >= MenuRow::titleRow && row.id <= MenuRow::quitRow &&
                ids.insert(row.id).second);
    return 0;
}
